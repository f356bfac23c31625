// How the simulated registry finds a key and a value: the one rule that the registry calls, the
// machine's state and what reads a machine's registry without a run (fenwrack-sim's verdict and
// check) share.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "machine_file/machine_model.h"
#include "platform/text/text.h"

namespace sim {

// The key of that path, its whole path compared with case folded; null when there is none.
inline const machine_file::RegKeyDesc* FindRegKey(
    const std::vector<machine_file::RegKeyDesc>& registry, std::string_view key) {
  const std::string folded = platform::text::FoldUtf8(key);
  for (const machine_file::RegKeyDesc& k : registry) {
    if (platform::text::FoldUtf8(k.key) == folded)
      return &k;
  }
  return nullptr;
}

// The value `name` of key `key`, its name compared with case folded (the last of equal names);
// null when there is none.
inline const machine_file::RegValueDesc* FindRegValue(
    const std::vector<machine_file::RegKeyDesc>& registry, std::string_view key,
    std::string_view name) {
  const machine_file::RegValueDesc* value = nullptr;
  if (const machine_file::RegKeyDesc* k = FindRegKey(registry, key)) {
    for (const machine_file::RegValueDesc& v : k->values) {
      if (platform::text::EqualNoCase(v.name, name))
        value = &v;
    }
  }
  return value;
}

}  // namespace sim
