#include "fenwrack-sim/fleet.h"

#include <algorithm>
#include <stdexcept>

#include "platform/host/host.h"

namespace fenwrack_sim {

std::vector<FleetEntry> JudgeFleet(const std::string& folder,
                                   const std::vector<std::u16string>& args) {
  std::vector<std::string> names;
  if (const auto error = host::ListFolder(folder, names))
    throw std::runtime_error(folder + ": " + error->reason);
  // "x.json", not the hidden ".json"; in byte order, whatever order the system lists them in.
  std::erase_if(names, [](const std::string& name) {
    return name.size() <= 5 || name.compare(name.size() - 5, 5, ".json") != 0;
  });
  std::sort(names.begin(), names.end());
  std::vector<FleetEntry> fleet;
  for (const std::string& name : names) {
    FleetEntry entry{name, "", {}};
    try {
      const machine_file::Machine machine =
          machine_file::Machine::FromFile(host::JoinPath(folder, name));
      entry.verdict = Judge(machine, args, sim::Run(machine, args));
    } catch (const machine_file::MachineError& e) {
      entry.error = e.what();
    }
    fleet.push_back(std::move(entry));
  }
  return fleet;
}

std::string FleetText(const std::vector<FleetEntry>& fleet) {
  std::size_t width = 0;
  for (const FleetEntry& e : fleet)
    width = std::max(width, e.file.size());
  std::string text;
  for (const FleetEntry& e : fleet) {
    text += e.file + std::string(width + 2 - e.file.size(), ' ');
    text += e.error.empty()
                ? std::string(e.verdict.achieved ? "achieved      " : "NOT achieved  ") +
                      e.verdict.deciding
                : "not a machine: " + e.error;
    text += "\n";
  }
  return text;
}

std::string FleetJsonLines(const std::vector<FleetEntry>& fleet) {
  std::string lines;
  for (const FleetEntry& e : fleet) {
    nlohmann::json line = {{"file", e.file}};
    line.update(e.error.empty() ? e.verdict.Json() : nlohmann::json{{"error", e.error}});
    lines += line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  }
  return lines;
}

}  // namespace fenwrack_sim
