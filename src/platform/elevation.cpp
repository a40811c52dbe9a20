#include "platform/elevation.h"

namespace dh {
namespace {

const bool* g_current = nullptr;

}  // namespace

bool process_is_elevated() { return g_current != nullptr ? *g_current : native_process_is_elevated(); }

ScopedElevation::ScopedElevation(bool elevated) : previous_(g_current), elevated_(elevated) { g_current = &elevated_; }
ScopedElevation::~ScopedElevation() { g_current = previous_; }

}  // namespace dh
