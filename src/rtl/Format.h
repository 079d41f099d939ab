#pragma once

#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace rtl {

// One argument of Format: an integer or a text.
class FormatArg {
 public:
  template <std::signed_integral T>
  FormatArg(T value) : value_(static_cast<std::int64_t>(value)) {}
  template <std::unsigned_integral T>
  FormatArg(T value) : value_(static_cast<std::uint64_t>(value)) {}
  FormatArg(std::string_view text) : value_(text) {}
  FormatArg(const std::string& text) : value_(std::string_view(text)) {}
  FormatArg(const char* text) : value_(std::string_view(text ? text : "")) {}

  const std::variant<std::int64_t, std::uint64_t, std::string_view>& Value() const {
    return value_;
  }

 private:
  std::variant<std::int64_t, std::uint64_t, std::string_view> value_;
};

std::string FormatList(std::string_view pattern, const std::vector<FormatArg>& args);

}  // namespace rtl

// printf-style formatting of the few directives the program uses: %s, %d, %u, %x and %%.
// A directive without a matching argument, or of the wrong kind, raises EConvertError.
template <class... Args>
std::string Format(std::string_view pattern, const Args&... args) {
  return rtl::FormatList(pattern, {rtl::FormatArg(args)...});
}
