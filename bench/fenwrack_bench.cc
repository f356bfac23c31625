// Wall-time costs of the simulated runs and of one stop-worker scan pass on a large machine.
#include <benchmark/benchmark.h>

#include <chrono>
#include <string>

#include <nlohmann/json.hpp>

#include "firmware/window_closer.h"
#include "platform/platform.h"
#include "platform/sim/simulator.h"

namespace {

void DemoRestart(benchmark::State& state) {
  const platform::sim::Machine demo = platform::sim::Machine::Demo();
  for (auto _ : state) {
    benchmark::DoNotOptimize(platform::sim::Run(demo, {u"Fenwrack.exe", u"/restart"}));
  }
}
BENCHMARK(DemoRestart)->Unit(benchmark::kMillisecond);

platform::sim::Machine LargeMachine(int processes, int windows) {
  nlohmann::json list = nlohmann::json::array();
  for (int i = 0; i < processes; ++i) {
    nlohmann::json p = {{"pid", 1000 + i}, {"name", "proc" + std::to_string(i) + ".exe"}};
    if (i < windows)
      p["windows"] = {"Window " + std::to_string(i)};
    list.push_back(p);
  }
  return platform::sim::Machine::FromJson({{"processes", list}}, "large");
}

// One pass as the stop worker makes it: the closer over every window, then a snapshot walk.
void ScanPass(benchmark::State& state) {
  const platform::sim::Machine machine = LargeMachine(10000, 2000);
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

}  // namespace

BENCHMARK_MAIN();
