// The names apply_customization accepts for the files it writes on the boot
// partition, and for the partition's drive letter.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace dh {

// Longest accepted `files[].path`, in UTF-16 units (what Windows counts), so
// that the drive root and the name stay well inside MAX_PATH.
inline constexpr size_t kMaxBootPathLength = 240;

// Why `path` cannot be written below the boot partition's root as the plain
// file it names, or nothing when it can. A path is refused when it is empty,
// not valid UTF-8, longer than kMaxBootPathLength, absolute (a leading \ or /,
// or a drive), contains NUL, a control character (Unicode Cc) or one of
// < > : " | ? * (which Windows refuses in names; ':' would name an alternate
// data stream), or has a component that is empty, is "..", ends in
// a dot or a space, or is a reserved device name (CON, PRN, AUX, NUL, COM0 to
// COM9, LPT0 to LPT9, also with a superscript 1 to 3) with or without an
// extension, in any letter case. Components are separated by / or \.
std::optional<std::string> boot_path_problem(std::string_view path);

// True when `text` is exactly one ASCII letter.
bool is_drive_letter(std::string_view text);

}  // namespace dh
