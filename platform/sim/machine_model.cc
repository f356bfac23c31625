#include "platform/sim/machine_model.h"

#include <algorithm>
#include <cctype>
#include <initializer_list>
#include <limits>
#include <map>

#include "platform/sim/simulator.h"
#include "platform/sim/text.h"

namespace platform::sim::detail {

namespace {

using nlohmann::json;

std::string PointerToken(const std::string& key) {
  std::string out;
  for (const char c : key) {
    if (c == '~')
      out += "~0";
    else if (c == '/')
      out += "~1";
    else
      out.push_back(c);
  }
  return out;
}

// Walks the document; every read names its place, and the first misfit throws.
class Reader {
 public:
  explicit Reader(const std::string& source) : source_(source) {}

  [[noreturn]] void Fail(const std::string& where, const std::string& what) const {
    throw MachineError(source_ + ": " + (where.empty() ? "/" : where) + ": " + what);
  }

  static std::string At(const std::string& where, const std::string& key) {
    return where + "/" + PointerToken(key);
  }
  static std::string At(const std::string& where, std::size_t index) {
    return where + "/" + std::to_string(index);
  }

  void Object(const json& value, const std::string& where,
              std::initializer_list<const char*> keys) const {
    if (!value.is_object())
      Fail(where, "expected an object");
    for (const auto& [key, item] : value.items()) {
      bool known = false;
      for (const char* k : keys)
        known = known || key == k;
      if (!known) {
        std::string list;
        for (const char* k : keys)
          list += std::string(list.empty() ? "" : ", ") + k;
        Fail(At(where, key), "unknown key (expected one of: " + list + ")");
      }
    }
  }

  const json& Array(const json& value, const std::string& where) const {
    if (!value.is_array())
      Fail(where, "expected an array");
    return value;
  }

  std::string String(const json& value, const std::string& where, bool nonEmpty = false) const {
    if (!value.is_string())
      Fail(where, "expected a string");
    std::string text = value.get<std::string>();
    if (nonEmpty && text.empty())
      Fail(where, "expected a non-empty string");
    return text;
  }

  bool Bool(const json& value, const std::string& where) const {
    if (!value.is_boolean())
      Fail(where, "expected true or false");
    return value.get<bool>();
  }

  std::uint64_t Unsigned(const json& value, const std::string& where, std::uint64_t min,
                         std::uint64_t max) const {
    const std::string range =
        "expected a whole number from " + std::to_string(min) + " to " + std::to_string(max);
    if (value.is_number_unsigned()) {
      const auto n = value.get<std::uint64_t>();
      if (n >= min && n <= max)
        return n;
    } else if (value.is_number_integer() && value.get<std::int64_t>() >= 0) {
      const auto n = static_cast<std::uint64_t>(value.get<std::int64_t>());
      if (n >= min && n <= max)
        return n;
    }
    Fail(where, range);
  }

  std::int64_t Signed(const json& value, const std::string& where, std::int64_t min,
                      std::int64_t max) const {
    if ((value.is_number_integer() || value.is_number_unsigned()) &&
        !(value.is_number_unsigned() &&
          value.get<std::uint64_t>() > static_cast<std::uint64_t>(max))) {
      const auto n = value.get<std::int64_t>();
      if (n >= min && n <= max)
        return n;
    }
    Fail(where,
         "expected a whole number from " + std::to_string(min) + " to " + std::to_string(max));
  }

  // Calls `read` with the member's value when the member is there.
  template <class F>
  void Optional(const json& object, const std::string& where, const char* key, F&& read) const {
    const auto it = object.find(key);
    if (it != object.end())
      read(*it, At(where, key));
  }

  const json& Required(const json& object, const std::string& where, const char* key) const {
    const auto it = object.find(key);
    if (it == object.end())
      Fail(where, std::string("missing key \"") + key + "\"");
    return *it;
  }

 private:
  std::string source_;
};

constexpr std::uint64_t kMaxMs = 365ull * 24 * 3600 * 1000;

OnClose ReadOnClose(const Reader& r, const json& value, const std::string& where) {
  static const char* const kExpected = "expected \"ignore\" or {\"exit_after_ms\": N}";
  OnClose onClose;
  if (value.is_string()) {
    if (value.get<std::string>() != "ignore")
      r.Fail(where, kExpected);
    onClose.ignore = true;
    return onClose;
  }
  if (!value.is_object() || value.size() != 1 || !value.contains("exit_after_ms"))
    r.Fail(where, kExpected);
  onClose.exitAfterMs =
      r.Unsigned(value["exit_after_ms"], Reader::At(where, "exit_after_ms"), 0, kMaxMs);
  return onClose;
}

WindowDesc ReadWindow(const Reader& r, const json& value, const std::string& where) {
  WindowDesc window;
  if (value.is_string()) {
    window.title = value.get<std::string>();
    return window;
  }
  if (!value.is_object())
    r.Fail(where,
           "expected a title or {\"title\": ..., \"title_readable\": ..., "
           "\"accepts_posts\": ...}");
  r.Object(value, where, {"title", "title_readable", "accepts_posts"});
  window.title = r.String(r.Required(value, where, "title"), Reader::At(where, "title"));
  r.Optional(value, where, "title_readable",
             [&](const json& v, const std::string& w) { window.titleReadable = r.Bool(v, w); });
  r.Optional(value, where, "accepts_posts",
             [&](const json& v, const std::string& w) { window.acceptsPosts = r.Bool(v, w); });
  return window;
}

// An executable name as the system stores it; anything but empty is possible.
std::string ReadProgramName(const Reader& r, const json& value, const std::string& where) {
  return r.String(value, where, true);
}

// A running process (withPid) or what a program starts.
ProcessDesc ReadProcess(const Reader& r, const json& value, const std::string& where,
                        bool withPid) {
  ProcessDesc p;
  if (!withPid && value.is_string()) {
    p.name = ReadProgramName(r, value, where);
    return p;
  }
  if (!withPid && !value.is_object())
    r.Fail(where, "expected an executable name or a process object");
  r.Object(value, where,
           {"pid", "name", "windows", "on_close", "can_open", "can_terminate", "ends_with"});
  r.Optional(value, where, "pid", [&](const json& v, const std::string& w) {
    p.pid = static_cast<std::uint32_t>(r.Unsigned(v, w, 1, 0xFFFFFFFF));
  });
  p.name = ReadProgramName(r, r.Required(value, where, "name"), Reader::At(where, "name"));
  r.Optional(value, where, "windows", [&](const json& v, const std::string& w) {
    r.Array(v, w);
    for (std::size_t i = 0; i < v.size(); ++i)
      p.windows.push_back(ReadWindow(r, v[i], Reader::At(w, i)));
  });
  r.Optional(value, where, "on_close",
             [&](const json& v, const std::string& w) { p.onClose = ReadOnClose(r, v, w); });
  r.Optional(value, where, "can_open",
             [&](const json& v, const std::string& w) { p.canOpen = r.Bool(v, w); });
  r.Optional(value, where, "can_terminate",
             [&](const json& v, const std::string& w) { p.canTerminate = r.Bool(v, w); });
  r.Optional(value, where, "ends_with",
             [&](const json& v, const std::string& w) { p.endsWith = ReadProgramName(r, v, w); });
  return p;
}

RegType ReadRegType(const Reader& r, const json& value, const std::string& where) {
  const std::string name = value.is_string() ? value.get<std::string>() : std::string();
  for (RegType t : {RegType::kDword, RegType::kQword, RegType::kSz, RegType::kBinary}) {
    if (name == RegTypeName(t))
      return t;
  }
  r.Fail(where, "expected \"REG_DWORD\", \"REG_QWORD\", \"REG_SZ\" or \"REG_BINARY\"");
}

// Hex pairs, blanks or commas between them allowed ("01 00 ff"), or an array of byte values.
std::vector<std::uint8_t> ReadBytes(const Reader& r, const json& data, const std::string& at) {
  std::vector<std::uint8_t> bytes;
  if (data.is_array()) {
    for (std::size_t i = 0; i < data.size(); ++i)
      bytes.push_back(static_cast<std::uint8_t>(r.Unsigned(data[i], Reader::At(at, i), 0, 255)));
    return bytes;
  }
  static const char* const kExpected = "expected bytes in hex, such as \"01 00 ff\"";
  if (!data.is_string())
    r.Fail(at, kExpected);
  std::string digits;
  for (const char c : data.get<std::string>()) {
    if (c == ' ' || c == ',')
      continue;
    if (!std::isxdigit(static_cast<unsigned char>(c)))
      r.Fail(at, kExpected);
    digits.push_back(c);
  }
  if (digits.size() % 2 != 0)
    r.Fail(at, kExpected);
  for (std::size_t i = 0; i < digits.size(); i += 2)
    bytes.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  return bytes;
}

// The value part of a registry entry that has a name.
RegValueDesc ReadRegValue(const Reader& r, const json& value, const std::string& where) {
  RegValueDesc v;
  v.name = r.String(r.Required(value, where, "name"), Reader::At(where, "name"));
  v.type = ReadRegType(r, r.Required(value, where, "type"), Reader::At(where, "type"));
  const json& data = r.Required(value, where, "data");
  const std::string at = Reader::At(where, "data");
  switch (v.type) {
    case RegType::kDword:
      v.number = r.Unsigned(data, at, 0, 0xFFFFFFFF);
      break;
    case RegType::kQword:
      v.number = r.Unsigned(data, at, 0, std::numeric_limits<std::uint64_t>::max());
      break;
    case RegType::kSz:
      v.text = r.String(data, at);
      break;
    case RegType::kBinary:
      v.bytes = ReadBytes(r, data, at);
      break;
  }
  return v;
}

}  // namespace

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

MachineModel ParseMachine(const json& document, const std::string& source) {
  const Reader r(source);
  MachineModel m;
  r.Object(
      document, "",
      {"environment", "files", "registry", "processes", "products", "system", "user", "faults"});

  r.Optional(document, "", "environment", [&](const json& env, const std::string& where) {
    if (!env.is_object())
      r.Fail(where, "expected an object of names and values");
    std::map<std::string, std::string> seen;
    for (const auto& [name, value] : env.items()) {
      const std::string at = Reader::At(where, name);
      if (name.empty())
        r.Fail(at, "a variable needs a name");
      const auto [it, fresh] = seen.emplace(FoldUtf8(name), name);
      if (!fresh)
        r.Fail(at, "the same variable as \"" + it->second + "\" (names ignore case)");
      m.environment.emplace_back(name, r.String(value, at));
    }
  });

  r.Optional(document, "", "files", [&](const json& files, const std::string& where) {
    r.Array(files, where);
    std::map<std::string, std::size_t> seen;
    for (std::size_t i = 0; i < files.size(); ++i) {
      const std::string at = Reader::At(where, i);
      const json& f = files[i];
      r.Object(f, at, {"path", "directory", "content", "starts", "readable", "writable"});
      FileDesc file;
      file.path = r.String(r.Required(f, at, "path"), Reader::At(at, "path"), true);
      const auto [it, fresh] = seen.emplace(PathKey(file.path), i);
      if (!fresh)
        r.Fail(Reader::At(at, "path"),
               "the same path as " + Reader::At(where, it->second) + " (paths ignore case)");
      r.Optional(f, at, "directory",
                 [&](const json& v, const std::string& w) { file.directory = r.Bool(v, w); });
      r.Optional(f, at, "content", [&](const json& v, const std::string& w) {
        file.content = r.String(v, w);
        if (file.directory)
          r.Fail(w, "a directory has no content");
      });
      r.Optional(f, at, "starts", [&](const json& v, const std::string& w) {
        r.Array(v, w);
        if (file.directory)
          r.Fail(w, "a directory starts nothing");
        for (std::size_t k = 0; k < v.size(); ++k)
          file.starts.push_back(ReadProcess(r, v[k], Reader::At(w, k), false));
      });
      r.Optional(f, at, "readable",
                 [&](const json& v, const std::string& w) { file.readable = r.Bool(v, w); });
      r.Optional(f, at, "writable",
                 [&](const json& v, const std::string& w) { file.writable = r.Bool(v, w); });
      m.files.push_back(std::move(file));
    }
  });

  r.Optional(document, "", "registry", [&](const json& entries, const std::string& where) {
    r.Array(entries, where);
    std::map<std::string, std::size_t> keys;    // folded key -> index in m.registry
    std::map<std::string, std::size_t> values;  // folded key and name -> entry
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const std::string at = Reader::At(where, i);
      const json& entry = entries[i];
      r.Object(entry, at, {"key", "name", "type", "data"});
      const std::string key = r.String(r.Required(entry, at, "key"), Reader::At(at, "key"), true);
      if (key.front() == '\\' || key.back() == '\\')
        r.Fail(Reader::At(at, "key"),
               "expected a key path under HKEY_LOCAL_MACHINE, without a "
               "leading or trailing backslash");
      const auto [k, freshKey] = keys.emplace(FoldUtf8(key), m.registry.size());
      if (freshKey)
        m.registry.push_back({key, {}});
      if (!entry.contains("name")) {
        for (const char* part : {"type", "data"}) {
          if (entry.contains(part))
            r.Fail(Reader::At(at, part), "a value needs a name (\"\" for the default value)");
        }
        continue;
      }
      RegValueDesc value = ReadRegValue(r, entry, at);
      const auto [v, freshValue] = values.emplace(FoldUtf8(key) + "\n" + FoldUtf8(value.name), i);
      if (!freshValue)
        r.Fail(Reader::At(at, "name"),
               "the same value as " + Reader::At(where, v->second) + " (names ignore case)");
      m.registry[k->second].values.push_back(std::move(value));
    }
  });

  r.Optional(document, "", "processes", [&](const json& processes, const std::string& where) {
    r.Array(processes, where);
    std::map<std::uint32_t, std::size_t> seen;
    std::uint32_t highest = 0;
    for (std::size_t i = 0; i < processes.size(); ++i) {
      const std::string at = Reader::At(where, i);
      if (!processes[i].is_object())
        r.Fail(at, "expected a process object");
      m.processes.push_back(ReadProcess(r, processes[i], at, true));
      const std::uint32_t pid = m.processes.back().pid;
      if (pid == 0)
        continue;
      highest = std::max(highest, pid);
      const auto [it, fresh] = seen.emplace(pid, i);
      if (!fresh)
        r.Fail(Reader::At(at, "pid"), "the same pid as " + Reader::At(where, it->second));
    }
    // Processes without a pid get one above every pid given, in order, as the system counts.
    for (ProcessDesc& p : m.processes) {
      if (p.pid == 0) {
        if (highest > 0xFFFFFFFFu - 8)
          r.Fail(where, "no pid left for a process without one");
        highest = (highest / 4 + 1) * 4;
        p.pid = highest;
      }
    }
  });

  r.Optional(document, "", "products", [&](const json& products, const std::string& where) {
    r.Array(products, where);
    std::map<std::string, std::size_t> seen;
    for (std::size_t i = 0; i < products.size(); ++i) {
      const std::string at = Reader::At(where, i);
      r.Object(products[i], at, {"code", "state", "removal_works"});
      ProductDesc p;
      p.code = r.String(r.Required(products[i], at, "code"), Reader::At(at, "code"), true);
      const auto [it, fresh] = seen.emplace(FoldUtf8(p.code), i);
      if (!fresh)
        r.Fail(Reader::At(at, "code"), "the same product as " + Reader::At(where, it->second));
      r.Optional(products[i], at, "state", [&](const json& v, const std::string& w) {
        p.state = static_cast<std::int32_t>(r.Signed(v, w, std::numeric_limits<std::int32_t>::min(),
                                                     std::numeric_limits<std::int32_t>::max()));
      });
      r.Optional(products[i], at, "removal_works",
                 [&](const json& v, const std::string& w) { p.removalWorks = r.Bool(v, w); });
      m.products.push_back(std::move(p));
    }
  });

  r.Optional(document, "", "system", [&](const json& s, const std::string& where) {
    r.Object(s, where,
             {"windows_folder", "power_off", "reboot", "interpreter_ms", "installer_ms",
              "registry_editor_ms"});
    SystemDesc& sys = m.system;
    r.Optional(s, where, "windows_folder", [&](const json& v, const std::string& w) {
      sys.windowsFolder = r.String(v, w, true);
      if (Utf8ToUtf16(sys.windowsFolder).size() >= 260)
        r.Fail(w, "longer than a path can be (259 characters)");
    });
    const auto answer = [&](const json& v, const std::string& w) {
      const std::string text = v.is_string() ? v.get<std::string>() : std::string();
      if (text != "accept" && text != "refuse")
        r.Fail(w, "expected \"accept\" or \"refuse\"");
      return text == "accept";
    };
    r.Optional(s, where, "power_off",
               [&](const json& v, const std::string& w) { sys.acceptsPowerOff = answer(v, w); });
    r.Optional(s, where, "reboot",
               [&](const json& v, const std::string& w) { sys.acceptsReboot = answer(v, w); });
    r.Optional(s, where, "interpreter_ms", [&](const json& v, const std::string& w) {
      sys.interpreterMs = r.Unsigned(v, w, 0, kMaxMs);
    });
    r.Optional(s, where, "installer_ms", [&](const json& v, const std::string& w) {
      sys.installerMs = r.Unsigned(v, w, 0, kMaxMs);
    });
    r.Optional(s, where, "registry_editor_ms", [&](const json& v, const std::string& w) {
      sys.registryEditorMs = r.Unsigned(v, w, 0, kMaxMs);
    });
  });

  r.Optional(document, "", "user", [&](const json& u, const std::string& where) {
    r.Object(u, where, {"closes_usage_box_after_ms", "status_window_key"});
    r.Optional(u, where, "closes_usage_box_after_ms", [&](const json& v, const std::string& w) {
      if (v.is_null())
        m.user.closesUsageBoxAfterMs.reset();
      else if (!v.is_number())
        r.Fail(w, "expected a whole number of milliseconds, or null for never");
      else
        m.user.closesUsageBoxAfterMs = r.Unsigned(v, w, 0, kMaxMs);
    });
    r.Optional(u, where, "status_window_key", [&](const json& v, const std::string& w) {
      if (v.is_null())
        return;
      r.Object(v, w, {"key", "after_ms"});
      KeyPress press;
      press.key = r.String(r.Required(v, w, "key"), Reader::At(w, "key"));
      if (EqualNoCase(press.key, "Escape"))
        press.key = "Escape";
      else if (EqualNoCase(press.key, "Enter"))
        press.key = "Enter";
      else
        r.Fail(Reader::At(w, "key"), "expected \"Escape\" or \"Enter\"");
      press.afterMs =
          r.Unsigned(r.Required(v, w, "after_ms"), Reader::At(w, "after_ms"), 0, kMaxMs);
      m.user.statusWindowKey = press;
    });
  });

  r.Optional(document, "", "faults", [&](const json& f, const std::string& where) {
    r.Object(
        f, where,
        {"snapshot_fails_from", "snapshot_delay_ms", "first_entry_unreadable", "thread_start_fails",
         "widen_fails_from_call", "status_window_fails", "timer_fails", "status_control_missing",
         "windows_folder_unavailable", "msi_unavailable", "token_open_fails",
         "privilege_lookup_fails", "privilege_adjust_fails", "process_start_fails"});
    FaultDesc& faults = m.faults;
    r.Optional(f, where, "snapshot_fails_from", [&](const json& v, const std::string& w) {
      faults.snapshotFailsFrom = r.Unsigned(v, w, 1, 0xFFFFFFFF);
    });
    r.Optional(f, where, "snapshot_delay_ms", [&](const json& v, const std::string& w) {
      faults.snapshotDelayMs = r.Unsigned(v, w, 0, kMaxMs);
    });
    r.Optional(f, where, "widen_fails_from_call", [&](const json& v, const std::string& w) {
      faults.widenFailsFromCall = r.Unsigned(v, w, 1, 0xFFFFFFFF);
    });
    const std::pair<const char*, bool*> flags[] = {
        {"first_entry_unreadable", &faults.firstEntryUnreadable},
        {"status_window_fails", &faults.statusWindowFails},
        {"timer_fails", &faults.timerFails},
        {"status_control_missing", &faults.statusControlMissing},
        {"windows_folder_unavailable", &faults.windowsFolderUnavailable},
        {"msi_unavailable", &faults.msiUnavailable},
        {"token_open_fails", &faults.tokenOpenFails},
        {"privilege_lookup_fails", &faults.privilegeLookupFails},
        {"privilege_adjust_fails", &faults.privilegeAdjustFails},
    };
    for (const auto& [key, flag] : flags) {
      bool* target = flag;
      r.Optional(f, where, key,
                 [&](const json& v, const std::string& w) { *target = r.Bool(v, w); });
    }
    r.Optional(f, where, "thread_start_fails", [&](const json& v, const std::string& w) {
      r.Array(v, w);
      for (std::size_t i = 0; i < v.size(); ++i) {
        const std::string role = v[i].is_string() ? v[i].get<std::string>() : std::string();
        if (role != "status" && role != "worker")
          r.Fail(Reader::At(w, i), "expected \"status\" or \"worker\"");
        faults.threadStartFails.insert(role);
      }
    });
    r.Optional(f, where, "process_start_fails", [&](const json& v, const std::string& w) {
      r.Array(v, w);
      for (std::size_t i = 0; i < v.size(); ++i)
        faults.processStartFails.push_back(ReadProgramName(r, v[i], Reader::At(w, i)));
    });
  });
  return m;
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
  if (!p.endsWith.empty())
    out["ends_with"] = p.endsWith;
  if (!withPid && out.size() == 1 && out.contains("name"))
    return p.name;
  return out;
}

}  // namespace

json ToJson(const MachineModel& m) {
  json out = json::object();
  json env = json::object();
  for (const auto& [name, value] : m.environment)
    env[name] = value;
  out["environment"] = env;

  json files = json::array();
  for (const FileDesc& f : m.files) {
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
    files.push_back(file);
  }
  out["files"] = files;

  json registry = json::array();
  for (const RegKeyDesc& k : m.registry) {
    if (k.values.empty())
      registry.push_back({{"key", k.key}});
    for (const RegValueDesc& v : k.values) {
      registry.push_back({{"key", k.key},
                          {"name", v.name},
                          {"type", RegTypeName(v.type)},
                          {"data", RegDataJson(v)}});
    }
  }
  out["registry"] = registry;

  json processes = json::array();
  for (const ProcessDesc& p : m.processes)
    processes.push_back(ProcessJson(p, true));
  out["processes"] = processes;

  json products = json::array();
  for (const ProductDesc& p : m.products) {
    json product = {{"code", p.code}, {"state", p.state}};
    if (!p.removalWorks)
      product["removal_works"] = false;
    products.push_back(product);
  }
  out["products"] = products;

  const SystemDesc& s = m.system;
  out["system"] = {{"windows_folder", s.windowsFolder},
                   {"power_off", s.acceptsPowerOff ? "accept" : "refuse"},
                   {"reboot", s.acceptsReboot ? "accept" : "refuse"},
                   {"interpreter_ms", s.interpreterMs},
                   {"installer_ms", s.installerMs},
                   {"registry_editor_ms", s.registryEditorMs}};

  json user = json::object();
  if (m.user.closesUsageBoxAfterMs)
    user["closes_usage_box_after_ms"] = *m.user.closesUsageBoxAfterMs;
  else
    user["closes_usage_box_after_ms"] = nullptr;
  if (m.user.statusWindowKey)
    user["status_window_key"] = {{"key", m.user.statusWindowKey->key},
                                 {"after_ms", m.user.statusWindowKey->afterMs}};
  out["user"] = user;

  const FaultDesc& f = m.faults;
  json faults = json::object();
  if (f.snapshotFailsFrom)
    faults["snapshot_fails_from"] = *f.snapshotFailsFrom;
  if (f.snapshotDelayMs != 0)
    faults["snapshot_delay_ms"] = f.snapshotDelayMs;
  if (f.widenFailsFromCall)
    faults["widen_fails_from_call"] = *f.widenFailsFromCall;
  const std::pair<const char*, bool> flags[] = {
      {"first_entry_unreadable", f.firstEntryUnreadable},
      {"status_window_fails", f.statusWindowFails},
      {"timer_fails", f.timerFails},
      {"status_control_missing", f.statusControlMissing},
      {"windows_folder_unavailable", f.windowsFolderUnavailable},
      {"msi_unavailable", f.msiUnavailable},
      {"token_open_fails", f.tokenOpenFails},
      {"privilege_lookup_fails", f.privilegeLookupFails},
      {"privilege_adjust_fails", f.privilegeAdjustFails},
  };
  for (const auto& [key, on] : flags) {
    if (on)
      faults[key] = true;
  }
  if (!f.threadStartFails.empty())
    faults["thread_start_fails"] = f.threadStartFails;
  if (!f.processStartFails.empty())
    faults["process_start_fails"] = f.processStartFails;
  out["faults"] = faults;
  return out;
}

}  // namespace platform::sim::detail
