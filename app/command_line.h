// The six yes/no settings that the command line asks for.
#pragma once

#include <cstdint>

#include "platform/framework.h"

class FenwrackCommandLine : public framework::CCommandLineInfo {
 public:
  FenwrackCommandLine() = default;
  ~FenwrackCommandLine() override = default;

  void ParseParam(const char16_t* pszParam, framework::Bool bFlag, framework::Bool bLast) override;

  // In the order of precedence: the first one asked for is the one a run does.
  enum class Operation { kUsage, kTerminate, kShutdown, kRestart, kCheckUsb, kDeinstall };
  Operation Chosen() const;

  std::uint8_t m_bTerminate = 0;
  std::uint8_t m_bShutdown = 0;
  std::uint8_t m_bRestart = 0;
  std::uint8_t m_bShowUsage = 1;  // nothing recognised: show the usage box
  std::uint8_t m_bCheckUSB = 0;
  std::uint8_t m_bDeinstall = 0;
};
