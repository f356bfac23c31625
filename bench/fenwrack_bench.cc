// Wall-time costs of the simulated runs, of one stop-worker scan pass on a large machine and of a
// fleet's verdicts; the time and the peak memory of reading a machine file.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "fenwrack-sim/fleet.h"
#include "firmware/window_closer.h"
#include "machine_file/machine.h"
#include "platform/platform.h"
#include "sim/entry.h"
#include "sim/run_result.h"

namespace {

// The bytes allocated with new and not yet freed, and the most since the last reset.
std::atomic<std::size_t> g_live{0}, g_peak{0};

}  // namespace

void* operator new(std::size_t size) {
  void* block = std::malloc(size);
  if (block == nullptr)
    throw std::bad_alloc();
  const std::size_t live = g_live += malloc_usable_size(block);
  for (std::size_t peak = g_peak; live > peak && !g_peak.compare_exchange_weak(peak, live);) {
  }
  return block;
}

// Not inlined: GCC would take the free() of what new gave for a mismatch.
[[gnu::noinline]] void operator delete(void* block) noexcept {
  if (block != nullptr)
    g_live -= malloc_usable_size(block);
  std::free(block);
}

void operator delete(void* block, std::size_t) noexcept {
  operator delete(block);
}

namespace {

void DemoRestart(benchmark::State& state) {
  const machine_file::Machine demo = machine_file::Machine::Demo();
  for (auto _ : state) {
    benchmark::DoNotOptimize(sim::Run(demo, {u"Fenwrack.exe", u"/restart"}));
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
    sim::RunFunction(machine, [&] {
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

// A machine file as a capture of a busy instrument writes it, of about `size` bytes: processes
// with windows, files, products.
std::string MachineText(std::size_t size) {
  nlohmann::json processes = nlohmann::json::array(), files = nlohmann::json::array(),
                 products = nlohmann::json::array();
  for (std::size_t i = 0, written = 0; written < size; ++i) {
    const std::string n = std::to_string(i);
    processes.push_back(
        {{"pid", 1000 + 4 * i},
         {"name", "program" + n + ".exe"},
         {"windows", {"Window " + n, {{"title", "Tool " + n}, {"accepts_posts", false}}}},
         {"on_close", {{"exit_after_ms", i % 500}}}});
    files.push_back({{"path", "C:\\Data\\folder" + std::to_string(i % 97) + "\\file" + n + ".txt"},
                     {"content", "line " + n + "\r\n"}});
    written += processes.back().dump().size() + files.back().dump().size();
    if (i % 10 == 0) {
      products.push_back(
          {{"code", "{00000000-0000-0000-0000-" + std::string(12 - n.size(), '0') + n + "}"},
           {"name", "Product " + n}});
      written += products.back().dump().size();
    }
  }
  return nlohmann::json{{"processes", processes}, {"files", files}, {"products", products}}.dump();
}

// Reading and checking a machine file; its peak memory is what the reader allocates at most.
void ReadMachine(benchmark::State& state) {
  const std::string text = MachineText(static_cast<std::size_t>(state.range(0)));
  std::size_t peak = 0;
  for (auto _ : state) {
    g_peak = g_live.load();
    const std::size_t before = g_live;
    benchmark::DoNotOptimize(machine_file::Machine::FromText(text, "bench"));
    peak = std::max(peak, g_peak - before);
  }
  state.counters["file_bytes"] = static_cast<double>(text.size());
  state.counters["peak_bytes"] = static_cast<double>(peak);
  state.counters["peak_per_file_byte"] =
      static_cast<double>(peak) / static_cast<double>(text.size());
}
BENCHMARK(ReadMachine)
    ->Arg(100'000)
    ->Arg(1'000'000)
    ->Arg(10'000'000)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
