// Small owners for the system handles the test programs use.
#pragma once

#include <windows.h>

#include <cstdio>
#include <utility>

namespace e2e {

template <typename T, typename Traits>
class Owner {
 public:
  Owner() = default;
  explicit Owner(T value) : value_(value) {}
  ~Owner() { Reset(); }
  Owner(Owner&& other) noexcept : value_(std::exchange(other.value_, Traits::Invalid())) {}
  Owner& operator=(Owner&& other) noexcept {
    if (this != &other) {
      Reset();
      value_ = std::exchange(other.value_, Traits::Invalid());
    }
    return *this;
  }
  Owner(const Owner&) = delete;
  Owner& operator=(const Owner&) = delete;

  T get() const { return value_; }
  explicit operator bool() const { return value_ != Traits::Invalid(); }
  void Reset() {
    if (value_ != Traits::Invalid())
      Traits::Release(value_);
    value_ = Traits::Invalid();
  }

 private:
  T value_ = Traits::Invalid();
};

struct KernelTraits {
  static HANDLE Invalid() { return nullptr; }
  static void Release(HANDLE h) { CloseHandle(h); }
};
// Toolhelp snapshots and file handles fail with INVALID_HANDLE_VALUE rather than null.
struct FileTraits {
  static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
  static void Release(HANDLE h) { CloseHandle(h); }
};
struct KeyTraits {
  static HKEY Invalid() { return nullptr; }
  static void Release(HKEY h) { RegCloseKey(h); }
};
struct LibraryTraits {
  static HMODULE Invalid() { return nullptr; }
  static void Release(HMODULE h) { FreeLibrary(h); }
};
struct WindowTraits {
  static HWND Invalid() { return nullptr; }
  static void Release(HWND h) { DestroyWindow(h); }
};
struct CrtFileTraits {
  static FILE* Invalid() { return nullptr; }
  static void Release(FILE* f) { std::fclose(f); }
};
struct LocalTraits {
  static LPWSTR* Invalid() { return nullptr; }
  static void Release(LPWSTR* p) { LocalFree(p); }
};

using KernelHandle = Owner<HANDLE, KernelTraits>;
using FileHandle = Owner<HANDLE, FileTraits>;
using RegKey = Owner<HKEY, KeyTraits>;
using Library = Owner<HMODULE, LibraryTraits>;
using Window = Owner<HWND, WindowTraits>;
using CrtFile = Owner<FILE*, CrtFileTraits>;
using ArgvBlock = Owner<LPWSTR*, LocalTraits>;

}  // namespace e2e
