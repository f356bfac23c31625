// The run's readable timeline and its JSON Lines trace.
#include <cstdio>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "fenwrack-sim/timeline_marks.h"
#include "fenwrack-sim/timeline_text.h"
#include "platform/text/text.h"
#include "sim/events.h"

namespace fenwrack_sim {

namespace {

namespace events = sim::events;
namespace ev = sim::events;
using nlohmann::json;
using platform::text::Hex;
using platform::text::Quote;
using sim::EndHow;
using sim::Event;
using sim::RunResult;

std::string Dump(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

// A field as the timeline shows it: a text as it is, a number in decimal, nothing as "(none)".
std::string Text(const std::string& value) {
  return value;
}
template <typename T>
requires std::is_integral_v<T> std::string Text(T value) {
  return std::to_string(value);
}
std::string Text(EndHow how) {
  return sim::EndHowName(how);
}
template <typename T>
std::string Text(const std::optional<T>& value) {
  return value ? Text(*value) : "(none)";
}

std::string Seconds(std::uint64_t ms) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%llu.%03llu", static_cast<unsigned long long>(ms / 1000),
                static_cast<unsigned long long>(ms % 1000));
  return buffer;
}

std::string Window(std::optional<std::uintptr_t> hwnd) {
  return hwnd ? "window " + Hex(*hwnd) : "no window";
}

std::string Failed(bool ok) {
  return ok ? "" : ": failed";
}

// ---- Threads, locks and the run itself.
std::string Detail(const ev::Sleep& f) {
  return Text(f.ms) + " ms";
}
std::string Detail(const ev::ThreadStart& f) {
  return f.routine + " as " + f.role + Failed(f.ok);
}
std::string Detail(const ev::ThreadEnd& f) {
  return f.routine + " returned " + Text(f.code);
}
std::string Detail(const ev::LockInit& f) {
  return "lock " + Text(f.lock);
}
std::string Detail(const ev::LockDelete& f) {
  return "lock " + Text(f.lock);
}
std::string Detail(const ev::WidenFailed& f) {
  return Quote(f.text) + ": out of memory";
}
std::string Detail(const ev::LockWait& f) {
  return "waits for the lock that " + f.owner + " holds";
}
std::string Detail(const ev::End& f) {
  if (f.how == EndHow::kExit)
    return "exit code " + Text(f.code);
  return f.reason ? Text(f.how) + ": " + *f.reason : Text(f.how);
}

// ---- Message boxes, dialogs and windows.
std::string Detail(const ev::MessageBoxShown& f) {
  return Quote(f.caption) + " " + Quote(f.text) + ", style " + Hex(f.style);
}
std::string Detail(const ev::MessageBoxClosed& f) {
  return "closed, result " + Text(f.result);
}
std::string Detail(const ev::DialogCreate& f) {
  return "template " + Text(f.templateId) + (f.ok ? ": " + Window(f.hwnd) : ": cannot be created");
}
std::string Detail(const ev::StatusWindow& f) {
  return Window(f.hwnd) + " at (" + Text(f.x) + ", " + Text(f.y) + "), " + Text(f.width) + " x " +
         Text(f.height) + (f.topmost ? ", top-most" : "") + ", shown";
}
std::string Detail(const ev::StatusText& f) {
  return Window(f.hwnd) + ": " + Quote(f.text);
}
std::string Detail(const ev::DialogEnd& f) {
  return Window(f.hwnd) + " closed, result " + Text(f.result);
}
std::string Detail(const ev::KeyPress& f) {
  return f.key + (f.hwnd ? " in " + Window(f.hwnd) : ", no status window");
}
std::string Detail(const ev::MessagePosted& f) {
  const char* name = ev::MessageName(f.message);
  return Quote(Text(f.title)) + " (" + Window(f.hwnd) + ") " +
         (name != nullptr ? name : Text(f.message.number)) + Failed(f.ok);
}

// ---- Processes: the list, opening, ending, starting.
std::string Detail(const ev::Snapshot& f) {
  if (!f.ok)
    return "failed";
  const std::string list = timeline::SnapshotNames(f);
  const std::size_t n = f.processes ? f.processes->size() : 0;
  return (list.empty() ? "" : list + " ") + "(" + std::to_string(n) +
         (n == 1 ? " process)" : " processes)");
}
std::string Detail(const ev::OpenProcess& f) {
  return "pid " + Text(f.pid) + Failed(f.ok);
}
std::string Detail(const ev::WaitProcess& f) {
  return "pid " + Text(f.pid) + (f.ms ? ", at most " + Text(*f.ms) + " ms" : "");
}
std::string Detail(const ev::ProcessExit& f) {
  return "pid " + Text(f.pid) + " " + f.name;
}
std::string Detail(const ev::ProcessStart& f) {
  return "pid " + Text(f.pid) + " " + f.name;
}
std::string Detail(const ev::TerminateProcess& f) {
  return "pid " + Text(f.pid) + " " + Text(f.name) + ", exit code " + Text(f.exitCode) +
         Failed(f.ok);
}
std::string Detail(const ev::Script& f) {
  return f.path + (f.runs ? " runs" : ": no such script, nothing runs");
}
std::string Detail(const ev::ProcessCreate& f) {
  const std::string out = (f.application ? *f.application : "(no application)") + " " +
                          Quote(f.commandLine) + ", flags " + Hex(f.flags, 8);
  return out + (f.ok ? ": pid " + Text(f.pid) : ": failed");
}
std::string Detail(const ev::WaitSelf&) {
  return "blocks until the system ends the process";
}

// ---- Environment, files, installer, registry, folders, privilege and shutdown.
std::string Detail(const ev::ReadEnv& f) {
  return f.value ? f.name + " = " + Quote(*f.value) : f.name + " is not set";
}
std::string Detail(const ev::FindFile& f) {
  return f.path + (f.found ? ": found" : ": not found");
}
std::string Detail(const ev::OpenFile& f) {
  return f.path + " (" + f.mode + ")" + Failed(f.ok);
}
std::string Detail(const ev::FileAppend& f) {
  return f.path + ": " + Quote(f.data);
}
std::string Detail(const ev::Protection& f) {
  return f.path + (f.isProtected ? ": protected" : ": not protected");
}
std::string Detail(const ev::MsiBind& f) {
  return f.ok ? "installer query bound" : "installer query not available";
}
std::string Detail(const ev::MsiQuery& f) {
  return (f.code.empty() ? "(empty code)" : f.code) + ": state " + Text(f.state);
}
std::string Detail(const ev::MsiUninstall& f) {
  return f.code + (f.removed ? " removed" : " not removed") +
         (f.exitCode ? ", exit code " + Text(*f.exitCode) : "");
}
std::string Detail(const ev::RegOpen& f) {
  return "HKLM\\" + f.key + ": status " + Text(f.status);
}
std::string Detail(const ev::RegQuery& f) {
  return "HKLM\\" + f.key + "\\" + f.name + ": status " + Text(f.status) +
         (f.value ? ", value " + Dump(machine_file::RegDataJson(*f.value)) : "");
}
std::string Detail(const ev::RegImport& f) {
  return "HKLM\\" + f.key + "\\" + f.name + " = " + Text(f.value) +
         (f.ok.value_or(true) ? "" : ": access denied, not written");
}
std::string Detail(const ev::RegImportFailed& f) {
  return f.path + ": cannot be read, nothing imported";
}
std::string Detail(const ev::GetFolder& f) {
  const auto hr = static_cast<std::uint32_t>(f.hresult);
  return "CSIDL " + Text(f.csidl) + (hr == 0 ? ": " + Text(f.path) : ": error " + Hex(hr, 8));
}
std::string Detail(const ev::Privilege& f) {
  const bool ok = f.ok.value_or(false);
  if (f.step == "open_token")
    return ok ? "process token opened" : "process token cannot be opened";
  if (f.step == "lookup")
    return Text(f.name) + (ok ? " looked up" : " cannot be looked up");
  if (f.step == "administrators")
    return !ok                        ? "membership of Administrators cannot be checked"
           : f.member.value_or(false) ? "a member of Administrators"
                                      : "not a member of Administrators";
  return Text(f.name) + (f.enabled.value_or(false) ? " enabled" : " not enabled") +
         (ok ? "" : " (adjustment failed)");
}
std::string Detail(const ev::ExitRequest& f) {
  return Text(f.kind) + " (flags " + Hex(f.flags) + ", reason " + Text(f.reason) +
         "): " + (f.accepted ? "accepted" : "refused");
}

std::string Detail(const Event& e) {
  return std::visit([](const auto& f) { return Detail(f); }, e.fields);
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
      polling =
          polling && (event == events::Sleep::kName || event == events::Snapshot::kName ||
                      event == events::MessagePosted::kName || event == events::MsiQuery::kName);
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
    const json fields = sim::FieldsJson(e);
    for (const auto& item : fields.items())
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
  const sim::events::End* end =
      result.events.empty() ? nullptr : result.events.back().As<ev::End>();
  return "stuck" + (end != nullptr && end->reason ? " (" + *end->reason + ")" : "");
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
