// The instrument as the tool meets it: the fixed places it reads or acts on, the firmware's
// programs and window titles, and the rules by which the tool recognises them. Plain data and
// small inline functions, so that the tool, the capture and the simulator's verdict, warnings and
// check all use the same names and the same rules.
//
// Each rule takes a std::u16string_view (names as Windows gives them) or a std::string_view
// (UTF-8, as a machine file holds them); a name is compared whole, never up to an embedded NUL
// unless the caller cuts it there. The firmware's names are plain ASCII, so a UTF-8 name matches
// only when it is the same ASCII.
#pragma once

#include <cstddef>
#include <string_view>

#include "platform/text/ascii.h"

namespace instrument {

// ---- Places on the instrument that the operations read or act on.
namespace places {
inline constexpr char16_t kRootVariable[] = u"Kestrix_SYSTEM_ROOT";
inline constexpr char16_t kInterpreter[] = u"C:\\WINNT\\system32\\cmd.exe";
// Under the root: the first two are tested in order, the last is taken untested.
inline constexpr const char16_t* kStartScripts[] = {
    u"\\bin\\StartUpFW.bat", u"\\binRelease\\StartUpFW.bat", u"\\binDebug\\StartUpFW.bat"};
inline constexpr char16_t kKillLogFolder[] = u"C:\\Kestrix\\Instr\\log";
inline constexpr char16_t kKillLogPath[] = u"C:\\Kestrix\\Instr\\log\\FWKill.log";
// The first is used when it can be opened for reading and others may not change it, else the
// second.
inline constexpr const char* kMsiexecPaths[] = {"C:\\WINNT\\SYSTEM32\\msiexec.exe",
                                                "C:\\WINDOWS\\SYSTEM32\\msiexec.exe"};
inline constexpr char16_t kPolicyKey[] =
    u"System\\CurrentControlSet\\Control\\StorageDevicePolicies";
inline constexpr char16_t kPolicyValue[] = u"WriteProtect";
inline constexpr char16_t kEditorName[] = u"\\regedit.exe";  // in the Windows folder
inline constexpr char16_t kSettingsFile[] =
    u"C:\\Program Files\\Kestrix\\USBProtect\\SetUSBProtection.reg";
}  // namespace places

// ---- The firmware's programs, by executable name, and its windows, by title.

// Watched by the stop worker (and opened by it alone): a process name matches after folding its
// letters A to Z to lower case, compared whole with one of these, which are lower case.
inline constexpr const char16_t* StopWorkerNames[] = {
    u"halvmark.exe", u"quenstead_d.exe", u"quenstead.exe", u"tarnwick.exe", u"talvora.exe",
};

// The server programs that a restart terminates when they still run; compared unchanged.
inline constexpr const char16_t* HungFirmwareNames[] = {
    u"Halvmark.exe",
    u"Quenstead_d.exe",
    u"Quenstead.exe",
};

// The firmware's top-level windows, asked to close by a posted close request; a title matches
// only when it is one of these, whole and unchanged.
inline constexpr const char16_t* FirmwareWindowTitles[] = {
    u"Kestrix Analyzer Interface",
    u"Pelmo",
    u"Talvora",
};

// The units the tool reads of a window's title, its end included: a longer title arrives cut and
// can never equal a firmware title.
inline constexpr int kTitleUnits = 256;

// ---- The rules.

namespace detail {

// Whether `name`, its letters A to Z folded to lower case when `fold`, equals `candidate` whole.
template <typename Char>
constexpr bool Equals(std::basic_string_view<Char> name, std::u16string_view candidate, bool fold) {
  if (name.size() != candidate.size())
    return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const Char c = fold ? platform::text::AsciiLower(name[i]) : name[i];
    // A UTF-8 byte above 0x7F, part of a character beyond ASCII, equals no unit of a name.
    const char16_t unit = sizeof(Char) == 1 ? static_cast<char16_t>(static_cast<unsigned char>(c))
                                            : static_cast<char16_t>(c);
    if (unit != candidate[i])
      return false;
  }
  return true;
}

template <typename Char, std::size_t N>
constexpr bool IsOneOf(std::basic_string_view<Char> name, const char16_t* const (&names)[N],
                       bool fold) {
  for (const char16_t* candidate : names) {
    if (Equals(name, std::u16string_view(candidate), fold))
      return true;
  }
  return false;
}

template <std::size_t N>
constexpr bool AllAsciiAndFolded(const char16_t* const (&names)[N], bool folded) {
  for (const char16_t* name : names) {
    for (const char16_t* c = name; *c != 0; ++c) {
      if (*c > 0x7F || (folded && platform::text::AsciiLower(*c) != *c))
        return false;
    }
  }
  return true;
}

}  // namespace detail

// The stop worker's rule: the name with A to Z folded to lower case, compared whole.
constexpr bool IsStopWorkerName(std::u16string_view name) {
  return detail::IsOneOf(name, StopWorkerNames, true);
}
constexpr bool IsStopWorkerName(std::string_view name) {
  return detail::IsOneOf(name, StopWorkerNames, true);
}

// The forced kill's rule: the name unchanged, compared whole.
constexpr bool IsHungFirmwareName(std::u16string_view name) {
  return detail::IsOneOf(name, HungFirmwareNames, false);
}
constexpr bool IsHungFirmwareName(std::string_view name) {
  return detail::IsOneOf(name, HungFirmwareNames, false);
}

// The window closer's rule: the title unchanged, compared whole.
constexpr bool IsFirmwareWindowTitle(std::u16string_view title) {
  return detail::IsOneOf(title, FirmwareWindowTitles, false);
}
constexpr bool IsFirmwareWindowTitle(std::string_view title) {
  return detail::IsOneOf(title, FirmwareWindowTitles, false);
}

// The rules above hold only for ASCII names, and the folded rule only for lower-case ones.
static_assert(detail::AllAsciiAndFolded(StopWorkerNames, true));
static_assert(detail::AllAsciiAndFolded(HungFirmwareNames, false));
static_assert(detail::AllAsciiAndFolded(FirmwareWindowTitles, false));
static_assert(IsStopWorkerName(u"HALVMARK.EXE") && !IsStopWorkerName("halvmark.exe "));
static_assert(IsHungFirmwareName("Halvmark.exe") && !IsHungFirmwareName(u"halvmark.exe"));
static_assert(IsFirmwareWindowTitle(u"Pelmo") && !IsFirmwareWindowTitle("pelmo"));

}  // namespace instrument
