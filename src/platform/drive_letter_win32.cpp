// Win32: a drive letter names the root of its volume directly.
#include "platform/drive_letter.h"

namespace dh {

std::optional<std::string> drive_letter_root(const std::string& letter) { return letter + ":\\"; }

}  // namespace dh
