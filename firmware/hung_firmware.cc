// The hard step of a restart: terminate a firmware server that still runs, and note it.
#include "firmware/firmware_control.h"
#include "instrument/instrument.h"

namespace {

// People and scripts read this file: keep the line exactly as it has always been.
constexpr char kKillLogLine[] =
    "Tessel firmware was termiated by tool, because frimware did not respond\n";

}  // namespace

void CFirmwareControl::KillHungFirmware() {
  bool found = false;
  std::uint32_t rememberedId = 0;
  {
    const platform::Snapshot snapshot = platform::TakeSnapshot(platform::kSnapProcess, 0);
    if (!snapshot)
      return;
    platform::ProcessEntry entry;
    for (platform::Bool more = platform::FirstProcess(snapshot, entry); more != 0;
         more = platform::NextProcess(snapshot, entry)) {
      if (instrument::IsHungFirmwareName(entry.exeFile)) {
        found = true;
        rememberedId = entry.processId;  // the last match in snapshot order wins
      }
    }
  }
  if (!found)
    return;

  bool terminated = false;
  if (const platform::KernelHandle process =
          platform::OpenProcessHandle(platform::kProcessAllAccess, 0, rememberedId)) {
    terminated = platform::TerminateProcessHandle(process, 0) != 0;
  }
  // The line says the firmware was terminated: write it only when that is true.
  if (!terminated)
    return;
  if (const platform::CrtFile log = platform::OpenCrtFile(places::kKillLogPath, u"a")) {
    platform::WriteCrtText(log, kKillLogLine);
  }
}
