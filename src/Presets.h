#pragma once

// Slow lines by name, after the browsers' throttling profiles (their kilobits turned into the
// window's kilobytes of 1000 bytes per second). A preset is nothing but values for the settings:
// choosing one sets the shared mode, the limit, the upload limit and the delay. Pure: no sockets,
// no Qt.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tramlet {

struct Preset {
  std::string_view name;   // on the command line and the channel
  std::string_view shown;  // in the icon's menu
  std::int32_t down = 0;   // KB/s for all downloads together
  std::int32_t up = 0;     // KB/s for all uploads together
  std::int32_t delayMs = 0;
};

inline constexpr Preset kPresets[] = {
    {"gprs", "GPRS", 6, 3, 500},         {"2g", "2G", 31, 6, 300},
    {"good-2g", "Good 2G", 56, 19, 150}, {"3g", "3G", 94, 31, 100},
    {"good-3g", "Good 3G", 188, 94, 40}, {"dsl", "DSL", 250, 125, 5},
    {"4g", "4G", 500, 375, 20},          {"wifi", "Wi-Fi", 3750, 1875, 2},
};

// The names alone: the words --preset takes.
inline constexpr auto kPresetNames = [] {
  std::array<std::string_view, std::size(kPresets)> names{};
  for (std::size_t i = 0; i < names.size(); ++i)
    names[i] = kPresets[i].name;
  return names;
}();

const Preset* PresetNamed(std::string_view name);

// The preset whose values are all in force, or none: once a value is changed by hand, none is.
const Preset* PresetInForce(bool shared, std::int32_t limit, std::int32_t uploadLimit,
                            std::int32_t delayMs);

// Its entry in the icon's menu: "3G (94 KB/s down, 31 up, 100 ms)".
std::string PresetCaption(const Preset& preset);

}  // namespace tramlet
