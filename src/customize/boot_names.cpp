#include "customize/boot_names.h"

#include <array>

#include "base/text.h"

namespace dh {
namespace {

bool is_ascii_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool is_separator(char c) { return c == '/' || c == '\\'; }

// The printable ASCII characters Windows refuses in a file name: ':' would
// name an alternate data stream, the others are wildcards ('<', '>' and '"'
// the DOS ones) or a pipe, and CreateFileW fails on them with
// ERROR_INVALID_NAME.
bool is_forbidden_in_names(char32_t cp) {
  return cp == '<' || cp == '>' || cp == ':' || cp == '"' || cp == '|' || cp == '?' || cp == '*';
}

size_t utf16_length(std::string_view utf8) {
  size_t units = 0;
  for (size_t pos = 0; pos < utf8.size();) units += next_code_point(utf8, pos) >= 0x10000 ? 2 : 1;
  return units;
}

// Windows maps these names to devices in every folder, whatever follows the
// first dot and whatever spaces precede it ("nul.txt", "Com1 .log").
bool is_reserved_device_name(std::string_view component) {
  std::string_view base = component.substr(0, component.find('.'));
  while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
  const std::string upper = ascii_upper(base);
  static constexpr std::array<std::string_view, 4> kNames = {"CON", "PRN", "AUX", "NUL"};
  for (std::string_view name : kNames) {
    if (upper == name) return true;
  }
  if (upper.size() < 4 || (upper.compare(0, 3, "COM") != 0 && upper.compare(0, 3, "LPT") != 0)) return false;
  std::string_view number = std::string_view(upper).substr(3);
  // A digit, or superscript one, two or three (U+00B9, U+00B2, U+00B3).
  return (number.size() == 1 && number[0] >= '0' && number[0] <= '9') || number == "\xC2\xB9" || number == "\xC2\xB2" ||
         number == "\xC2\xB3";
}

std::optional<std::string> component_problem(std::string_view component) {
  if (component.empty()) return "it has an empty component";
  if (component == "..") return "it has a \"..\" component";
  if (component.back() == '.' || component.back() == ' ') return "a component ends in a dot or a space";
  if (is_reserved_device_name(component)) return "\"" + std::string(component) + "\" is a reserved device name";
  return std::nullopt;
}

}  // namespace

std::optional<std::string> boot_path_problem(std::string_view path) {
  if (path.empty()) return "it is empty";
  if (!is_valid_utf8(path)) return "it is not valid UTF-8";
  if (utf16_length(path) > kMaxBootPathLength) {
    return "it is longer than " + std::to_string(kMaxBootPathLength) + " characters";
  }
  if (is_separator(path[0])) return "it is absolute";
  if (path.size() >= 2 && is_ascii_letter(path[0]) && path[1] == ':') return "it starts with a drive";
  for (size_t pos = 0; pos < path.size();) {
    char32_t cp = next_code_point(path, pos);
    if (cp == 0) return "it contains a NUL character";
    if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) return "it contains a control character";
    if (is_forbidden_in_names(cp)) return "it contains \"" + std::string(1, static_cast<char>(cp)) + "\"";
  }
  size_t start = 0;
  for (;;) {
    size_t end = start;
    while (end < path.size() && !is_separator(path[end])) ++end;
    if (auto problem = component_problem(path.substr(start, end - start))) return problem;
    if (end == path.size()) return std::nullopt;
    start = end + 1;
  }
}

bool is_drive_letter(std::string_view text) { return text.size() == 1 && is_ascii_letter(text[0]); }

}  // namespace dh
