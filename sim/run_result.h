// What a simulated run leaves: its events in order, how it ended, and the machine after it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace sim {

struct Event {
  std::uint64_t t = 0;    // virtual milliseconds since the run's start
  std::string thread;     // "main", "status", "worker"
  std::string event;      // one of events.h
  nlohmann::json fields;  // an object
};

enum class EndHow { kExit, kPowerOff, kReboot, kStuck };

const char* EndHowName(EndHow how);  // "exit", "power-off", "reboot", "stuck"

struct RunResult {
  std::vector<Event> events;  // the last one is "end"
  EndHow how = EndHow::kExit;
  int exitCode = 0;  // for kExit
  std::uint64_t virtualMs = 0;
  nlohmann::json machineAfter;       // the machine as the run left it, machine-file format
  std::vector<std::string> changes;  // what changed on the machine, one readable line each
  std::string standardOutput;        // what the program wrote to its standard streams
  std::string standardError;

  // The events named `name`, in order.
  std::vector<Event> Named(const std::string& name) const;
};

}  // namespace sim
