#include "app/command_line.h"

namespace {

// Whole-string comparison that folds only A to Z.
bool EqualsKeyword(const char16_t* param, const char16_t* keyword) {
  auto fold = [](char16_t c) -> char16_t { return c >= u'A' && c <= u'Z' ? c + (u'a' - u'A') : c; };
  for (; *param != 0 && *keyword != 0; ++param, ++keyword) {
    if (fold(*param) != fold(*keyword))
      return false;
  }
  return *param == 0 && *keyword == 0;
}

}  // namespace

void FenwrackCommandLine::ParseParam(const char16_t* pszParam, framework::Bool bFlag,
                                     framework::Bool) {
  if (!bFlag)
    return;
  if (EqualsKeyword(pszParam, u"terminate")) {
    m_bTerminate = 1;
    m_bShowUsage = 0;
  }
  if (EqualsKeyword(pszParam, u"shutdown")) {
    m_bShutdown = 1;
    m_bShowUsage = 0;
  }
  if (EqualsKeyword(pszParam, u"restart")) {
    m_bRestart = 1;
    m_bShowUsage = 0;
  }
  if (EqualsKeyword(pszParam, u"checkUSB")) {
    m_bCheckUSB = 1;
    m_bShowUsage = 0;
  }
  if (EqualsKeyword(pszParam, u"deinstall")) {
    m_bDeinstall = 1;
    m_bShowUsage = 0;
  }
  if (EqualsKeyword(pszParam, u"?"))
    m_bShowUsage = 1;
  if (EqualsKeyword(pszParam, u"h"))
    m_bShowUsage = 1;
}
