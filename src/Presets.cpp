#include "Presets.h"

namespace tramlet {

const Preset* PresetNamed(std::string_view name) {
  for (const Preset& preset : kPresets)
    if (preset.name == name) return &preset;
  return nullptr;
}

const Preset* PresetInForce(bool shared, std::int32_t limit, std::int32_t uploadLimit,
                            std::int32_t delayMs) {
  if (!shared) return nullptr;
  for (const Preset& preset : kPresets)
    if (preset.down == limit && preset.up == uploadLimit && preset.delayMs == delayMs)
      return &preset;
  return nullptr;
}

std::string PresetCaption(const Preset& preset) {
  return std::string(preset.shown) + " (" + std::to_string(preset.down) + " KB/s down, " +
         std::to_string(preset.up) + " up, " + std::to_string(preset.delayMs) + " ms)";
}

}  // namespace tramlet
