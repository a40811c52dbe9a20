#include "platform/physical_drive.h"

namespace dh {
namespace {

PhysicalDriveSystem* g_current = nullptr;

}  // namespace

PhysicalDriveSystem& physical_drive_system() {
  return g_current != nullptr ? *g_current : native_physical_drive_system();
}

ScopedPhysicalDriveSystem::ScopedPhysicalDriveSystem(PhysicalDriveSystem& drives) : previous_(g_current) {
  g_current = &drives;
}
ScopedPhysicalDriveSystem::~ScopedPhysicalDriveSystem() { g_current = previous_; }

}  // namespace dh
