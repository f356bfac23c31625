#include "machine_file/machine_model.h"

#include <type_traits>

#include "platform/text/text.h"

namespace machine_file {

using namespace platform::text;

using nlohmann::json;

const char* RegTypeName(RegType type) {
  switch (type) {
    case RegType::kDword:
      return "REG_DWORD";
    case RegType::kQword:
      return "REG_QWORD";
    case RegType::kSz:
      return "REG_SZ";
    case RegType::kBinary:
      return "REG_BINARY";
  }
  return "REG_NONE";
}

json RegDataJson(const RegValueDesc& value) {
  switch (value.type) {
    case RegType::kDword:
    case RegType::kQword:
      return value.number;
    case RegType::kSz:
      return value.text;
    case RegType::kBinary: {
      std::string hex;
      for (const std::uint8_t b : value.bytes) {
        static const char kDigits[] = "0123456789abcdef";
        hex += (hex.empty() ? "" : " ") + std::string{kDigits[b >> 4], kDigits[b & 15]};
      }
      return hex;
    }
  }
  return nullptr;
}

std::vector<std::uint8_t> RegBytes(const RegValueDesc& value) {
  std::vector<std::uint8_t> bytes;
  switch (value.type) {
    case RegType::kDword:
    case RegType::kQword:
      for (int i = 0; i < (value.type == RegType::kDword ? 4 : 8); ++i)
        bytes.push_back(static_cast<std::uint8_t>(value.number >> (8 * i)));
      break;
    case RegType::kSz:
      for (const char16_t c : Utf8ToUtf16(value.text)) {
        bytes.push_back(static_cast<std::uint8_t>(c & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(c >> 8));
      }
      bytes.push_back(0);
      bytes.push_back(0);
      break;
    case RegType::kBinary:
      bytes = value.bytes;
      break;
  }
  return bytes;
}

std::span<const FaultField> FaultFields() {
  constexpr std::uint64_t kMaxMs = 365ull * 24 * 3600 * 1000;
  using F = FaultDesc;
  static const FaultField kFields[] = {
      {"snapshot_fails_from", &F::snapshotFailsFrom, 1, 0xFFFFFFFF},
      {"snapshot_delay_ms", &F::snapshotDelayMs, 0, kMaxMs},
      {"first_entry_unreadable", &F::firstEntryUnreadable},
      {"thread_start_fails", &F::threadStartFails},
      {"status_window_fails", &F::statusWindowFails},
      {"timer_fails", &F::timerFails},
      {"status_control_missing", &F::statusControlMissing},
      {"windows_folder_unavailable", &F::windowsFolderUnavailable},
      {"msi_unavailable", &F::msiUnavailable},
      {"token_open_fails", &F::tokenOpenFails},
      {"privilege_lookup_fails", &F::privilegeLookupFails},
      {"privilege_adjust_fails", &F::privilegeAdjustFails},
      {"process_start_fails", &F::processStartFails},
      {"widen_fails_from_call", &F::widenFailsFromCall, 1, 0xFFFFFFFF},
  };
  return kFields;
}

namespace {

json ProcessJson(const ProcessDesc& p, bool withPid) {
  json out = json::object();
  if (withPid || p.pid != 0)
    out["pid"] = p.pid;
  out["name"] = p.name;
  if (!p.windows.empty()) {
    json windows = json::array();
    for (const WindowDesc& w : p.windows) {
      if (w.titleReadable && w.acceptsPosts) {
        windows.push_back(w.title);
      } else {
        windows.push_back({{"title", w.title},
                           {"title_readable", w.titleReadable},
                           {"accepts_posts", w.acceptsPosts}});
      }
    }
    out["windows"] = windows;
  }
  if (p.onClose.ignore)
    out["on_close"] = "ignore";
  else if (p.onClose.exitAfterMs != OnClose{}.exitAfterMs)
    out["on_close"] = {{"exit_after_ms", p.onClose.exitAfterMs}};
  if (!p.canOpen)
    out["can_open"] = false;
  if (!p.canTerminate)
    out["can_terminate"] = false;
  if (p.elevated)
    out["elevated"] = true;
  if (!p.endsWith.empty())
    out["ends_with"] = p.endsWith.str();
  if (!withPid && out.size() == 1 && out.contains("name"))
    return p.name;
  return out;
}

json FileJson(const FileDesc& f) {
  json file = {{"path", f.path}};
  if (f.directory)
    file["directory"] = true;
  if (!f.content.empty())
    file["content"] = f.content;
  if (!f.starts.empty()) {
    json starts = json::array();
    for (const ProcessDesc& p : f.starts)
      starts.push_back(ProcessJson(p, false));
    file["starts"] = starts;
  }
  if (!f.readable)
    file["readable"] = false;
  if (!f.writable)
    file["writable"] = false;
  if (!f.isProtected)
    file["protected"] = false;
  return file;
}

json RegistryJson(const std::vector<RegKeyDesc>& keys) {
  json registry = json::array();
  for (const RegKeyDesc& k : keys) {
    if (k.values.empty())
      registry.push_back({{"key", k.key}});
    for (const RegValueDesc& v : k.values) {
      registry.push_back({{"key", k.key},
                          {"name", v.name},
                          {"type", RegTypeName(v.type)},
                          {"data", RegDataJson(v)}});
    }
  }
  return registry;
}

json UserJson(const UserDesc& u) {
  json user = json::object();
  if (u.closesUsageBoxAfterMs)
    user["closes_usage_box_after_ms"] = *u.closesUsageBoxAfterMs;
  else
    user["closes_usage_box_after_ms"] = nullptr;
  if (u.statusWindowKey)
    user["status_window_key"] = {{"key", u.statusWindowKey->key},
                                 {"after_ms", u.statusWindowKey->afterMs}};
  return user;
}

// The faults that are on; the others are left out.
json FaultsJson(const FaultDesc& f) {
  json faults = json::object();
  for (const FaultField& field : FaultFields()) {
    std::visit(
        [&](auto member) {
          const auto& value = f.*member;
          using T = std::decay_t<decltype(value)>;
          if constexpr (std::is_same_v<T, bool>) {
            if (value)
              faults[field.name] = true;
          } else if constexpr (std::is_same_v<T, std::uint64_t>) {
            if (value != 0)
              faults[field.name] = value;
          } else if constexpr (std::is_same_v<T, std::optional<std::uint64_t>>) {
            if (value)
              faults[field.name] = *value;
          } else if (!value.empty()) {
            faults[field.name] = value;
          }
        },
        field.member);
  }
  return faults;
}

}  // namespace

bool WrittenAsName(const ProcessDesc& process) {
  return ProcessJson(process, false).is_string();
}

json ToJson(const MachineModel& m) {
  json out = json::object();
  json env = json::object();
  for (const auto& [name, value] : m.environment)
    env[name] = value;
  out["environment"] = env;
  out["files"] = json::array();
  for (const FileDesc& f : m.files)
    out["files"].push_back(FileJson(f));
  out["registry"] = RegistryJson(m.registry);
  out["processes"] = json::array();
  for (const ProcessDesc& p : m.processes)
    out["processes"].push_back(ProcessJson(p, true));
  out["products"] = json::array();
  for (const ProductDesc& p : m.products) {
    json product = {{"code", p.code}, {"state", p.state}};
    if (!p.name.empty())
      product["name"] = p.name;
    if (!p.removalWorks)
      product["removal_works"] = false;
    out["products"].push_back(product);
  }
  const SystemDesc& s = m.system;
  out["system"] = {{"windows_folder", s.windowsFolder},
                   {"power_off", s.acceptsPowerOff ? "accept" : "refuse"},
                   {"reboot", s.acceptsReboot ? "accept" : "refuse"},
                   {"shutdown_privilege", s.shutdownPrivilege},
                   {"interpreter_ms", s.interpreterMs},
                   {"installer_ms", s.installerMs},
                   {"registry_editor_ms", s.registryEditorMs}};
  if (!s.administrator)
    out["system"]["administrator"] = false;
  out["user"] = UserJson(m.user);
  out["faults"] = FaultsJson(m.faults);
  return out;
}

}  // namespace machine_file
