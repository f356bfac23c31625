// The firmware's programs, by executable name: now in instrument/instrument.h. This header only
// forwards to it, for fenwrack-sim/verdict.cc and fenwrack-sim/warnings.cc until they include
// instrument/instrument.h; remove it then.
#pragma once

#include <cstddef>
#include <string_view>

#include "instrument/instrument.h"

using instrument::HungFirmwareNames;
using instrument::StopWorkerNames;

// Whether `name` equals one of `names` exactly.
template <std::size_t N>
bool IsOneOf(const char16_t* name, const char16_t* const (&names)[N]) {
  for (const char16_t* candidate : names) {
    if (std::u16string_view(name) == candidate)
      return true;
  }
  return false;
}
