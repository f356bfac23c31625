// What fenwrack-sim's trace of the dry run predicts: how the run ends and its verdict.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace run {

// What the dry run's trace says of the run it predicts.
struct Prediction {
  std::string how;                   // exit, power-off, reboot, stuck
  std::optional<std::int64_t> code;  // with exit
  std::string operation;             // the verdict's: "/restart", ..., "usage box"
  bool achieved = false;
  std::string deciding;
  std::vector<std::string> details;

  bool GoesDown() const { return how == "power-off" || how == "reboot"; }
  std::string End() const {
    if (how == "exit")
      return "exit code " + (code ? std::to_string(*code) : std::string("unknown"));
    return how == "stuck" ? std::string("no end") : "a " + how;
  }
};

// Reads the trace's end event and the verdict on its last line; why not, or nothing.
std::optional<std::string> ReadTrace(const std::string& text, Prediction& prediction);

}  // namespace run
