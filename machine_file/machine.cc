#include "machine_file/machine.h"

#include "platform/host/host.h"

namespace machine_file {

namespace {

const char kDemoMachine[] =
#include "machine_file/demo_machine.inc"
    ;

}  // namespace

Machine Machine::FromJson(const nlohmann::json& document, const std::string& source) {
  Machine machine;
  machine.model_ = std::make_shared<const MachineModel>(ParseMachine(document, source));
  return machine;
}

Machine Machine::FromText(std::string_view text, const std::string& source) {
  Machine machine;
  machine.model_ = std::make_shared<const MachineModel>(ParseMachineText(text, source));
  return machine;
}

Machine Machine::FromFile(const std::string& path) {
  const std::string source = path == "-" ? "standard input" : path;
  std::string text;
  if (const auto error = host::ReadWholeFile(path, text))
    throw MachineError(Printable(source, 80) + ": " + error->reason);
  return FromText(text, source);
}

Machine Machine::Demo() {
  static const Machine demo = FromText(kDemoMachine, "demo");
  return demo;
}

nlohmann::json Machine::json() const {
  return ToJson(*model_);
}

}  // namespace machine_file
