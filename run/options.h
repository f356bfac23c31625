// fenwrack-run's command line: its options, and the help that tells them.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace run {

extern const char kHelp[];

struct Options {
  bool help = false, version = false, force = false;
  std::optional<std::string> firmware, records;
  std::optional<std::string> check;  // the record folder to check
  std::vector<std::string> tool;     // the tool's own arguments
};

// Why the command line is bad, or nothing.
std::optional<std::string> Parse(const std::vector<std::string>& args, Options& options);

}  // namespace run
