// What a simulated run leaves: its events in order, how it ended, and the machine after it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "machine_file/machine_model.h"
#include "sim/events.h"

namespace sim {

struct Event {
  std::uint64_t t = 0;  // virtual milliseconds since the run's start
  std::string thread;   // "main", "status", "worker"
  std::string event;    // the name of `fields`' kind
  events::Any fields;

  // The fields when the event is of kind E, else null.
  template <typename E>
  const E* As() const {
    return std::get_if<E>(&fields);
  }
};

// The event's fields as the trace writes them: an object, keys sorted, no value left out or
// written as null other than as the trace has them. For the edges that write JSON.
nlohmann::json FieldsJson(const Event& event);

struct RunResult {
  std::vector<Event> events;  // the last one is "end"
  EndHow how = EndHow::kExit;
  int exitCode = 0;  // for kExit
  std::uint64_t virtualMs = 0;
  machine_file::MachineModel machineAfter;  // the machine as the run left it
  std::vector<std::string> changes;         // what changed on the machine, one readable line each
  std::string standardOutput;               // what the program wrote to its standard streams
  std::string standardError;

  // The events named `name`, in order.
  std::vector<Event> Named(const std::string& name) const;
  // The fields of the events of kind E, in order.
  template <typename E>
  std::vector<E> All() const {
    std::vector<E> out;
    for (const Event& e : events) {
      if (const E* fields = e.As<E>())
        out.push_back(*fields);
    }
    return out;
  }
};

}  // namespace sim
