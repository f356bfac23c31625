// The machine file's content as the simulator uses it. Parsing checks every part and names the
// place of the first thing that does not fit; ToJson writes the same format back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

namespace machine_file {

struct WindowDesc {
  std::string title;
  bool titleReadable = true;
  bool acceptsPosts = true;
};

struct OnClose {
  bool ignore = false;
  std::uint64_t exitAfterMs = 100;
};

// A name that few processes have, kept out of line and copied with its owner.
class RareName {
 public:
  RareName() = default;
  RareName(const RareName& other) { *this = other; }
  RareName& operator=(const RareName& other) {
    text_ = other.text_ ? std::make_unique<std::string>(*other.text_) : nullptr;
    return *this;
  }
  RareName(RareName&&) noexcept = default;
  RareName& operator=(RareName&&) noexcept = default;
  RareName& operator=(std::string text) {
    text_ = text.empty() ? nullptr : std::make_unique<std::string>(std::move(text));
    return *this;
  }

  bool empty() const { return text_ == nullptr; }
  const std::string& str() const {
    static const std::string kNone;
    return text_ ? *text_ : kNone;
  }

 private:
  std::unique_ptr<std::string> text_;
};

// A process as a program starts it, or as it runs. A start-up script may list millions of them,
// each a few bytes of the file: the struct is kept small.
struct ProcessDesc {
  std::uint32_t pid = 0;  // 0 in what a program starts: the system picks one
  bool canOpen = true;
  bool canTerminate = true;
  bool elevated = false;  // runs with an administrator's full rights
  std::string name;
  std::vector<WindowDesc> windows;
  OnClose onClose;
  RareName endsWith;  // ends when the last process of this name ends
};

struct FileDesc {
  std::string path;
  bool directory = false;
  std::string content;
  std::vector<ProcessDesc> starts;
  bool readable = true;
  bool writable = true;
  bool isProtected = true;  // "protected": nobody but the trusted accounts may change it
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
  std::string name;  // as the installer lists it; may be empty
  std::int32_t state = 5;
  bool removalWorks = true;
};

struct SystemDesc {
  std::string windowsFolder = "C:\\WINDOWS";
  bool acceptsPowerOff = true;    // "power_off": "accept" or "refuse"
  bool acceptsReboot = true;      // "reboot": "accept" or "refuse"
  bool administrator = true;      // the tool runs with an administrator's full rights
  bool shutdownPrivilege = true;  // the account holds SeShutdownPrivilege; follows administrator
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

// The faults of the machine file, by name: the one list that reading, writing and tests use.
using FaultMember =
    std::variant<bool FaultDesc::*, std::uint64_t FaultDesc::*,
                 std::optional<std::uint64_t> FaultDesc::*, std::set<std::string> FaultDesc::*,
                 std::vector<std::string> FaultDesc::*>;
struct FaultField {
  const char* name;
  FaultMember member;
  std::uint64_t min = 0;  // numbers: the range allowed
  std::uint64_t max = 0;
};
std::span<const FaultField> FaultFields();
// The thread roles that thread_start_fails may name.
inline constexpr const char* kThreadRoles[] = {"status", "worker"};

// The text of a machine file, for messages that name line and column.
struct MachineText {
  std::string source;  // the file's name, or "demo"
  std::string_view text;
};

// Reads JSON text: duplicate keys, nesting deeper than kMaxDepth and every syntax error throw
// MachineError naming line and column.
inline constexpr std::size_t kMaxDepth = 64;
nlohmann::json ReadJsonText(const MachineText& text);

// Throws MachineError naming `source`, the JSON pointer of the place and, with `text`, its line
// and column.
MachineModel ParseMachine(const nlohmann::json& document, const std::string& source,
                          const MachineText* text = nullptr);
MachineModel ParseMachineText(std::string_view text, const std::string& source);
nlohmann::json ToJson(const MachineModel& machine);
// Whether the writer gives a process a script starts as its name alone.
bool WrittenAsName(const ProcessDesc& process);

// The one line of a machine-file error: source, line and column when known, place, what.
std::string MachineMessage(const std::string& source, const MachineText* text,
                           const std::string& where, const std::string& what);
// For a one-line message: control characters and ill-formed bytes escaped, cut to `maxChars`
// characters with "…" at the end.
std::string Printable(std::string_view text, std::size_t maxChars);

const char* RegTypeName(RegType type);
// A registry value's data as the machine file writes it.
nlohmann::json RegDataJson(const RegValueDesc& value);
// The value's bytes as the registry stores them.
std::vector<std::uint8_t> RegBytes(const RegValueDesc& value);

}  // namespace machine_file
