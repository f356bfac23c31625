// Command lines for the programs fenwrack-run starts, as Windows hands them on: one string that
// the program splits again with CommandLineToArgvW or its C runtime.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace run {

// The argument as those rules read it back: quoted when empty or holding a blank, a tab or a
// quote; backslashes doubled where a quote follows them.
std::string QuoteArgument(std::string_view arg);

// Every argument quoted so, separated by one blank.
std::string CommandLine(const std::vector<std::string>& args);

}  // namespace run
