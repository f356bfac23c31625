// A machine in the machine-file format, checked once: what a simulated run starts from.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "machine_file/machine_model.h"

namespace machine_file {

// A machine file that cannot be read or does not fit the format. what() is one line naming the
// source, the place in it and what is wrong.
class MachineError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Machine {
 public:
  // Throw MachineError; `source` names the file (or "demo") in messages.
  static Machine FromJson(const nlohmann::json& document, const std::string& source);
  // Machine-file text: also duplicate keys, and line and column in messages.
  static Machine FromText(std::string_view text, const std::string& source);
  // "-" reads standard input.
  static Machine FromFile(const std::string& path);
  static Machine Demo();

  // The machine in the machine-file format.
  nlohmann::json json() const;
  const MachineModel& model() const { return *model_; }

 private:
  std::shared_ptr<const MachineModel> model_;
};

// A machine in the machine-file format, laid out for people to read.
std::string FormatMachine(const nlohmann::json& machine);

}  // namespace machine_file
