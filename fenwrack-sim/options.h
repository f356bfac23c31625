// fenwrack-sim's own command line.
#pragma once

#include <array>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace fenwrack_sim {

// The outputs besides the timeline, each to a file or "-" for stdout.
inline constexpr const char* kOutputOptions[] = {"--trace", "--dump-machine", "--svg"};

struct Options {
  std::optional<std::string> machine;
  std::optional<std::string> productCodes;
  std::array<std::optional<std::string>, std::size(kOutputOptions)> outputs;  // by kOutputOptions
  std::vector<std::string> toolArgs;
  bool help = false;
  bool version = false;
  bool capture = false;
  bool requireAchieved = false;
  std::optional<std::string> fleet;  // a folder of machine files
  bool fleetJson = false;
};

// Returns an error message, or nothing when the command line is good.
std::optional<std::string> Parse(const std::vector<std::string>& argv, Options& options);

extern const char kHelp[];

}  // namespace fenwrack_sim
