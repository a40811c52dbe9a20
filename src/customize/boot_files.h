// Writing the caller's files onto a mounted boot partition.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/sys_error.h"
#include "protocol/helper_error.h"

namespace dh {

// Creates `path` or truncates it, writes `bytes` with write-through, flushes
// and closes it. Returns the OS error of the open, write or flush.
SysStatus write_boot_file(const std::string& path, std::string_view bytes);

// Gives `path` the contents `bytes` without ever leaving it truncated or
// partly written: the bytes go to a new temporary file in the same folder,
// which is flushed and then moved over `path`. On failure `path` keeps its
// old contents, the temporary file is removed, and the error of the failed
// step is returned.
SysStatus replace_boot_file(const std::string& path, std::string_view bytes);

// Customizes the mounted boot partition whose root folder is `root` (ending
// in a separator).
//
// Each element of `files` (a JSON array, or nullptr for none) that has a
// string `path` is written, in order, to root + path (no normalization; no
// folders are created) with the UTF-8 bytes of its string `contents`, or
// empty when there is none. Elements without a string `path` are skipped.
// Then, when `cmdline_append` is not empty, root + "cmdline.txt" gets the
// text of merge_cmdline(old text, cmdline_append), replaced as
// replace_boot_file does.
//
// Returns the `path` of every file written, in order, followed by
// "cmdline.txt" when it was changed. Errors, all WRITE_FAILED, stop at the
// failing step and leave earlier files written:
// - "<path>: <OS error>" when a file cannot be written;
// - "cmdline.txt is missing on the boot partition: <error>" when cmdline.txt
//   cannot be opened or read, or is not UTF-8 ("stream did not contain valid
//   UTF-8");
// - "cmdline.txt: <OS error>" when the new cmdline.txt cannot be written; the
//   old one is then still intact.
Expected<std::vector<std::string>, HelperError> customize_boot_partition(const std::string& root,
                                                                         const nlohmann::json* files,
                                                                         const std::string& cmdline_append);

}  // namespace dh
