// Reading a machine file's document into the model: one reader per part; the first misfit throws,
// naming its place. A list is reserved at its array's size: grown, it would take three times that.
#include <algorithm>
#include <cctype>
#include <limits>
#include <map>

#include "machine_file/machine_model.h"
#include "machine_file/machine_reader.h"
#include "platform/text/text.h"

namespace machine_file {

using namespace platform::text;

namespace {

using nlohmann::json;

constexpr std::uint64_t kMaxMs = 365ull * 24 * 3600 * 1000;

OnClose ReadOnClose(const Reader& r, const json& value, const std::string& where) {
  static const char* const kExpected = "\"ignore\" or {\"exit_after_ms\": N}";
  OnClose onClose;
  if (value.is_string()) {
    if (value.get<std::string>() != "ignore")
      r.Expected(where, kExpected, value);
    onClose.ignore = true;
    return onClose;
  }
  if (!value.is_object() || value.size() != 1 || !value.contains("exit_after_ms"))
    r.Expected(where, kExpected, value);
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
    r.Expected(where,
               "a title or {\"title\": ..., \"title_readable\": ..., \"accepts_posts\": ...}",
               value);
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

// A running process (withPid) or what a program starts, which the system gives a pid.
ProcessDesc ReadProcess(const Reader& r, const json& value, const std::string& where,
                        bool withPid) {
  ProcessDesc p;
  if (!withPid && value.is_string()) {
    p.name = ReadProgramName(r, value, where);
    return p;
  }
  if (!value.is_object())
    r.Expected(where, withPid ? "a process object" : "an executable name or a process object",
               value);
  if (!withPid && value.contains("pid"))
    r.Fail(Reader::At(where, "pid"),
           "a started process gets its pid from the system: leave \"pid\" out");
  r.Object(
      value, where,
      {"pid", "name", "windows", "on_close", "can_open", "can_terminate", "elevated", "ends_with"});
  r.Optional(value, where, "pid", [&](const json& v, const std::string& w) {
    p.pid = static_cast<std::uint32_t>(r.Unsigned(v, w, 1, 0xFFFFFFFF));
  });
  p.name = ReadProgramName(r, r.Required(value, where, "name"), Reader::At(where, "name"));
  r.Optional(value, where, "windows", [&](const json& v, const std::string& w) {
    p.windows.reserve(v.is_array() ? v.size() : 0);
    r.Each(v, w, [&](const json& e, const std::string& at) {
      p.windows.push_back(ReadWindow(r, e, at));
    });
  });
  r.Optional(value, where, "on_close",
             [&](const json& v, const std::string& w) { p.onClose = ReadOnClose(r, v, w); });
  r.Optional(value, where, "can_open",
             [&](const json& v, const std::string& w) { p.canOpen = r.Bool(v, w); });
  r.Optional(value, where, "can_terminate",
             [&](const json& v, const std::string& w) { p.canTerminate = r.Bool(v, w); });
  r.Optional(value, where, "elevated",
             [&](const json& v, const std::string& w) { p.elevated = r.Bool(v, w); });
  r.Optional(value, where, "ends_with",
             [&](const json& v, const std::string& w) { p.endsWith = ReadProgramName(r, v, w); });
  return p;
}

void ReadEnvironment(const Reader& r, const json& env, const std::string& where, MachineModel& m) {
  if (!env.is_object())
    r.Expected(where, "an object of names and values", env);
  std::map<std::string, std::string> seen;
  m.environment.reserve(env.size());
  for (const auto& [name, value] : env.items()) {
    const std::string at = Reader::At(where, name);
    if (name.empty())
      r.Fail(at, "a variable needs a name");
    const auto [it, fresh] = seen.emplace(FoldUtf8(name), name);
    if (!fresh)
      r.Fail(at, "the same variable as ", it->second, " (names ignore case)");
    m.environment.emplace_back(name, r.String(value, at));
  }
}

FileDesc ReadFile(const Reader& r, const json& f, const std::string& at) {
  r.Object(f, at, {"path", "directory", "content", "starts", "readable", "writable", "protected"});
  FileDesc file;
  file.path = r.String(r.Required(f, at, "path"), Reader::At(at, "path"), true);
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
    file.starts.reserve(v.size());
    r.Each(v, w, [&](const json& e, const std::string& where) {
      file.starts.push_back(ReadProcess(r, e, where, false));
    });
  });
  r.Optional(f, at, "readable",
             [&](const json& v, const std::string& w) { file.readable = r.Bool(v, w); });
  r.Optional(f, at, "writable",
             [&](const json& v, const std::string& w) { file.writable = r.Bool(v, w); });
  r.Optional(f, at, "protected",
             [&](const json& v, const std::string& w) { file.isProtected = r.Bool(v, w); });
  return file;
}

void ReadFiles(const Reader& r, const json& files, const std::string& where, MachineModel& m) {
  std::map<std::string, std::string> seen;  // path key -> place
  m.files.reserve(files.is_array() ? files.size() : 0);
  r.Each(files, where, [&](const json& f, const std::string& at) {
    FileDesc file = ReadFile(r, f, at);
    const auto [it, fresh] = seen.emplace(PathKey(file.path), at);
    if (!fresh)
      r.Fail(Reader::At(at, "path"), "the same path as " + it->second + " (paths ignore case)");
    m.files.push_back(std::move(file));
  });
}

void ReadProcesses(const Reader& r, const json& processes, const std::string& where,
                   MachineModel& m) {
  std::map<std::uint32_t, std::string> seen;  // pid -> place
  std::uint32_t highest = 0;
  m.processes.reserve(processes.is_array() ? processes.size() : 0);
  r.Each(processes, where, [&](const json& p, const std::string& at) {
    m.processes.push_back(ReadProcess(r, p, at, true));
    const std::uint32_t pid = m.processes.back().pid;
    if (pid == 0)
      return;
    highest = std::max(highest, pid);
    const auto [it, fresh] = seen.emplace(pid, at);
    if (!fresh)
      r.Fail(Reader::At(at, "pid"), "the same pid as " + it->second);
  });
  // Processes without a pid get one above every pid given, in order, as the system counts.
  for (ProcessDesc& p : m.processes) {
    if (p.pid == 0) {
      if (highest > 0xFFFFFFFFu - 8)
        r.Fail(where, "no pid left for a process without one");
      highest = (highest / 4 + 1) * 4;
      p.pid = highest;
    }
  }
}

void ReadProducts(const Reader& r, const json& products, const std::string& where,
                  MachineModel& m) {
  std::map<std::string, std::string> seen;  // folded code -> place
  m.products.reserve(products.is_array() ? products.size() : 0);
  r.Each(products, where, [&](const json& product, const std::string& at) {
    r.Object(product, at, {"code", "name", "state", "removal_works"});
    ProductDesc p;
    p.code = r.String(r.Required(product, at, "code"), Reader::At(at, "code"), true);
    const auto [it, fresh] = seen.emplace(FoldUtf8(p.code), at);
    if (!fresh)
      r.Fail(Reader::At(at, "code"), "the same product as " + it->second);
    r.Optional(product, at, "name",
               [&](const json& v, const std::string& w) { p.name = r.String(v, w); });
    r.Optional(product, at, "state",
               [&](const json& v, const std::string& w) { p.state = r.Int32(v, w); });
    r.Optional(product, at, "removal_works",
               [&](const json& v, const std::string& w) { p.removalWorks = r.Bool(v, w); });
    m.products.push_back(std::move(p));
  });
}

void ReadSystem(const Reader& r, const json& s, const std::string& where, MachineModel& m) {
  r.Object(s, where,
           {"windows_folder", "power_off", "reboot", "administrator", "shutdown_privilege",
            "interpreter_ms", "installer_ms", "registry_editor_ms"});
  SystemDesc& sys = m.system;
  r.Optional(s, where, "windows_folder", [&](const json& v, const std::string& w) {
    sys.windowsFolder = r.String(v, w, true);
    if (Utf8ToUtf16(sys.windowsFolder).size() >= 260)
      r.Fail(w, "longer than a path can be (259 characters)");
  });
  const auto accepts = [&](const json& v, const std::string& w) {
    return r.Word(v, w, {"accept", "refuse"}) == 0;
  };
  r.Optional(s, where, "power_off",
             [&](const json& v, const std::string& w) { sys.acceptsPowerOff = accepts(v, w); });
  r.Optional(s, where, "reboot",
             [&](const json& v, const std::string& w) { sys.acceptsReboot = accepts(v, w); });
  r.Optional(s, where, "administrator",
             [&](const json& v, const std::string& w) { sys.administrator = r.Bool(v, w); });
  // A standard account does not hold the privilege; a captured token says what it really holds.
  sys.shutdownPrivilege = sys.administrator;
  r.Optional(s, where, "shutdown_privilege",
             [&](const json& v, const std::string& w) { sys.shutdownPrivilege = r.Bool(v, w); });
  const std::pair<const char*, std::uint64_t*> times[] = {
      {"interpreter_ms", &sys.interpreterMs},
      {"installer_ms", &sys.installerMs},
      {"registry_editor_ms", &sys.registryEditorMs}};
  for (const auto& time : times) {
    r.Optional(s, where, time.first, [&](const json& v, const std::string& w) {
      *time.second = r.Unsigned(v, w, 0, kMaxMs);
    });
  }
}

void ReadUser(const Reader& r, const json& u, const std::string& where, MachineModel& m) {
  r.Object(u, where, {"closes_usage_box_after_ms", "status_window_key"});
  r.Optional(u, where, "closes_usage_box_after_ms", [&](const json& v, const std::string& w) {
    if (v.is_null())
      m.user.closesUsageBoxAfterMs.reset();
    else if (!v.is_number())
      r.Expected(w, "a whole number of milliseconds, or null for never", v);
    else
      m.user.closesUsageBoxAfterMs = r.Unsigned(v, w, 0, kMaxMs);
  });
  r.Optional(u, where, "status_window_key", [&](const json& v, const std::string& w) {
    if (v.is_null())
      return;
    r.Object(v, w, {"key", "after_ms"});
    KeyPress press;
    const std::size_t key =
        r.Word(r.Required(v, w, "key"), Reader::At(w, "key"), {"Escape", "Enter"});
    press.key = key == 0 ? "Escape" : "Enter";
    press.afterMs = r.Unsigned(r.Required(v, w, "after_ms"), Reader::At(w, "after_ms"), 0, kMaxMs);
    m.user.statusWindowKey = press;
  });
}

// One fault, by the kind of its member.
struct FaultReader {
  const Reader& r;
  const json& v;
  const std::string& w;
  const FaultField& field;
  FaultDesc& faults;

  void operator()(bool FaultDesc::*member) const { faults.*member = r.Bool(v, w); }
  void operator()(std::uint64_t FaultDesc::*member) const {
    faults.*member = r.Unsigned(v, w, field.min, field.max);
  }
  void operator()(std::optional<std::uint64_t> FaultDesc::*member) const {
    faults.*member = r.Unsigned(v, w, field.min, field.max);
  }
  void operator()(std::set<std::string> FaultDesc::*member) const {
    r.Each(v, w, [&](const json& e, const std::string& at) {
      (faults.*member).insert(kThreadRoles[r.Word(e, at, {kThreadRoles[0], kThreadRoles[1]})]);
    });
  }
  void operator()(std::vector<std::string> FaultDesc::*member) const {
    (faults.*member).reserve(v.is_array() ? v.size() : 0);
    r.Each(v, w, [&](const json& e, const std::string& at) {
      (faults.*member).push_back(ReadProgramName(r, e, at));
    });
  }
};

void ReadFaults(const Reader& r, const json& f, const std::string& where, MachineModel& m) {
  if (!f.is_object())
    r.Expected(where, "an object", f);
  for (const auto& item : f.items()) {
    const std::string& key = item.key();
    const json& value = item.value();
    const auto fields = FaultFields();
    const auto field = std::find_if(fields.begin(), fields.end(),
                                    [&](const FaultField& ff) { return key == ff.name; });
    if (field == fields.end()) {
      r.Fail(Reader::At(where, key), "unknown fault (machine_file/MACHINE-FILE.md lists them)");
    }
    const std::string at = Reader::At(where, key);
    std::visit(FaultReader{r, value, at, *field, m.faults}, field->member);
  }
}

}  // namespace

MachineModel ParseMachine(const json& document, const std::string& source,
                          const MachineText* text) {
  const Reader r(source, text);
  MachineModel m;
  r.Object(
      document, "",
      {"environment", "files", "registry", "processes", "products", "system", "user", "faults"});
  using Part = void (*)(const Reader&, const json&, const std::string&, MachineModel&);
  const std::pair<const char*, Part> parts[] = {{"environment", ReadEnvironment},
                                                {"files", ReadFiles},
                                                {"registry", ReadRegistry},
                                                {"processes", ReadProcesses},
                                                {"products", ReadProducts},
                                                {"system", ReadSystem},
                                                {"user", ReadUser},
                                                {"faults", ReadFaults}};
  for (const auto& [key, read] : parts) {
    r.Optional(document, "", key,
               [&, read = read](const json& v, const std::string& w) { read(r, v, w, m); });
  }
  return m;
}

}  // namespace machine_file
