// libFuzzer target: merge_cmdline over an existing cmdline.txt text and an
// addition, given as the input split at its first NUL byte (no NUL: the
// whole input is the existing text and the addition is empty). The caller
// only passes UTF-8 (cmdline.txt is checked, the addition comes from JSON),
// so the input is made UTF-8 first; raw bytes are merged too, for memory
// safety only.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "base/text.h"
#include "customize/cmdline.h"

namespace {

std::vector<std::string_view> tokens(std::string_view text) {
  std::vector<std::string_view> out;
  size_t start = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t at = pos;
    if (dh::is_unicode_space(dh::next_code_point(text, pos))) {
      if (at > start) out.push_back(text.substr(start, at - start));
      start = pos;
    }
  }
  if (start < text.size()) out.push_back(text.substr(start));
  return out;
}

bool is_marker(std::string_view token) {
  return token.starts_with("systemd.run") || token == "systemd.unit=kernel-command-line.target";
}

void check(std::string_view existing, std::string_view addition) {
  std::string merged = dh::merge_cmdline(existing, addition);
  // One line: ends in its only LF, no CR anywhere.
  if (merged.empty() || merged.back() != '\n' || merged.find('\n') != merged.size() - 1) std::abort();
  if (merged.find('\r') != std::string::npos) std::abort();
  if (!dh::is_valid_utf8(merged)) std::abort();
  // No white space before the first token.
  if (merged.size() > 1 && merged.front() == ' ') std::abort();
  // Customizing twice with an addition of marker tokens changes nothing.
  auto added = tokens(addition);
  bool only_markers = true;
  for (auto t : added) only_markers = only_markers && is_marker(t);
  if (only_markers && dh::merge_cmdline(merged, addition) != merged) std::abort();
  // Every non-marker token of the existing text is kept.
  for (auto t : tokens(existing)) {
    if (!is_marker(t) && merged.find(t) == std::string::npos) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  size_t nul = input.find('\0');
  std::string_view existing = input.substr(0, nul);
  std::string_view addition = nul == std::string_view::npos ? std::string_view() : input.substr(nul + 1);
  (void)dh::merge_cmdline(existing, addition);
  check(dh::utf8_lossy(existing), dh::utf8_lossy(addition));
  return 0;
}
