// UTF-8 <-> UTF-16 conversion at the edge of *W calls. Win32 backend only.
#pragma once

#include <string>
#include <string_view>

namespace dh {

std::wstring widen(std::string_view utf8);
// Unpaired surrogates become U+FFFD.
std::string narrow(std::wstring_view utf16);

}  // namespace dh
