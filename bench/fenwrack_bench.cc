// Wall-time costs of the simulated runs, of one stop-worker scan pass on a large machine and of a
// fleet's verdicts.
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "fenwrack-sim/fleet.h"
#include "firmware/window_closer.h"
#include "machine_file/machine.h"
#include "platform/platform.h"
#include "platform/sim/entry.h"
#include "sim_engine/run_result.h"

namespace {

void DemoRestart(benchmark::State& state) {
  const machine_file::Machine demo = machine_file::Machine::Demo();
  for (auto _ : state) {
    benchmark::DoNotOptimize(platform::sim::Run(demo, {u"Fenwrack.exe", u"/restart"}));
  }
}
BENCHMARK(DemoRestart)->Unit(benchmark::kMillisecond);

machine_file::Machine LargeMachine(int processes, int windows) {
  nlohmann::json list = nlohmann::json::array();
  for (int i = 0; i < processes; ++i) {
    nlohmann::json p = {{"pid", 1000 + i}, {"name", "proc" + std::to_string(i) + ".exe"}};
    if (i < windows)
      p["windows"] = {"Window " + std::to_string(i)};
    list.push_back(p);
  }
  return machine_file::Machine::FromJson({{"processes", list}}, "large");
}

// One pass as the stop worker makes it: the closer over every window, then a snapshot walk.
void ScanPass(benchmark::State& state) {
  const machine_file::Machine machine = LargeMachine(10000, 2000);
  for (auto _ : state) {
    double seconds = 0;
    platform::sim::RunFunction(machine, [&] {
      const auto start = std::chrono::steady_clock::now();
      platform::EnumTopLevelWindows(&CloseFirmwareWindowProc, 0);
      const platform::Snapshot snapshot = platform::TakeSnapshot(platform::kSnapProcess, 0);
      platform::ProcessEntry entry;
      int seen = 0;
      for (platform::Bool more = platform::FirstProcess(snapshot, entry); more;
           more = platform::NextProcess(snapshot, entry)) {
        ++seen;
      }
      benchmark::DoNotOptimize(seen);
      seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    });
    state.SetIterationTime(seconds);
  }
}
BENCHMARK(ScanPass)->UseManualTime()->Unit(benchmark::kMillisecond);

// A fleet of 1,000 instruments, the examples over and over: run, judged, a line each.
void Fleet(benchmark::State& state) {
  const std::filesystem::path folder = std::filesystem::temp_directory_path() / "fenwrack_fleet";
  std::filesystem::create_directories(folder);
  std::vector<std::filesystem::path> examples;
  for (const auto& e : std::filesystem::directory_iterator(FENWRACK_EXAMPLES)) {
    if (e.path().extension() == ".json")
      examples.push_back(e.path());
  }
  for (int i = 0; i < 1000; ++i) {
    std::filesystem::copy_file(examples[i % examples.size()],
                               folder / ("m" + std::to_string(i) + ".json"),
                               std::filesystem::copy_options::overwrite_existing);
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(fenwrack_sim::FleetText(
        fenwrack_sim::JudgeFleet(folder.string(), {u"Fenwrack.exe", u"/restart"})));
  }
  std::filesystem::remove_all(folder);
}
BENCHMARK(Fleet)->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
