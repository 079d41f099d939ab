#pragma once

#include <string>
#include <string_view>

namespace rtl {

// Removes every byte of value 0 to 32 (blanks and control characters) from both ends. Bytes of
// 128 and above are text, not blanks.
std::string Trim(std::string_view text);

}  // namespace rtl
