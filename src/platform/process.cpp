#include "platform/process.h"

namespace dh {

std::string quote_windows_argument(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) return arg;
  std::string out = "\"";
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      // 2n+1 backslashes before an embedded quote.
      out.append(backslashes * 2 + 1, '\\');
    } else {
      out.append(backslashes, '\\');
    }
    backslashes = 0;
    out.push_back(c);
  }
  // 2n backslashes before the closing quote.
  out.append(backslashes * 2, '\\');
  out.push_back('"');
  return out;
}

}  // namespace dh
