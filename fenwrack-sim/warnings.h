// Names and values in a machine file that the tool will never act on but that look meant for it.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace fenwrack_sim {

// One line each, naming the place (a JSON pointer) and what the tool looks for instead. `machine`
// is a machine file as Machine::json() gives it.
std::vector<std::string> Warnings(const nlohmann::json& machine);

}  // namespace fenwrack_sim
