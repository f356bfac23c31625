// The machine file's content as the simulator uses it. Parsing checks every part and names the
// place of the first thing that does not fit; ToJson writes the same format back.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace platform::sim::detail {

struct WindowDesc {
  std::string title;
  bool titleReadable = true;
  bool acceptsPosts = true;
};

struct OnClose {
  bool ignore = false;
  std::uint64_t exitAfterMs = 100;
};

// A process as a program starts it, or as it runs.
struct ProcessDesc {
  std::uint32_t pid = 0;  // 0 in what a program starts: the system picks one
  std::string name;
  std::vector<WindowDesc> windows;
  OnClose onClose;
  bool canOpen = true;
  bool canTerminate = true;
  std::string endsWith;  // ends when the last process of this name ends
};

struct FileDesc {
  std::string path;
  bool directory = false;
  std::string content;
  std::vector<ProcessDesc> starts;
  bool readable = true;
  bool writable = true;
};

enum class RegType { kDword, kQword, kSz, kBinary };

struct RegValueDesc {
  std::string name;
  RegType type = RegType::kDword;
  std::uint64_t number = 0;         // REG_DWORD, REG_QWORD
  std::string text;                 // REG_SZ
  std::vector<std::uint8_t> bytes;  // REG_BINARY
};

struct RegKeyDesc {
  std::string key;
  std::vector<RegValueDesc> values;
};

struct ProductDesc {
  std::string code;
  std::int32_t state = 5;
  bool removalWorks = true;
};

struct SystemDesc {
  std::string windowsFolder = "C:\\WINDOWS";
  bool acceptsPowerOff = true;  // "power_off": "accept" or "refuse"
  bool acceptsReboot = true;    // "reboot": "accept" or "refuse"
  std::uint64_t interpreterMs = 50;
  std::uint64_t installerMs = 1500;
  std::uint64_t registryEditorMs = 300;
};

struct KeyPress {
  std::string key;  // "Escape" or "Enter"
  std::uint64_t afterMs = 0;
};

struct UserDesc {
  std::optional<std::uint64_t> closesUsageBoxAfterMs = 1000;  // nothing: never
  std::optional<KeyPress> statusWindowKey;
};

struct FaultDesc {
  std::optional<std::uint64_t> snapshotFailsFrom;
  std::uint64_t snapshotDelayMs = 0;
  std::optional<std::uint64_t> widenFailsFromCall;
  bool firstEntryUnreadable = false;
  std::set<std::string> threadStartFails;  // roles
  bool statusWindowFails = false;
  bool timerFails = false;
  bool statusControlMissing = false;
  bool windowsFolderUnavailable = false;
  bool msiUnavailable = false;
  bool tokenOpenFails = false;
  bool privilegeLookupFails = false;
  bool privilegeAdjustFails = false;
  std::vector<std::string> processStartFails;  // program names, as given
};

struct MachineModel {
  std::vector<std::pair<std::string, std::string>> environment;
  std::vector<FileDesc> files;
  std::vector<RegKeyDesc> registry;
  std::vector<ProcessDesc> processes;
  std::vector<ProductDesc> products;
  SystemDesc system;
  UserDesc user;
  FaultDesc faults;
};

// Throws MachineError naming `source` and the JSON pointer of the place.
MachineModel ParseMachine(const nlohmann::json& document, const std::string& source);
nlohmann::json ToJson(const MachineModel& machine);

const char* RegTypeName(RegType type);
// A registry value's data as the machine file writes it.
nlohmann::json RegDataJson(const RegValueDesc& value);
// The value's bytes as the registry stores them.
std::vector<std::uint8_t> RegBytes(const RegValueDesc& value);

}  // namespace platform::sim::detail
