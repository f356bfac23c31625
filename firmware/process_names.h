// The firmware's programs, by executable name.
#pragma once

#include <cstddef>
#include <string_view>

// Watched by the stop worker, compared after folding A to Z to lower case.
inline constexpr const char16_t* StopWorkerNames[] = {
    u"halvmark.exe", u"quenstead_d.exe", u"quenstead.exe", u"tarnwick.exe", u"talvora.exe",
};

// The server programs that a restart terminates when they still run; compared unchanged.
inline constexpr const char16_t* HungFirmwareNames[] = {
    u"Halvmark.exe",
    u"Quenstead_d.exe",
    u"Quenstead.exe",
};

// Whether `name` equals one of `names` exactly.
template <std::size_t N>
bool IsOneOf(const char16_t* name, const char16_t* const (&names)[N]) {
  for (const char16_t* candidate : names) {
    if (std::u16string_view(name) == candidate)
      return true;
  }
  return false;
}
