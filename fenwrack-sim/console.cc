#include "fenwrack-sim/console.h"

#include "machine_file/machine_model.h"

namespace fenwrack_sim {

namespace {

void Escape(std::string& text) {
  std::string shown = ForConsole(text);
  if (shown != text)
    text = std::move(shown);
}

void Escape(nlohmann::json& value) {
  if (value.is_string()) {
    Escape(value.get_ref<std::string&>());
  } else if (value.is_structured()) {
    for (nlohmann::json& inner : value)
      Escape(inner);
  }
}

}  // namespace

std::string ForConsole(std::string_view text) {
  return machine_file::Printable(text, std::string::npos);
}

void ForConsole(sim::RunResult& run) {
  for (sim::Event& event : run.events)
    Escape(event.fields);
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
