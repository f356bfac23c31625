// The framework's command-line walk and the tool's switches, on any arguments (UTF-16 units,
// split at line feeds and at NUL, which no argument holds): each field as the switch rules give.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/command_line.h"
#include "sim/run_state.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static sim::RunState sim({}, {});
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
  // The fields and their switches; an operation seen last clears the usage box, "?" or "h" sets it.
  const std::uint8_t fields[] = {cmd.m_bTerminate, cmd.m_bShutdown,  cmd.m_bRestart,
                                 cmd.m_bCheckUSB,  cmd.m_bDeinstall, cmd.m_bShowUsage};
  const char16_t* names[] = {u"terminate", u"shutdown", u"restart", u"checkusb", u"deinstall"};
  std::uint8_t expected[] = {0, 0, 0, 0, 0, 1};
  for (std::size_t a = 1; a < sim.args.size(); ++a) {
    std::u16string name = sim.args[a];  // a switch, its mark taken off and A to Z folded
    if (name.empty() || (name[0] != u'/' && name[0] != u'-'))
      continue;
    name.erase(0, 1);
    for (char16_t& c : name)
      c = c >= u'A' && c <= u'Z' ? c + 32 : c;
    for (std::size_t f = 0; f < 5; ++f) {
      if (name == names[f])
        expected[f] = 1, expected[5] = 0;
    }
    if (name == u"?" || name == u"h")
      expected[5] = 1;
  }
  if (!std::equal(std::begin(fields), std::end(fields), expected))
    std::abort();
  return 0;
}
