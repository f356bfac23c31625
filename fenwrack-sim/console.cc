#include "fenwrack-sim/console.h"

#include <optional>
#include <type_traits>
#include <variant>
#include <vector>

#include "machine_file/machine_model.h"

namespace fenwrack_sim {

namespace {

void Escape(std::string& text) {
  std::string shown = ForConsole(text);
  if (shown != text)
    text = std::move(shown);
}

void Escape(machine_file::RegValueDesc& value) {
  Escape(value.text);
}

void Escape(std::vector<std::string>& texts) {
  for (std::string& text : texts)
    Escape(text);
}

// Every text among an event's fields; numbers and the like stay as they are.
struct EscapeField {
  template <typename T>
  void operator()(const char* key, T& value) const {
    if constexpr (requires { value.has_value(); }) {
      if (value)
        (*this)(key, *value);
    } else if constexpr (requires { Escape(value); }) {
      Escape(value);
    }
  }
};

}  // namespace

std::string ForConsole(std::string_view text) {
  return machine_file::Printable(text, std::string::npos);
}

void ForConsole(sim::RunResult& run) {
  for (sim::Event& event : run.events)
    std::visit([](auto& e) { std::decay_t<decltype(e)>::Fields(e, EscapeField{}); }, event.fields);
  for (std::string& change : run.changes)
    Escape(change);
}

Verdict ForConsole(Verdict verdict) {
  Escape(verdict.deciding);
  for (std::string& line : verdict.details)
    Escape(line);
  return verdict;
}

FleetEntry ForConsole(FleetEntry entry) {
  Escape(entry.file);
  Escape(entry.error);
  entry.verdict = ForConsole(std::move(entry.verdict));
  return entry;
}

}  // namespace fenwrack_sim
