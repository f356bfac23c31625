// The run's readable timeline and its JSON Lines trace.
#include <cstdio>
#include <optional>
#include <utility>
#include <vector>

#include "fenwrack-sim/timeline_text.h"
#include "platform/text/text.h"
#include "sim/events.h"

namespace fenwrack_sim {

namespace {

namespace events = sim::events;
using nlohmann::json;
using platform::text::Hex;
using platform::text::Quote;
using sim::EndHow;
using sim::Event;
using sim::RunResult;

std::string Dump(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string Text(const json& value) {
  if (value.is_string())
    return value.get<std::string>();
  if (value.is_null())
    return "(none)";
  return Dump(value);
}

std::string Seconds(std::uint64_t ms) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%llu.%03llu", static_cast<unsigned long long>(ms / 1000),
                static_cast<unsigned long long>(ms % 1000));
  return buffer;
}

std::string Window(const json& hwnd) {
  return hwnd.is_number() ? "window " + Hex(hwnd.get<std::uint64_t>()) : "no window";
}

std::string Failed(const json& fields) {
  return fields.value("ok", true) ? "" : ": failed";
}

// Threads, locks and the run itself.
std::optional<std::string> ThreadDetail(const std::string& name, const json& f) {
  auto get = [&](const char* key) { return f.contains(key) ? f[key] : json(nullptr); };
  if (name == events::kSleep)
    return Text(get("ms")) + " ms";
  if (name == events::kThreadStart)
    return Text(get("routine")) + " as " + Text(get("role")) + Failed(f);
  if (name == events::kThreadEnd)
    return Text(get("routine")) + " returned " + Text(get("code"));
  if (name == events::kLockInit || name == events::kLockDelete)
    return "lock " + Text(get("lock"));
  if (name == events::kWidenFailed)
    return Quote(Text(get("text"))) + ": out of memory";
  if (name == events::kLockWait)
    return "waits for the lock that " + Text(get("owner")) + " holds";
  if (name == events::kEnd) {
    const std::string how = Text(get("how"));
    if (how == "exit")
      return "exit code " + Text(get("code"));
    return f.contains("reason") ? how + ": " + Text(get("reason")) : how;
  }
  return std::nullopt;
}

// Message boxes, dialogs and windows.
std::optional<std::string> WindowDetail(const std::string& name, const json& f) {
  auto get = [&](const char* key) { return f.contains(key) ? f[key] : json(nullptr); };
  if (name == events::kMessageBox) {
    return Quote(Text(get("caption"))) + " " + Quote(Text(get("text"))) + ", style " +
           Hex(get("style").get<std::uint64_t>());
  }
  if (name == events::kMessageBoxClosed)
    return "closed, result " + Text(get("result"));
  if (name == events::kDialogCreate) {
    return "template " + Text(get("template")) +
           (f.value("ok", false) ? ": " + Window(get("hwnd")) : ": cannot be created");
  }
  if (name == events::kStatusWindow) {
    return Window(get("hwnd")) + " at (" + Text(get("x")) + ", " + Text(get("y")) + "), " +
           Text(get("width")) + " x " + Text(get("height")) +
           (f.value("topmost", false) ? ", top-most" : "") + ", shown";
  }
  if (name == events::kStatusText)
    return Window(get("hwnd")) + ": " + Quote(Text(get("text")));
  if (name == events::kDialogEnd)
    return Window(get("hwnd")) + " closed, result " + Text(get("result"));
  if (name == events::kKeyPress) {
    return Text(get("key")) +
           (get("hwnd").is_null() ? ", no status window" : " in " + Window(get("hwnd")));
  }
  if (name == events::kPostMessage) {
    return Quote(Text(get("title"))) + " (" + Window(get("hwnd")) + ") " + Text(get("message")) +
           Failed(f);
  }
  return std::nullopt;
}

// Processes: the list, opening, ending, starting.
std::optional<std::string> ProcessDetail(const std::string& name, const json& f) {
  auto get = [&](const char* key) { return f.contains(key) ? f[key] : json(nullptr); };
  if (name == events::kSnapshot) {
    if (!f.value("ok", false))
      return "failed";
    std::string list;
    for (const json& p : get("processes"))
      list += (list.empty() ? "" : ", ") + Text(p);
    const std::size_t n = get("processes").size();
    return (list.empty() ? "" : list + " ") + "(" + std::to_string(n) +
           (n == 1 ? " process)" : " processes)");
  }
  if (name == events::kOpenProcess || name == events::kWaitProcess ||
      name == events::kProcessExit || name == events::kProcessStart) {
    std::string out = "pid " + Text(get("pid"));
    if (f.contains("name"))
      out += " " + Text(get("name"));
    if (f.contains("ms"))
      out += ", at most " + Text(get("ms")) + " ms";
    return out + Failed(f);
  }
  if (name == events::kTerminateProcess) {
    return "pid " + Text(get("pid")) + " " + Text(get("name")) + ", exit code " +
           Text(get("exit_code")) + Failed(f);
  }
  if (name == events::kScript)
    return Text(get("path")) +
           (f.value("runs", false) ? " runs" : ": no such script, nothing runs");
  if (name == events::kCreateProcess) {
    std::string out =
        (get("application").is_null() ? "(no application)" : Text(get("application"))) + " " +
        Quote(Text(get("command_line"))) + ", flags " + Hex(get("flags").get<std::uint64_t>(), 8);
    return out + (f.value("ok", false) ? ": pid " + Text(get("pid")) : ": failed");
  }
  if (name == events::kWaitSelf)
    return "blocks until the system ends the process";
  return std::nullopt;
}

// Environment, files, installer, registry, folders, privilege and shutdown.
std::optional<std::string> MachineDetail(const std::string& name, const json& f) {
  auto get = [&](const char* key) { return f.contains(key) ? f[key] : json(nullptr); };
  if (name == events::kReadEnv) {
    return get("value").is_null() ? Text(get("name")) + " is not set"
                                  : Text(get("name")) + " = " + Quote(Text(get("value")));
  }
  if (name == events::kFindFile)
    return Text(get("path")) + (f.value("found", false) ? ": found" : ": not found");
  if (name == events::kOpenFile)
    return Text(get("path")) + " (" + Text(get("mode")) + ")" + Failed(f);
  if (name == events::kFileAppend)
    return Text(get("path")) + ": " + Quote(Text(get("data")));
  if (name == events::kProtection)
    return Text(get("path")) + (f.value("protected", false) ? ": protected" : ": not protected");
  if (name == events::kMsiBind)
    return f.value("ok", false) ? "installer query bound" : "installer query not available";
  if (name == events::kMsiQuery) {
    const std::string code = Text(get("code"));
    return (code.empty() ? "(empty code)" : code) + ": state " + Text(get("state"));
  }
  if (name == events::kMsiUninstall)
    return Text(get("code")) + (f.value("removed", false) ? " removed" : " not removed") +
           (f.contains("exit_code") ? ", exit code " + Text(get("exit_code")) : "");
  if (name == events::kRegOpen)
    return "HKLM\\" + Text(get("key")) + ": status " + Text(get("status"));
  if (name == events::kRegQuery) {
    return "HKLM\\" + Text(get("key")) + "\\" + Text(get("name")) + ": status " +
           Text(get("status")) + (get("value").is_null() ? "" : ", value " + Dump(get("value")));
  }
  if (name == events::kRegImport) {
    return "HKLM\\" + Text(get("key")) + "\\" + Text(get("name")) + " = " + Text(get("value")) +
           (f.value("ok", true) ? "" : ": access denied, not written");
  }
  if (name == events::kRegImportFailed)
    return Text(get("path")) + ": cannot be read, nothing imported";
  if (name == events::kGetFolder) {
    const auto hr = static_cast<std::uint32_t>(get("hresult").get<std::int64_t>());
    return "CSIDL " + Text(get("csidl")) +
           (hr == 0 ? ": " + Text(get("path")) : ": error " + Hex(hr, 8));
  }
  if (name == events::kPrivilege) {
    const std::string step = Text(get("step"));
    const bool ok = f.value("ok", false);
    if (step == "open_token")
      return ok ? "process token opened" : "process token cannot be opened";
    if (step == "lookup")
      return Text(get("name")) + (ok ? " looked up" : " cannot be looked up");
    if (step == "administrators")
      return !ok                        ? "membership of Administrators cannot be checked"
             : f.value("member", false) ? "a member of Administrators"
                                        : "not a member of Administrators";
    return Text(get("name")) + (f.value("enabled", false) ? " enabled" : " not enabled") +
           (ok ? "" : " (adjustment failed)");
  }
  if (name == events::kExitWindows) {
    return Text(get("kind")) + " (flags " + Hex(get("flags").get<std::uint64_t>()) + ", reason " +
           Text(get("reason")) + "): " + (f.value("accepted", false) ? "accepted" : "refused");
  }
  return std::nullopt;
}

std::string Detail(const Event& e) {
  for (const auto detail : {ThreadDetail, WindowDetail, ProcessDetail, MachineDetail}) {
    if (auto text = detail(e.event, e.fields))
      return *text;
  }
  return Dump(e.fields);
}

// A line's worth of the timeline: one event, or the events of one kind that one thread has at
// one moment (the close requests of a pass, the programs a script starts, the installer's
// queries), their details in order and a repeated detail counted.
struct Step {
  std::uint64_t t = 0;
  std::string thread, event, detail;
  std::vector<std::pair<std::string, std::size_t>> details;  // with repeats
};

std::vector<Step> Steps(const std::vector<Event>& events) {
  std::vector<Step> steps;
  for (const Event& e : events) {
    const bool merges = events::SharesLine(e.event);
    Step* last = steps.empty() ? nullptr : &steps.back();
    if (!merges || last == nullptr || last->t != e.t || last->thread != e.thread ||
        last->event != e.event)
      last = &steps.emplace_back(Step{e.t, e.thread, e.event, "", {}});
    const std::string detail = Detail(e);
    if (!last->details.empty() && last->details.back().first == detail)
      ++last->details.back().second;
    else
      last->details.emplace_back(detail, 1);
  }
  for (Step& step : steps) {
    for (const auto& [detail, times] : step.details) {
      step.detail += (step.detail.empty() ? "" : "; ") + detail;
      if (times > 1)
        step.detail += " \u00d7" + std::to_string(times);
    }
  }
  return steps;
}

// One step of the timeline: in columns, or (within a folded line) run together.
std::string Line(const Step& s, bool columns) {
  std::string line;
  if (columns) {
    char head[64];
    std::snprintf(head, sizeof head, "%9s  %-6s  %-18s", Seconds(s.t).c_str(), s.thread.c_str(),
                  s.event.c_str());
    line = std::string(head) + "  " + s.detail;
  } else {
    line = s.thread + " " + s.event + " " + s.detail;
  }
  while (!line.empty() && line.back() == ' ')
    line.pop_back();
  return line;
}

bool SameStep(const Step& a, const Step& b) {
  return a.thread == b.thread && a.event == b.event && a.detail == b.detail;
}

// Polling: the same sleeps, snapshots, close requests and queries again and again. The longest
// run of one pattern that starts at `at`, as (steps in the pattern, times); (1, 1) when there is
// none.
std::pair<std::size_t, std::size_t> Repeats(const std::vector<Step>& steps, std::size_t at) {
  constexpr std::size_t kLongestPattern = 6, kFewestTimes = 3;
  std::pair<std::size_t, std::size_t> best{1, 1};
  for (std::size_t period = 1; period <= kLongestPattern && at + period <= steps.size(); ++period) {
    bool polling = true;
    for (std::size_t k = 0; k < period; ++k) {
      const std::string& event = steps[at + k].event;
      polling = polling && (event == events::kSleep || event == events::kSnapshot ||
                            event == events::kPostMessage || event == events::kMsiQuery);
    }
    if (!polling)
      break;
    std::size_t times = 1;
    while (at + period * (times + 1) <= steps.size()) {
      bool same = true;
      for (std::size_t k = 0; k < period && same; ++k)
        same = SameStep(steps[at + k], steps[at + period * times + k]);
      if (!same)
        break;
      ++times;
    }
    if (times >= kFewestTimes && period * times > best.first * best.second)
      best = {period, times};
  }
  return best;
}

}  // namespace

std::string FormatJsonLines(const RunResult& result) {
  std::string out;
  for (const Event& e : result.events) {
    nlohmann::ordered_json line = {{"t", e.t}, {"thread", e.thread}, {"event", e.event}};
    for (const auto& item : e.fields.items())
      line[item.key()] = item.value();
    out += line.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
  }
  return out;
}

std::string FormatEnd(const RunResult& result) {
  switch (result.how) {
    case EndHow::kExit:
      return "exit code " + std::to_string(result.exitCode);
    case EndHow::kPowerOff:
      return "power-off";
    case EndHow::kReboot:
      return "reboot";
    case EndHow::kStuck:
      break;
  }
  const json& end = result.events.empty() ? json::object() : result.events.back().fields;
  return "stuck" + (end.contains("reason") ? " (" + Text(end["reason"]) + ")" : "");
}

std::string FormatTimeline(const RunResult& result) {
  std::string out;
  const std::vector<Step> steps = Steps(result.events);
  for (std::size_t i = 0; i < steps.size();) {
    const auto [period, times] = Repeats(steps, i);
    std::string line = Line(steps[i], true);
    for (std::size_t k = 1; k < period; ++k)
      line += ", " + Line(steps[i + k], false);
    if (times > 1)
      line += " [" + std::to_string(times) + " times, to " +
              Seconds(steps[i + period * (times - 1)].t) + "]";
    out += line + "\n";
    i += period * times;
  }
  out += "\nEnded: " + FormatEnd(result);
  out += "\nVirtual length: " + Seconds(result.virtualMs) + " s\nChanges:\n";
  if (result.changes.empty())
    out += "  (none)\n";
  for (const std::string& change : result.changes)
    out += "  " + change + "\n";
  return out;
}

}  // namespace fenwrack_sim
