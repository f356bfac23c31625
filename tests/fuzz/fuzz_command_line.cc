// The framework's command-line walk and the tool's switches, on any arguments (UTF-16 units,
// split at line feeds and at NUL, which no argument holds): each field as the switch rules give.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/command_line.h"
#include "platform/sim/simulation.h"

namespace {

// "/keyword" or "-keyword", whole, A to Z in any case.
bool Names(const std::u16string& arg, std::u16string_view keyword) {
  const auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? c + 32 : c; };
  bool same = arg.size() == keyword.size() + 1 && (arg[0] == u'/' || arg[0] == u'-');
  for (std::size_t i = 0; same && i < keyword.size(); ++i)
    same = lower(arg[i + 1]) == lower(keyword[i]);
  return same;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static platform::sim::detail::Simulation sim({}, {});
  sim.args = {u"Fenwrack.exe", u""};
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    const auto unit = static_cast<char16_t>(data[i] | data[i + 1] << 8);
    if (unit == u'\n' || unit == 0)
      sim.args.emplace_back();
    else
      sim.args.back().push_back(unit);
  }
  FenwrackCommandLine cmd;
  framework::CWinApp().ParseCommandLine(cmd);
  const std::u16string_view ops[] = {u"terminate", u"shutdown", u"restart", u"checkUSB",
                                     u"deinstall"};
  const std::uint8_t got[] = {cmd.m_bTerminate, cmd.m_bShutdown, cmd.m_bRestart, cmd.m_bCheckUSB,
                              cmd.m_bDeinstall};
  std::size_t lastOp = 0, lastHelp = 0;  // argument numbers, 0: none
  for (std::size_t op = 0; op < 5; ++op) {
    std::uint8_t expected = 0;
    for (std::size_t a = 1; a < sim.args.size(); ++a) {
      expected |= Names(sim.args[a], ops[op]);
      lastOp = Names(sim.args[a], ops[op]) ? std::max(lastOp, a) : lastOp;
      lastHelp = Names(sim.args[a], u"?") || Names(sim.args[a], u"h") ? a : lastHelp;
    }
    if (got[op] != expected)
      std::abort();
  }
  if (cmd.m_bShowUsage != (lastOp == 0 || lastHelp > lastOp))
    std::abort();
  return 0;
}
