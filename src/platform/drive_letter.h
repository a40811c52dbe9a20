// How a volume's drive letter leads to its files on this platform.
#pragma once

#include <optional>
#include <string>

namespace dh {

// The root folder of the volume with drive letter `letter` (the text Windows
// reports, normally one letter such as "E"), ending in a separator, so that a
// file of the volume is root + relative path: on Windows `letter` + ":\".
// Nothing where the platform has no drive letters (POSIX): a drive letter
// reported by the disk-management step cannot be reached there.
std::optional<std::string> drive_letter_root(const std::string& letter);

}  // namespace dh
