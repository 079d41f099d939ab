// Address text as hosts and bindings give it: IPv4 in any form the stack reads, IPv6 without
// brackets, with or without a zone, IPv4-mapped. Whatever the stack takes for an address must
// read back the same from the text it writes, and never be taken for both versions.
#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <string>

#include "FuzzInput.h"
#include "net/IdComponent.h"
#include "net/IdStack.h"
#include "rtl/Exception.h"

namespace {

// A zone the stack reads without asking the system for an interface's number.
bool NumericZone(const std::string& text) {
  const std::size_t percent = text.find('%');
  if (percent == std::string::npos) return true;
  const char* first = text.data() + percent + 1;
  const char* last = text.data() + text.size();
  std::uint32_t value = 0;
  return first != last && std::from_chars(first, last, value).ptr == last;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Components share the socket stack; one that stays keeps it from being made for every input.
  static TIdComponent* const stackUser = new TIdComponent();
  (void)stackUser;
  TIdStack& stack = *GlobalStack();
  const std::string text(reinterpret_cast<const char*>(data), size);

  const bool ipv6 = TIdStack::IsIPv6Address(text);
  FUZZ_CHECK(!(ipv6 && TIdStack::IsDottedQuad(text)));
  FUZZ_CHECK(!(ipv6 && !text.empty() && text.front() == '['));

  winsock::in6_addr address{};
  winsock::u_long scopeId = 0;
  bool parsed = true;
  try {
    stack.TextToAddress6(text, address, scopeId);
  } catch (const EConvertError&) {
    parsed = false;
  }
  FUZZ_CHECK(parsed == ipv6 || (ipv6 && !NumericZone(text)));
  if (parsed) {
    const std::string written = TIdStack::AddressToText6(address, scopeId);
    FUZZ_CHECK(TIdStack::IsIPv6Address(written));
    FUZZ_CHECK(std::none_of(written.begin(), written.end(),
                            [](char c) { return std::isupper(static_cast<unsigned char>(c)); }));
    winsock::in6_addr again{};
    winsock::u_long againScope = 0;
    stack.TextToAddress6(written, again, againScope);
    FUZZ_CHECK(std::memcmp(&again, &address, sizeof address) == 0 && againScope == scopeId);
    FUZZ_CHECK(TIdStack::AddressToText6(again, againScope) == written);
  }

  // An address answered without a look-up is its own answer, in the version it was given as.
  if (const std::optional<TIdIPAddresses> known = stack.AddressesWithoutLookup(text)) {
    FUZZ_CHECK(!known->empty());
    for (const TIdIPAddress& each : *known) {
      FUZZ_CHECK(each.IPVersion == Id_IPv6 ? TIdStack::IsIPv6Address(each.IP)
                                           : TIdStack::IsDottedQuad(each.IP));
      FUZZ_CHECK(stack.AddressesWithoutLookup(each.IP) == TIdIPAddresses{each});
    }
  }
  return 0;
}
