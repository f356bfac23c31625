#include "capture/machine_capture.h"

#include <cstdio>
#include <map>
#include <optional>

#include "instrument/instrument.h"
#include "platform/platform.h"
#include "platform/text/ascii.h"
#include "removal/product_code_table.h"

namespace capture {

namespace {

namespace places = instrument::places;
using platform::WString;

// ---- Files

// The whole file, or nothing when it cannot be opened for reading.
std::optional<std::string> ReadWhole(const WString& path) {
  const platform::CrtFile file = platform::OpenCrtFile(path, u"rb");
  if (!file)
    return std::nullopt;
  std::string bytes;
  char buffer[4096];
  while (const std::size_t n = platform::ReadCrtBytes(file, buffer, sizeof buffer))
    bytes.append(buffer, n);
  return bytes;
}

class Files {
 public:
  explicit Files(Capture& capture) : capture_(capture) {}

  // The path as the tool names it; one entry per path. `program`: one the tool starts, whose
  // protection matters.
  Json* Look(const WString& path, bool withText, bool program = false) {
    const std::u16string key = platform::text::AsciiUppered(std::u16string(path));
    for (const std::u16string& seen : seen_) {
      if (seen == key)
        return nullptr;
    }
    seen_.push_back(key);
    std::uint32_t attributes = 0;
    if (!platform::FindFirst(path, attributes))
      return nullptr;
    Json entry = Json::Object();
    entry.Set("path", Json(path));
    if (attributes & platform::kFileAttributeDirectory) {
      entry.Set("directory", true);
      return &list_.Add(Protection(std::move(entry), path, program));
    }
    const std::optional<std::string> bytes = ReadWhole(path);
    if (bytes && withText) {
      bool utf8 = true;
      if (const auto wide = Utf16Text(*bytes))
        entry.Set("content", Json(*wide));
      else if (!bytes->empty())
        entry.Set("content", Json::Bytes(*bytes, utf8));
      if (!utf8)
        capture_.assumptions.push_back("the text of " + Utf8(path) +
                                       " is not UTF-8: its bytes were taken as Latin-1");
    }
    if (!bytes)
      entry.Set("readable", false);
    if (attributes & platform::kFileAttributeReadOnly)
      entry.Set("writable", false);
    return &list_.Add(Protection(std::move(entry), path, program));
  }

  Json Take() { return std::move(list_); }

 private:
  static Json Protection(Json entry, const WString& path, bool program) {
    if (program && !platform::IsProtected(path))
      entry.Set("protected", false);
    return entry;
  }

  Capture& capture_;
  std::vector<std::u16string> seen_;
  Json list_ = Json::Array();
};

// ---- Processes

struct Window {
  std::u16string title;
  bool readable = true;
};

platform::Bool CollectWindow(platform::WindowRef window, std::intptr_t context) {
  auto& byPid = *reinterpret_cast<std::map<std::uint32_t, std::vector<Window>>*>(context);
  char16_t title[instrument::kTitleUnits] = {};
  bool readable = true;
  platform::ReadWindowTitle(window, title, instrument::kTitleUnits, readable);
  byPid[platform::WindowProcessId(window)].push_back({title, readable});
  return 1;
}

// The stop worker's names are the only processes the tool ever opens.
bool IsFirmwareName(const char16_t* name) {
  return instrument::IsStopWorkerName(name) || instrument::IsHungFirmwareName(name);
}

bool HasFirmwareTitle(const std::vector<Window>& windows) {
  for (const Window& w : windows) {
    if (w.readable && instrument::IsFirmwareWindowTitle(w.title.c_str()))
      return true;
  }
  return false;
}

// The process without its pid: as a start-up script would start it.
Json Started(const Json& process) {
  Json started = Json::Object();
  for (const char* key : {"name", "windows", "on_close"}) {
    if (const Json* value = process.Find(key))
      started.Set(key, *value);
  }
  return started;
}

// Every process in list order; the firmware's, as a start-up script would start them, go to
// `firmware`.
Json ReadProcesses(Capture& capture, FirmwareReaction reaction, std::vector<Json>& firmware) {
  Json list = Json::Array();
  std::map<std::uint32_t, std::vector<Window>> windows;
  platform::EnumTopLevelWindows(&CollectWindow, reinterpret_cast<std::intptr_t>(&windows));
  const platform::Snapshot snapshot = platform::TakeSnapshot(platform::kSnapProcess, 0);
  if (!snapshot) {
    capture.unknown.push_back("processes: the process list could not be taken");
    return list;
  }
  const std::uint32_t self = platform::CurrentProcessId();
  platform::ProcessEntry entry;
  for (platform::Bool more = platform::FirstProcess(snapshot, entry); more != 0;
       more = platform::NextProcess(snapshot, entry)) {
    // Not the idle process, which no program can act on, nor this program.
    if (entry.processId == 0 || entry.processId == self)
      continue;
    Json process = Json::Object();
    process.Set("pid", static_cast<std::uint64_t>(entry.processId));
    process.Set("name", Json(std::u16string_view(entry.exeFile)));
    const std::vector<Window>& own = windows[entry.processId];
    if (!own.empty()) {
      Json& titles = process.Set("windows", Json::Array());
      for (const Window& w : own) {
        if (w.readable) {
          titles.Add(Json(w.title));
        } else {
          Json& unreadable = titles.Add(Json::Object());
          unreadable.Set("title", Json(w.title));
          unreadable.Set("title_readable", false);
        }
      }
    }
    const bool isFirmware = IsFirmwareName(entry.exeFile) || HasFirmwareTitle(own);
    if (isFirmware && reaction == FirmwareReaction::kHangs)
      process.Set("on_close", "ignore");
    // Opened with the rights the tool asks for, and closed at once; run with an administrator's
    // rights, the capture takes no more than the tool would.
    if (instrument::IsStopWorkerName(entry.exeFile) &&
        !platform::OpenProcessHandle(platform::kProcessAllAccess, 0, entry.processId))
      process.Set("can_open", false);
    if (isFirmware)
      firmware.push_back(Started(process));
    list.Add(std::move(process));
  }
  return list;
}

// ---- Registry

std::string Hex(const unsigned char* bytes, std::size_t size) {
  std::string out;
  for (std::size_t i = 0; i < size; ++i) {
    char two[4];
    std::snprintf(two, sizeof two, i == 0 ? "%02x" : " %02x", bytes[i]);
    out += two;
  }
  return out;
}

// The write-protection value with its real type and data, the key alone, or nothing.
Json ReadPolicy(Capture& capture) {
  Json list = Json::Array();
  platform::RegKey key;
  const std::int32_t opened = platform::OpenRegistryKey(
      platform::RegistryRoot::kLocalMachine, places::kPolicyKey, 0, platform::kKeyRead, key);
  if (opened == platform::kErrorFileNotFound)
    return list;
  if (opened != platform::kErrorSuccess) {
    capture.unknown.push_back("registry: the key " + Utf8(places::kPolicyKey) +
                              " could not be opened (status " + std::to_string(opened) + ")");
    return list;
  }
  Json& entry = list.Add(Json::Object());
  entry.Set("key", Json(places::kPolicyKey));
  std::uint32_t type = 0;
  std::uint32_t size = 0;
  std::int32_t status =
      platform::QueryRegistryValue(key, places::kPolicyValue, &type, nullptr, &size);
  std::vector<unsigned char> data(size + 2);  // room for a string's end
  if (status == platform::kErrorSuccess)
    status = platform::QueryRegistryValue(key, places::kPolicyValue, &type, data.data(), &size);
  if (status == platform::kErrorFileNotFound)
    return list;
  if (status != platform::kErrorSuccess) {
    capture.unknown.push_back("registry: " + Utf8(places::kPolicyValue) +
                              " could not be read (status " + std::to_string(status) + ")");
    return list;
  }
  entry.Set("name", Json(places::kPolicyValue));
  std::uint64_t number = 0;
  for (std::uint32_t i = size; i-- > 0;)
    number = number << 8 | data[i];
  if ((type == platform::kRegDword && size == 4) || (type == platform::kRegQword && size == 8)) {
    entry.Set("type", type == platform::kRegDword ? "REG_DWORD" : "REG_QWORD");
    entry.Set("data", number);
  } else if (type == platform::kRegSz && size % 2 == 0) {
    std::u16string text;
    for (std::uint32_t i = 0; i + 1 < size; i += 2)
      text += static_cast<char16_t>(data[i] | data[i + 1] << 8);
    entry.Set("type", "REG_SZ");
    entry.Set("data", Json(std::u16string_view(text.c_str())));
  } else {
    // The tool reads whatever bytes are there: the same bytes as binary data read the same.
    if (type != platform::kRegBinary)
      capture.assumptions.push_back("WriteProtect has type " + std::to_string(type) +
                                    ", written as REG_BINARY with the same bytes");
    entry.Set("type", "REG_BINARY");
    entry.Set("data", Json(Hex(data.data(), size).c_str()));
  }
  return list;
}

// ---- Products

Json ReadProducts(Capture& capture) {
  Json list = Json::Array();
  const platform::ProductStateQuery state = platform::ProductStateQuery::Bind();
  const platform::InstalledProducts catalog = platform::InstalledProducts::Bind();
  std::vector<std::u16string> listed;  // folded codes
  const auto known = [&listed](const WString& code) {
    for (const std::u16string& folded : listed) {
      if (folded == platform::text::AsciiUppered(std::u16string(code)))
        return true;
    }
    return false;
  };
  // Each code once, with its state and, when the installer lists it, its name.
  const auto add = [&](const WString& code, std::int32_t installed) {
    listed.push_back(platform::text::AsciiUppered(std::u16string(code)));
    if (installed == platform::kInstallStateUnknown)
      return;
    Json& product = list.Add(Json::Object());
    product.Set("code", Json(code));
    WString name;
    if (catalog.bound() && catalog.Name(code, name) == 0 && !name.empty())
      product.Set("name", Json(name));
    product.Set("state", installed);
  };
  if (state.bound()) {
    for (const auto& slot : ProductCodeTable) {
      const WString code = platform::WidenAnsi(slot);
      if (!code.empty() && !known(code))
        add(code, state(code));
    }
  } else {
    capture.unknown.push_back("products: the installer's state query could not be bound");
  }
  if (!catalog.bound()) {
    capture.unknown.push_back("products: the installer's list of products could not be bound");
    return list;
  }
  for (std::uint32_t index = 0;; ++index) {
    WString code;
    const std::uint32_t status = catalog.Code(index, code);
    if (status == platform::kErrorNoMoreItems)
      break;
    if (status != 0) {
      capture.unknown.push_back("products: the installer's list ended with status " +
                                std::to_string(status));
      break;
    }
    if (!known(code))
      add(code, state.bound() ? state(code) : platform::kInstallStateDefault);
  }
  return list;
}

// ---- System

Json ReadSystem(Capture& capture, std::optional<WString>& windowsFolder) {
  Json system = Json::Object();
  char16_t folder[platform::kMaxPath] = {};
  if (platform::GetFolderPath(platform::kCsidlWindows, 0, folder) >= 0) {
    windowsFolder = folder;
    system.Set("windows_folder", Json(std::u16string_view(folder)));
  } else {
    capture.unknown.push_back("system: the Windows folder could not be had");
  }
  // The tool runs from the same prompt, with the same token.
  platform::Bool member = 0;
  if (platform::CheckAdministratorsMembership(member))
    system.Set("administrator", member != 0);
  else
    capture.unknown.push_back("system: whether this account is an administrator could not be read");
  platform::KernelHandle token;
  platform::Luid shutdown;
  std::vector<platform::Luid> held;
  if (platform::OpenCurrentProcessToken(platform::kTokenQuery, token) &&
      platform::LookupPrivilege(nullptr, u"SeShutdownPrivilege", shutdown) &&
      platform::ReadTokenPrivileges(token, held)) {
    bool holds = false;
    for (const platform::Luid& luid : held)
      holds = holds || (luid.lowPart == shutdown.lowPart && luid.highPart == shutdown.highPart);
    system.Set("shutdown_privilege", holds);
  } else {
    capture.unknown.push_back("system: this account's privileges could not be read");
  }
  return system;
}

}  // namespace

Capture CaptureMachine(FirmwareReaction reaction) {
  Capture capture;
  Json& machine = capture.machine = Json::Object();
  const std::optional<WString> root = platform::ReadEnvironment(places::kRootVariable);
  Json& environment = machine.Set("environment", Json::Object());
  if (root)
    environment.Set(Utf8(places::kRootVariable), Json(*root));

  std::vector<Json> firmware;
  Json processes = ReadProcesses(capture, reaction, firmware);
  Json registry = ReadPolicy(capture);
  Json products = ReadProducts(capture);
  std::optional<WString> windowsFolder;
  Json system = ReadSystem(capture, windowsFolder);

  Files files(capture);
  files.Look(places::kInterpreter, false, true);
  bool scripts = false;
  for (const char16_t* script : places::kStartScripts) {
    if (!root)
      break;
    if (Json* entry = files.Look(*root + script, false, true); entry && !entry->Find("directory")) {
      Json& starts = entry->Set("starts", Json::Array());
      for (const Json& program : firmware)
        starts.Add(program);
      scripts = true;
    }
  }
  files.Look(places::kKillLogFolder, false);
  files.Look(places::kKillLogPath, true);
  files.Look(places::kSettingsFile, true);
  if (windowsFolder)
    files.Look(*windowsFolder + places::kEditorName, false);
  for (const char* msiexec : places::kMsiexecPaths)
    files.Look(platform::WidenAnsi(msiexec), false, true);

  machine.Set("files", files.Take());
  machine.Set("registry", std::move(registry));
  machine.Set("processes", std::move(processes));
  machine.Set("products", std::move(products));
  machine.Set("system", std::move(system));

  capture.assumptions.insert(
      capture.assumptions.begin(),
      {reaction == FirmwareReaction::kCloses
           ? "assumed: every firmware program ends 100 ms after a close request (--firmware hangs: "
             "none ever does)"
           : "assumed: no firmware program ever ends after a close request (--firmware closes: "
             "each ends 100 ms after one)",
       scripts ? "assumed: a start-up script starts the " + std::to_string(firmware.size()) +
                     " firmware programs running now, with the same windows"
               : "no start-up script under the root: nothing assumed of what one starts",
       "assumed: every process that can be opened can be terminated",
       "assumed: every uninstall works and takes 1.5 s; the command interpreter runs 50 ms, the "
       "registry editor 300 ms",
       "assumed: the system accepts a power-off and a reboot; a usage box is closed after 1 s"});
  return capture;
}

}  // namespace capture
