// Conversions between the tool's platform types and the system's, for the files of this folder.
#pragma once

#include <windows.h>

#include <cstdint>

#include "platform/platform.h"

namespace platform::win32 {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "the system's wide characters are 16-bit");

inline const wchar_t* Wide(const char16_t* text) {
  return reinterpret_cast<const wchar_t*>(text);
}
inline wchar_t* Wide(char16_t* text) {
  return reinterpret_cast<wchar_t*>(text);
}
inline const wchar_t* Wide(const WString& text) {
  return Wide(text.c_str());
}

inline HWND Hwnd(WindowRef window) {
  return reinterpret_cast<HWND>(window.value);
}
inline WindowRef Ref(HWND window) {
  return WindowRef{reinterpret_cast<std::uintptr_t>(window)};
}

template <class Raw, class Traits>
Raw As(const Owner<Traits>& owner) {
  return static_cast<Raw>(owner.raw());
}

}  // namespace platform::win32
