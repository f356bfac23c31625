#include "app/command_line.h"

#include "platform/text/ascii.h"

namespace {

// Whole-string comparison that folds only A to Z.
bool EqualsKeyword(const char16_t* param, const char16_t* keyword) {
  for (; *param != 0 && *keyword != 0; ++param, ++keyword) {
    if (platform::text::AsciiLower(*param) != platform::text::AsciiLower(*keyword))
      return false;
  }
  return *param == 0 && *keyword == 0;
}

struct Keyword {
  const char16_t* text;
  std::uint8_t FenwrackCommandLine::*field;  // set to 1; an operation also clears the usage box
};

constexpr Keyword kKeywords[] = {
    {u"terminate", &FenwrackCommandLine::m_bTerminate},
    {u"shutdown", &FenwrackCommandLine::m_bShutdown},
    {u"restart", &FenwrackCommandLine::m_bRestart},
    {u"checkUSB", &FenwrackCommandLine::m_bCheckUSB},
    {u"deinstall", &FenwrackCommandLine::m_bDeinstall},
    {u"?", &FenwrackCommandLine::m_bShowUsage},
    {u"h", &FenwrackCommandLine::m_bShowUsage},
};

}  // namespace

void FenwrackCommandLine::ParseParam(const char16_t* pszParam, framework::Bool bFlag,
                                     framework::Bool) {
  if (!bFlag)
    return;
  for (const Keyword& keyword : kKeywords) {
    if (!EqualsKeyword(pszParam, keyword.text))
      continue;
    this->*keyword.field = 1;
    if (keyword.field != &FenwrackCommandLine::m_bShowUsage)
      m_bShowUsage = 0;
  }
}

FenwrackCommandLine::Operation FenwrackCommandLine::Chosen() const {
  // An operation's switch also clears m_bShowUsage, so one of them is always set.
  return m_bShowUsage   ? Operation::kUsage
         : m_bTerminate ? Operation::kTerminate
         : m_bShutdown  ? Operation::kShutdown
         : m_bRestart   ? Operation::kRestart
         : m_bCheckUSB  ? Operation::kCheckUsb
         : m_bDeinstall ? Operation::kDeinstall
                        : Operation::kUsage;
}
