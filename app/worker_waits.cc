#include "app/worker_waits.h"

#include <cstdint>

#include "firmware/firmware_control.h"

namespace {

constexpr std::uint32_t kPollMs = 1000;
constexpr int kBoundedPolls = 60;

}  // namespace

void WaitForWorker(CFirmwareControl& control) {
  while (control.IsWorkerRunning())
    platform::Pause(kPollMs);
}

void WaitForWorkerBounded(CFirmwareControl& control) {
  int count = 0;
  bool running = control.IsWorkerRunning();
  while (running && count < kBoundedPolls) {
    platform::Pause(kPollMs);
    ++count;
    running = control.IsWorkerRunning();
  }
}
