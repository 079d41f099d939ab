#include "rtl/Format.h"

#include <charconv>

#include "rtl/Exception.h"

namespace rtl {
namespace {

template <class T>
void AppendNumber(std::string& out, T value, int base = 10) {
  char digits[24];
  auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value, base);
  out.append(digits, end);
}

[[noreturn]] void BadFormat(std::string_view pattern) {
  throw EConvertError("Format '" + std::string(pattern) +
                      "' invalid or incompatible with argument");
}

}  // namespace

std::string FormatList(std::string_view pattern, const std::vector<FormatArg>& args) {
  std::string out;
  out.reserve(pattern.size() + 16 * args.size());
  std::size_t next = 0;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    char c = pattern[i];
    if (c != '%') {
      out += c;
      continue;
    }
    if (++i == pattern.size()) BadFormat(pattern);
    char directive = pattern[i];
    if (directive == '%') {
      out += '%';
      continue;
    }
    if (next == args.size()) BadFormat(pattern);
    const auto& value = args[next++].Value();
    switch (directive) {
      case 's':
        if (!std::holds_alternative<std::string_view>(value)) BadFormat(pattern);
        out += std::get<std::string_view>(value);
        break;
      case 'd':
      case 'u':
      case 'x':
        if (const auto* s = std::get_if<std::int64_t>(&value)) {
          if (directive == 'x')
            AppendNumber(out, static_cast<std::uint32_t>(*s), 16);
          else
            AppendNumber(out, *s);
        } else if (const auto* u = std::get_if<std::uint64_t>(&value)) {
          AppendNumber(out, *u, directive == 'x' ? 16 : 10);
        } else {
          BadFormat(pattern);
        }
        break;
      default:
        BadFormat(pattern);
    }
  }
  return out;
}

}  // namespace rtl
