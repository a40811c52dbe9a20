// The kernel command line kept in the boot partition's cmdline.txt.
#pragma once

#include <string>
#include <string_view>

namespace dh {

// The new cmdline.txt text. `existing` (UTF-8) is split into tokens at runs
// of Unicode white space, CR and LF included; tokens left by an earlier
// customization are dropped (every token beginning with "systemd.run" and
// every "systemd.unit=kernel-command-line.target"); the rest keep their text
// and order and are joined by single spaces. Then come one space if anything
// was kept, `addition` trimmed of Unicode white space (its inner text as
// given, except that each CR and LF becomes a space), and one LF. The result
// is always one line, so merging the same marker-token addition twice gives
// the same text as merging it once.
std::string merge_cmdline(std::string_view existing, std::string_view addition);

}  // namespace dh
