// The framework's command-line walk and the tool's switches, on any arguments (UTF-16 units,
// split at line feeds and at NUL, which no argument holds): each field is 0 or 1 and as the
// switch rules give it.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "platform/sim/simulation.h"

namespace {

// Whole switch, letters A to Z in any case.
bool Names(const std::u16string& arg, std::u16string_view keyword) {
  if (arg.size() != keyword.size() + 1 || (arg[0] != u'/' && arg[0] != u'-'))
    return false;
  for (std::size_t i = 0; i < keyword.size(); ++i) {
    const char16_t c = arg[i + 1];
    if ((c >= u'A' && c <= u'Z' ? c + 32 : c) !=
        (keyword[i] >= u'A' && keyword[i] <= u'Z' ? keyword[i] + 32 : keyword[i]))
      return false;
  }
  return true;
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
  framework::CWinApp app;
  app.ParseCommandLine(cmd);

  const std::u16string_view ops[] = {u"terminate", u"shutdown", u"restart", u"checkUSB",
                                     u"deinstall"};
  const std::uint8_t got[] = {cmd.m_bTerminate, cmd.m_bShutdown, cmd.m_bRestart, cmd.m_bCheckUSB,
                              cmd.m_bDeinstall};
  std::ptrdiff_t lastOp = -1, lastHelp = -1;
  for (std::size_t op = 0; op < 5; ++op) {
    std::uint8_t expected = 0;
    for (std::size_t a = 1; a < sim.args.size(); ++a) {
      if (Names(sim.args[a], ops[op])) {
        expected = 1;
        lastOp = std::max(lastOp, static_cast<std::ptrdiff_t>(a));
      }
      if (Names(sim.args[a], u"?") || Names(sim.args[a], u"h"))
        lastHelp = static_cast<std::ptrdiff_t>(a);
    }
    if (got[op] != expected)
      std::abort();
  }
  if (cmd.m_bShowUsage != (lastOp < 0 || lastHelp > lastOp ? 1 : 0))
    std::abort();
  return 0;
}
