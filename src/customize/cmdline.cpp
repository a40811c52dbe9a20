#include "customize/cmdline.h"

#include "base/text.h"

namespace dh {
namespace {

// Tokens an earlier customization added; they go before the new addition is
// appended so that customizing a card twice does not stack them up.
bool is_customization_token(std::string_view token) {
  return token.starts_with("systemd.run") || token == "systemd.unit=kernel-command-line.target";
}

}  // namespace

std::string merge_cmdline(std::string_view existing, std::string_view addition) {
  std::string merged;
  auto keep = [&](std::string_view token) {
    if (token.empty() || is_customization_token(token)) return;
    if (!merged.empty()) merged += ' ';
    merged.append(token);
  };
  // CR and LF are Unicode white space, so splitting at white space also turns
  // a file of several lines into one line.
  size_t token_start = 0;
  size_t pos = 0;
  while (pos < existing.size()) {
    size_t at = pos;
    if (is_unicode_space(next_code_point(existing, pos))) {
      keep(existing.substr(token_start, at - token_start));
      token_start = pos;
    }
  }
  keep(existing.substr(token_start));

  if (!merged.empty()) merged += ' ';
  // The firmware reads only the first line of cmdline.txt: a line break
  // inside the addition would cut off everything after it.
  size_t added_at = merged.size();
  merged.append(trim_unicode(addition));
  for (size_t i = added_at; i < merged.size(); ++i) {
    if (merged[i] == '\r' || merged[i] == '\n') merged[i] = ' ';
  }
  merged += '\n';
  return merged;
}

}  // namespace dh
