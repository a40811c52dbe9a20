// libFuzzer target: the boot-partition file-name check and the drive-letter
// check against plain references, and the request-level check over a
// payload. The input is tried as one name, as one drive letter text, and, when
// it is JSON, as a payload whose `files` are checked.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/text.h"
#include "customize/boot_names.h"
#include "customize/customize.h"
#include "protocol/payload.h"

namespace {

using nlohmann::json;

// Decodes valid UTF-8 into code points; false for anything else.
bool decode(std::string_view text, std::vector<char32_t>& out) {
  for (size_t i = 0; i < text.size();) {
    auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char b = byte(i);
    size_t n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > text.size()) return false;
    char32_t cp = n == 1 ? b : n == 2 ? (b & 0x1F) : n == 3 ? (b & 0x0F) : (b & 0x07);
    for (size_t k = 1; k < n; ++k) {
      if ((byte(i + k) & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    out.push_back(cp);
    i += n;
  }
  return true;
}

bool reserved(const std::vector<char32_t>& component) {
  std::vector<char32_t> base;
  for (char32_t c : component) {
    if (c == '.') break;
    base.push_back(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  }
  while (!base.empty() && base.back() == ' ') base.pop_back();
  auto is = [&](const char* word) {
    return base.size() >= 3 && base[0] == static_cast<char32_t>(word[0]) && base[1] == static_cast<char32_t>(word[1]) &&
           base[2] == static_cast<char32_t>(word[2]);
  };
  if (base.size() == 3 && (is("CON") || is("PRN") || is("AUX") || is("NUL"))) return true;
  if (base.size() != 4 || !(is("COM") || is("LPT"))) return false;
  char32_t d = base[3];
  return (d >= '0' && d <= '9') || d == 0xB9 || d == 0xB2 || d == 0xB3;
}

bool reference_accepts(std::string_view text) {
  std::vector<char32_t> cps;
  if (text.empty() || !decode(text, cps)) return false;
  size_t units = 0;
  for (char32_t c : cps) units += c >= 0x10000 ? 2 : 1;
  if (units > 240) return false;
  for (char32_t c : cps) {
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return false;
    if (c == '<' || c == '>' || c == ':' || c == '"' || c == '|' || c == '?' || c == '*') return false;
  }
  std::vector<std::vector<char32_t>> components(1);
  for (char32_t c : cps) {
    if (c == '/' || c == '\\') {
      components.emplace_back();
    } else {
      components.back().push_back(c);
    }
  }
  for (const auto& component : components) {
    if (component.empty()) return false;  // also a leading separator
    if (component.size() == 2 && component[0] == '.' && component[1] == '.') return false;
    if (component.back() == '.' || component.back() == ' ') return false;
    if (reserved(component)) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  auto problem = dh::boot_path_problem(text);
  if (problem.has_value() == reference_accepts(text)) std::abort();
  if (problem && problem->empty()) std::abort();

  bool letter = size == 1 && ((text[0] >= 'A' && text[0] <= 'Z') || (text[0] >= 'a' && text[0] <= 'z'));
  if (dh::is_drive_letter(text) != letter) std::abort();

  if (dh::is_valid_utf8(text)) {
    // The request-level check refuses exactly the names the check refuses,
    // and its message quotes any name without throwing.
    json files = json::array({{{"path", text}}, {{"path", 1}}});
    auto checked = dh::check_boot_file_names(&files);
    if (checked.has_value() == problem.has_value()) std::abort();
    if (!checked && checked.error().code != dh::ErrorCode::kUnknown) std::abort();
  }
  json payload = json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!payload.is_discarded()) (void)dh::check_boot_file_names(dh::payload_array(payload, "files"));
  return 0;
}
