#include "sim/run_state.h"

#include <atomic>

#include "sim/events.h"

namespace sim {

namespace {

std::atomic<RunState*> g_active{nullptr};

}  // namespace

RunState* Active() {
  return g_active.load();
}

RunState::RunState(MachineModel m, std::vector<std::u16string> a)
    : MachineState(*this, std::move(m)), args(std::move(a)) {
  // The user's key at the status window needs both the clock and the dialogs.
  if (const auto& key = machine.user.statusWindowKey) {
    At(key->afterMs, [this, name = key->key] {
      for (auto& d : dialogs) {
        if (d->closed || d->ending)
          continue;
        // The key reaches the window's own thread.
        Emit(d->owner->name, events::KeyPress{.key = name, .hwnd = d->hwnd});
        d->queue.push_back(
            {platform::kWmCommand,
             static_cast<std::uintptr_t>(name == "Escape" ? platform::kIdCancel : platform::kIdOk),
             0});
        Wake(*d->owner);
        return;
      }
      Emit("status", events::KeyPress{.key = name, .hwnd = std::nullopt});
    });
  }
  g_active.store(this);
}

RunState::~RunState() {
  RunState* self = this;
  g_active.compare_exchange_strong(self, nullptr);
}

void RunState::Ended(EndHow how) {
  RunEnded(how);
}

RunResult RunState::Result() {
  std::lock_guard<std::mutex> lock(mu);
  RunResult result = Recorded();
  result.machineAfter = CurrentMachine();
  result.changes = Changes(result.how);
  result.standardOutput = standardStreams[0];
  result.standardError = standardStreams[1];
  return result;
}

}  // namespace sim
