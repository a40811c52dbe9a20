// POSIX: volumes are reached through mount points, never through drive
// letters, and the helper has no setting that could map one to the other.
#include "platform/drive_letter.h"

namespace dh {

std::optional<std::string> drive_letter_root(const std::string&) { return std::nullopt; }

}  // namespace dh
