// Text helpers shared by every module: UTF-8 decoding, white space, case and
// hex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace dh {

// Decodes bytes as UTF-8, replacing each invalid sequence with U+FFFD (the
// maximal-subpart rule of the Unicode standard).
std::string utf8_lossy(std::string_view bytes);
bool is_valid_utf8(std::string_view bytes);

// Trims Unicode White_Space characters at both ends of UTF-8 text.
std::string_view trim_unicode(std::string_view text);
// True when the code point is Unicode White_Space.
bool is_unicode_space(char32_t cp);
// Decodes one code point of valid UTF-8 at `pos`, advancing `pos`.
char32_t next_code_point(std::string_view text, size_t& pos);

std::string ascii_lower(std::string_view text);
std::string ascii_upper(std::string_view text);

// Two lower-case hex digits per byte, high nibble first.
std::string hex_encode(const uint8_t* data, size_t len);

}  // namespace dh
