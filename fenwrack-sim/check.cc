#include "fenwrack-sim/check.h"

#include <map>

#include "fenwrack-sim/verdict.h"
#include "instrument/instrument.h"
#include "platform/text/text.h"

namespace fenwrack_sim {

namespace {

using machine_file::MachineModel;

std::map<std::string, int> FirmwareRunning(const MachineModel& machine) {
  std::map<std::string, int> running;
  for (const machine_file::ProcessDesc& p : machine.processes) {
    if (IsFirmware(p.name))
      ++running[p.name];
  }
  return running;
}

std::string KillLog(const MachineModel& machine) {
  const std::string wanted =
      platform::text::FoldUtf8(platform::text::Utf16ToUtf8Lossy(instrument::places::kKillLogPath));
  for (const machine_file::FileDesc& f : machine.files) {
    if (platform::text::FoldUtf8(f.path) == wanted)
      return f.content;
  }
  return "";
}

std::map<std::string, int> Products(const MachineModel& machine) {
  std::map<std::string, int> states;
  for (const machine_file::ProductDesc& p : machine.products)
    states[platform::text::FoldUtf8(p.code)] = p.state;
  return states;
}

std::string Count(int n) {
  return std::to_string(n) + (n == 1 ? " instance" : " instances");
}

std::string Lines(const std::string& text) {
  int n = 0;
  for (const char c : text)
    n += c == '\n';
  return std::to_string(n) + (n == 1 ? " line" : " lines");
}

}  // namespace

std::vector<std::string> Differences(const MachineModel& expected, const MachineModel& observed,
                                     bool restarted) {
  std::vector<std::string> out;
  std::map<std::string, std::pair<int, int>> programs;
  for (const auto& [name, n] : FirmwareRunning(expected))
    programs[name].first = n;
  for (const auto& [name, n] : FirmwareRunning(observed))
    programs[name].second = n;
  if (restarted)
    programs.clear();
  for (const auto& [name, n] : programs) {
    if (n.first != n.second)
      out.push_back(name + ": " + Count(n.first) + " running predicted, " + Count(n.second) +
                    " observed");
  }
  const std::string logExpected = KillLog(expected), logObserved = KillLog(observed);
  if (logExpected != logObserved)
    out.push_back("kill log: " + Lines(logExpected) + " predicted, " + Lines(logObserved) +
                  " observed");
  const auto written = [](bool on) { return std::string(on ? "1" : "not 1"); };
  const std::string protectedExpected = written(UsbWriteProtected(expected)),
                    protectedObserved = written(UsbWriteProtected(observed));
  if (protectedExpected != protectedObserved)
    out.push_back("WriteProtect: " + protectedExpected + " predicted, " + protectedObserved +
                  " observed");
  std::map<std::string, std::pair<int, int>> products;
  for (const auto& [code, state] : Products(expected))
    products[code] = {state, -1};
  for (const auto& [code, state] : Products(observed))
    products.try_emplace(code, -1, -1).first->second.second = state;
  const auto said = [](int state) {
    return state == 5    ? std::string("installed")
           : state == -1 ? std::string("not installed")
                         : "state " + std::to_string(state);
  };
  for (const auto& [code, states] : products) {
    if (said(states.first) != said(states.second))
      out.push_back("product " + code + ": " + said(states.first) + " predicted, " +
                    said(states.second) + " observed");
  }
  return out;
}

}  // namespace fenwrack_sim
