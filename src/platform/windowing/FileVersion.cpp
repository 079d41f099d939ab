#include "platform/windowing/FileVersion.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace win {
namespace {

bool IsCommonControls(const std::string& fileName) {
  std::string lower(fileName);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower == "comctl32.dll";
}

VS_FIXEDFILEINFO CommonControlsVersion() {
  VS_FIXEDFILEINFO info;
  info.dwFileVersionMS = info.dwProductVersionMS = 0x00060000;  // 6.0
  return info;
}

}  // namespace

DWORD GetFileVersionInfoSizeA(const std::string& fileName, DWORD& handle) {
  handle = 0;
  return IsCommonControls(fileName) ? sizeof(VS_FIXEDFILEINFO) : 0;
}

bool GetFileVersionInfoA(const std::string& fileName, DWORD, DWORD length, void* data) {
  if (!IsCommonControls(fileName) || !data || length < sizeof(VS_FIXEDFILEINFO)) return false;
  VS_FIXEDFILEINFO info = CommonControlsVersion();
  std::memcpy(data, &info, sizeof info);
  return true;
}

bool VerQueryValueA(const void* block, const std::string& subBlock, void** buffer, UINT* length) {
  if (!block || subBlock != "\\" || !buffer) return false;
  *buffer = const_cast<void*>(block);
  if (length) *length = sizeof(VS_FIXEDFILEINFO);
  return true;
}

}  // namespace win
