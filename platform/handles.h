// Owners for every kind of handle the tool touches. A raw value never leaves its owner except
// into the platform implementation, which is the only code that reads `raw()`.
#pragma once

#include <cstdint>
#include <utility>

namespace platform {

using RawHandle = void*;

// The INVALID_HANDLE_VALUE of the system: all bits set.
inline RawHandle InvalidHandleValue() {
  return reinterpret_cast<RawHandle>(~std::uintptr_t{0});
}

template <class Traits>
class Owner {
 public:
  Owner() = default;
  explicit Owner(RawHandle raw) : raw_(raw) {}
  Owner(const Owner&) = delete;
  Owner& operator=(const Owner&) = delete;
  Owner(Owner&& other) noexcept : raw_(std::exchange(other.raw_, Traits::Invalid())) {}
  Owner& operator=(Owner&& other) noexcept {
    if (this != &other) {
      reset();
      raw_ = std::exchange(other.raw_, Traits::Invalid());
    }
    return *this;
  }
  ~Owner() { reset(); }

  bool valid() const { return raw_ != Traits::Invalid(); }
  explicit operator bool() const { return valid(); }
  void reset() {
    if (valid())
      Traits::Close(std::exchange(raw_, Traits::Invalid()));
  }
  // For the platform implementation only.
  RawHandle raw() const { return raw_; }

 private:
  RawHandle raw_ = Traits::Invalid();
};

// Each Close is defined by the platform implementation.
struct KernelHandleTraits {  // process, thread, access token: null when invalid
  static RawHandle Invalid() { return nullptr; }
  static void Close(RawHandle raw);
};
struct SnapshotTraits {  // process snapshot: INVALID_HANDLE_VALUE when invalid
  static RawHandle Invalid() { return InvalidHandleValue(); }
  static void Close(RawHandle raw);
};
struct FindTraits {  // directory search: INVALID_HANDLE_VALUE when invalid
  static RawHandle Invalid() { return InvalidHandleValue(); }
  static void Close(RawHandle raw);
};
struct RegKeyTraits {
  static RawHandle Invalid() { return nullptr; }
  static void Close(RawHandle raw);
};
struct CrtFileTraits {  // a runtime library FILE*
  static RawHandle Invalid() { return nullptr; }
  static void Close(RawHandle raw);
};
struct LibraryTraits {
  static RawHandle Invalid() { return nullptr; }
  static void Close(RawHandle raw);
};

using KernelHandle = Owner<KernelHandleTraits>;
using Snapshot = Owner<SnapshotTraits>;
using FindHandle = Owner<FindTraits>;
using RegKey = Owner<RegKeyTraits>;
using CrtFile = Owner<CrtFileTraits>;
using Library = Owner<LibraryTraits>;

}  // namespace platform
