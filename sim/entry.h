// A simulated process's start, as a new process would start: fresh process globals, `main` on
// the main thread. Runs are serialised; a run that can never end stops at one hour of virtual
// time, or when nothing can run any more, as kStuck. An exception that leaves a simulated thread
// ends the run and is rethrown here.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "machine_file/machine.h"
#include "sim/run_result.h"

namespace sim {

// args[0] is the program; CommandLineArguments() gives `args`.
sim::RunResult RunProcess(const machine_file::Machine& machine, std::vector<std::u16string> args,
                          std::function<int()> main);

// The tool, its framework's entry on the main thread; args[0] is "Fenwrack.exe".
sim::RunResult Run(const machine_file::Machine& machine, const std::vector<std::u16string>& args);

// `body` as the main thread of a fresh simulated process, for exercising one operation.
sim::RunResult RunFunction(const machine_file::Machine& machine, const std::function<void()>& body,
                           const std::vector<std::u16string>& args = {u"Fenwrack.exe"});

}  // namespace sim
