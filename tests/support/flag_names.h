// Flags written by name in the tables ("CREATE_NO_WINDOW|NORMAL_PRIORITY_CLASS"), read as the
// numbers the platform constants give them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>

#include "platform/platform.h"

namespace testing_support {

inline std::uint64_t FlagsByName(const std::string& names) {
  static const std::map<std::string, std::uint64_t> kFlags = {
      {"CREATE_NO_WINDOW", platform::kCreateNoWindow},
      {"NORMAL_PRIORITY_CLASS", platform::kNormalPriorityClass},
      {"EWX_REBOOT", platform::kEwxReboot},
      {"EWX_FORCE", platform::kEwxForce},
      {"EWX_POWEROFF", platform::kEwxPowerOff},
      {"MB_ICONINFORMATION", platform::kMbIconInformation}};
  std::uint64_t flags = 0;
  for (std::size_t start = 0; start <= names.size();) {
    const std::size_t bar = std::min(names.find('|', start), names.size());
    const auto flag = kFlags.find(names.substr(start, bar - start));
    if (flag == kFlags.end())
      throw std::invalid_argument("no such flag in \"" + names + "\"");
    flags |= flag->second;
    start = bar + 1;
  }
  return flags;
}

}  // namespace testing_support
