#include "sim/run_result.h"

namespace sim {

std::vector<Event> RunResult::Named(const std::string& name) const {
  std::vector<Event> out;
  for (const Event& e : events) {
    if (e.event == name)
      out.push_back(e);
  }
  return out;
}

const char* EndHowName(EndHow how) {
  switch (how) {
    case EndHow::kExit:
      return "exit";
    case EndHow::kPowerOff:
      return "power-off";
    case EndHow::kReboot:
      return "reboot";
    case EndHow::kStuck:
      return "stuck";
  }
  return "exit";
}

}  // namespace sim
