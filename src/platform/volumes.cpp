#include "platform/volumes.h"

namespace dh {
namespace {

VolumeSystem* g_current = nullptr;

}  // namespace

std::vector<std::string> VolumeSystem::system_volume_paths() { return {}; }

VolumeSystem& volume_system() { return g_current != nullptr ? *g_current : native_volume_system(); }

ScopedVolumeSystem::ScopedVolumeSystem(VolumeSystem& volumes) : previous_(g_current) { g_current = &volumes; }
ScopedVolumeSystem::~ScopedVolumeSystem() { g_current = previous_; }

}  // namespace dh
