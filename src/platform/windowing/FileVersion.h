#pragma once

// File version information. Only the common-controls library is known: it answers as version
// 6.0, since this runtime delivers the taskbar re-creation notice that its versions from 4.71 on
// stand for. Every other file has no version information.

#include <cstdint>
#include <string>

#include "platform/windowing/WinTypes.h"

namespace win {

struct VS_FIXEDFILEINFO {
  DWORD dwSignature = 0xFEEF04BD;
  DWORD dwStrucVersion = 0x00010000;
  DWORD dwFileVersionMS = 0;  // major in the high half, minor in the low half
  DWORD dwFileVersionLS = 0;
  DWORD dwProductVersionMS = 0;
  DWORD dwProductVersionLS = 0;
  DWORD dwFileFlagsMask = 0;
  DWORD dwFileFlags = 0;
  DWORD dwFileOS = 0;
  DWORD dwFileType = 0;
  DWORD dwFileSubtype = 0;
  DWORD dwFileDateMS = 0;
  DWORD dwFileDateLS = 0;
};

// The size of the file's version block, 0 when it has none. handle is set to 0.
DWORD GetFileVersionInfoSizeA(const std::string& fileName, DWORD& handle);
// Copies the version block into data (length bytes at most); false when the file has none or
// the buffer is too small.
bool GetFileVersionInfoA(const std::string& fileName, DWORD handle, DWORD length, void* data);
// With subBlock "\\": points buffer at the fixed file information inside block.
bool VerQueryValueA(const void* block, const std::string& subBlock, void** buffer, UINT* length);

}  // namespace win
