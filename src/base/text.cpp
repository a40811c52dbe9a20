#include "base/text.h"

namespace dh {
namespace {

// Length of the valid UTF-8 sequence at `i`, or 0 with `bad_len` set to the
// number of bytes of the maximal invalid subpart to replace.
size_t valid_sequence(std::string_view s, size_t i, size_t& bad_len) {
  auto b = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
  uint8_t c = b(i);
  bad_len = 1;
  if (c < 0x80) return 1;
  size_t need;
  uint8_t lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    need = 1;
  } else if (c >= 0xE0 && c <= 0xEF) {
    need = 2;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    need = 3;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  for (size_t k = 1; k <= need; ++k) {
    if (i + k >= s.size()) {
      bad_len = k;
      return 0;
    }
    uint8_t t = b(i + k);
    uint8_t l = k == 1 ? lo : 0x80;
    uint8_t h = k == 1 ? hi : 0xBF;
    if (t < l || t > h) {
      bad_len = k;
      return 0;
    }
  }
  return need + 1;
}

}  // namespace

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  size_t i = 0;
  while (i < bytes.size()) {
    size_t bad = 0;
    size_t n = valid_sequence(bytes, i, bad);
    if (n > 0) {
      out.append(bytes.substr(i, n));
      i += n;
    } else {
      out.append("\xEF\xBF\xBD");
      i += bad;
    }
  }
  return out;
}

bool is_valid_utf8(std::string_view bytes) {
  size_t i = 0;
  while (i < bytes.size()) {
    size_t bad = 0;
    size_t n = valid_sequence(bytes, i, bad);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

bool is_unicode_space(char32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

char32_t next_code_point(std::string_view text, size_t& pos) {
  auto b = [&](size_t k) { return static_cast<char32_t>(static_cast<uint8_t>(text[k])); };
  char32_t c = b(pos);
  size_t extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
  if (extra == 0) {
    ++pos;
    return c;
  }
  if (pos + extra >= text.size()) {
    ++pos;  // truncated sequence in text that was not validated
    return 0xFFFD;
  }
  char32_t cp = c & (0x3F >> extra);
  for (size_t k = 1; k <= extra; ++k) cp = (cp << 6) | (b(pos + k) & 0x3F);
  pos += extra + 1;
  return cp;
}

std::string_view trim_unicode(std::string_view text) {
  size_t start = 0;
  while (start < text.size()) {
    size_t p = start;
    if (!is_unicode_space(next_code_point(text, p))) break;
    start = p;
  }
  size_t end = text.size();
  while (end > start) {
    size_t back = end - 1;
    while (back > start && (static_cast<uint8_t>(text[back]) & 0xC0) == 0x80) --back;
    size_t p = back;
    if (!is_unicode_space(next_code_point(text, p))) break;
    end = back;
  }
  return text.substr(start, end - start);
}

std::string ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string ascii_upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

std::string hex_encode(const uint8_t* data, size_t len) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out(len * 2, '\0');
  for (size_t i = 0; i < len; ++i) {
    out[2 * i] = kDigits[data[i] >> 4];
    out[2 * i + 1] = kDigits[data[i] & 0x0F];
  }
  return out;
}

}  // namespace dh
