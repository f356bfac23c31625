#include "fenwrack-sim/timeline_marks.h"

#include "platform/text/text.h"
#include "sim/events.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <variant>

namespace fenwrack_sim::timeline {

namespace events = sim::events;
namespace ev = sim::events;
using platform::text::BaseName;
using sim::Event;
using sim::RunResult;

int LaneOf(const std::string& thread) {
  for (int i = 0; i < kLaneCount; ++i) {
    if (thread == kLanes[i])
      return i;
  }
  return 0;
}

std::string SnapshotNames(const sim::events::Snapshot& snapshot) {
  std::string names;
  for (const std::string& name : snapshot.processes.value_or(std::vector<std::string>()))
    names += (names.empty() ? "" : ", ") + name;
  return names;
}

std::string Seconds(std::uint64_t ms) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.3f", static_cast<double>(ms) / 1000.0);
  return buffer;
}

namespace {

// The program a process start names: its application, or the command line's first word.
std::string ProgramOf(const ev::ProcessCreate& f) {
  std::string program = f.application.value_or("");
  if (program.empty()) {
    const std::string& line = f.commandLine;
    const bool quoted = !line.empty() && line.front() == '"';
    const std::size_t end = line.find(quoted ? '"' : ' ', quoted ? 1 : 0);
    program = line.substr(quoted ? 1 : 0, end == std::string::npos ? end : end - quoted);
  }
  return BaseName(program);
}

std::string Plural(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// A few names are listed, more are counted.
std::string Names(const std::vector<std::string>& names, const char* many) {
  if (names.size() > 3)
    return std::to_string(names.size()) + " " + many;
  std::string list;
  for (const std::string& name : names)
    list += (list.empty() ? "" : ", ") + name;
  return list;
}

std::string MarkLabel(const Mark& m) {
  if (m.event == events::MessagePosted::kName)
    return m.names.size() == 1 ? "close \u201C" + m.names[0] + "\u201D"
                               : std::to_string(m.names.size()) + " close requests";
  if (m.event == events::ProcessExit::kName)
    return Names(m.names, "processes") + " ended";
  if (m.event == events::ProcessStart::kName)
    return "started: " + Names(m.names, "processes");
  if (m.event == events::MsiQuery::kName)
    return m.count == 1 ? "installer query, " + m.names[0]
                        : std::to_string(m.count) + " installer queries";
  return m.names.front();
}

struct Collector {
  const std::vector<Event>& events;
  std::uint64_t end;
  Picture p;
  std::map<std::uint64_t, std::string> programs;  // pid -> name, of what the tool started
  std::size_t at = 0;                             // the event being handled

  // When the first later event that `ends` matches happened, or the end of the run.
  template <typename Ends>
  std::uint64_t Until(Ends ends) const {
    for (std::size_t k = at + 1; k < events.size(); ++k) {
      if (ends(events[k]))
        return events[k].t;
    }
    return end;
  }
  bool AddBar(const Event& e, std::uint64_t to, BarKind kind, const std::string& label) {
    p.bars.push_back({e.t, to, LaneOf(e.thread), kind, label});
    return true;
  }
  bool AddMark(const Event& e, Kind kind, const std::string& name) {
    const bool merges = events::SharesLine(e.event);
    const int lane = LaneOf(e.thread);
    if (merges && !p.marks.empty()) {
      Mark& last = p.marks.back();
      if (last.event == e.event && last.t == e.t && last.lane == lane) {
        ++last.count;
        // The installer's queries repeat a few answers many times: each answer once.
        if (e.event != events::MsiQuery::kName ||
            std::find(last.names.begin(), last.names.end(), name) == last.names.end())
          last.names.push_back(name);
        return true;
      }
    }
    p.marks.push_back({e.event, e.t, lane, kind, {name}, 1, ""});
    return true;
  }
};

// Each handler says whether its event shows on the event's lane; kinds without one do not.
template <typename Fields>
bool On(Collector&, const Event&, const Fields&) {
  return false;
}

bool On(Collector& c, const Event& e, const ev::Sleep& f) {
  return c.AddBar(e, e.t + f.ms, kPause, "");
}

// The wait ends when the process waited for exits, not when another one does.
bool On(Collector& c, const Event& e, const ev::WaitProcess& f) {
  const std::uint32_t pid = f.pid;
  const std::uint64_t to = c.Until([pid](const Event& later) {
    const auto* exit = later.As<ev::ProcessExit>();
    return exit != nullptr && exit->pid == pid;
  });
  return c.AddBar(e, to, kWait, "waits for " + c.programs[pid]);
}

bool On(Collector& c, const Event& e, const ev::WaitSelf&) {
  return c.AddBar(e, c.end, kWait, "blocked until the system ends it");
}

bool On(Collector& c, const Event& e, const ev::MessageBoxShown& f) {
  const std::uint64_t to = c.Until([&e](const Event& later) {
    return later.As<ev::MessageBoxClosed>() != nullptr && later.thread == e.thread;
  });
  return c.AddBar(e, to, kShown, "usage box \u201C" + f.caption + "\u201D");
}

bool On(Collector& c, const Event& e, const ev::StatusWindow&) {
  return c.AddBar(e, c.end, kShown, "status window shown");
}

bool On(Collector& c, const Event& e, const ev::ThreadStart& f) {
  const int started = LaneOf(f.role);
  c.p.laneUsed[started] = f.ok;
  c.p.laneFrom[started] = e.t;
  c.p.laneTo[started] = c.end;
  return true;
}

bool On(Collector& c, const Event& e, const ev::ThreadEnd&) {
  c.p.laneTo[LaneOf(e.thread)] = e.t;
  return true;
}

std::string Failed(bool ok) {
  return ok ? "" : " (failed)";
}

std::string SnapshotLabel(const ev::Snapshot& f) {
  if (!f.ok)
    return "snapshot failed";
  const std::size_t n = f.processes ? f.processes->size() : 0;
  return n == 0  ? "snapshot: none left"
         : n > 2 ? "snapshot: " + Plural(n, "process", "processes")
                 : "snapshot: " + SnapshotNames(f);
}

bool On(Collector& c, const Event& e, const ev::Snapshot& f) {
  return c.AddMark(e, kSnapshot, SnapshotLabel(f));
}

bool On(Collector& c, const Event& e, const ev::MessagePosted& f) {
  return c.AddMark(e, kClose, f.title.value_or("") + Failed(f.ok));
}

bool On(Collector& c, const Event& e, const ev::OpenProcess& f) {
  return !f.ok && c.AddMark(e, kTerminate, "cannot open pid " + std::to_string(f.pid));
}

bool On(Collector& c, const Event& e, const ev::TerminateProcess& f) {
  return c.AddMark(e, kTerminate, "terminate " + f.name.value_or("") + Failed(f.ok));
}

bool On(Collector& c, const Event& e, const ev::ProcessCreate& f) {
  const std::string program = ProgramOf(f);
  if (f.ok)
    c.programs[f.pid.value_or(0)] = program;
  return c.AddMark(e, kStart, "start " + program + Failed(f.ok));
}

bool On(Collector& c, const Event& e, const ev::ProcessStart& f) {
  return c.AddMark(e, kStart, f.name);
}

bool On(Collector& c, const Event& e, const ev::Script& f) {
  return c.AddMark(e, kStart, BaseName(f.path) + (f.runs ? " runs" : " not found"));
}

bool On(Collector& c, const Event& e, const ev::ProcessExit& f) {
  return c.AddMark(e, kEnded, f.name);
}

bool On(Collector& c, const Event& e, const ev::FileAppend&) {
  return c.AddMark(e, kKillLog, "kill-log line written");
}

bool On(Collector& c, const Event& e, const ev::Protection& f) {
  return !f.isProtected && c.AddMark(e, kOther, BaseName(f.path) + " not protected");
}

bool On(Collector& c, const Event& e, const ev::OpenFile& f) {
  return !f.ok && f.mode == "a" && c.AddMark(e, kKillLog, "kill log cannot be opened: no line");
}

bool On(Collector& c, const Event& e, const ev::ExitRequest& f) {
  return c.AddMark(e, kShutdown,
                   std::string(f.kind ? sim::EndHowName(*f.kind) : "") + " request " +
                       (f.accepted ? "accepted" : "refused"));
}

bool On(Collector& c, const Event& e, const ev::MsiQuery& f) {
  return c.AddMark(e, kInstall,
                   (f.code.empty() ? "empty slot" : f.code) + ": " + std::to_string(f.state));
}

bool On(Collector& c, const Event& e, const ev::MsiUninstall& f) {
  return c.AddMark(e, kInstall, f.code + (f.removed ? " removed" : " not removed"));
}

bool On(Collector& c, const Event& e, const ev::RegImport& f) {
  return c.AddMark(e, kInstall,
                   "registry: " + f.name + " = " + std::to_string(f.value) +
                       (f.ok.value_or(true) ? "" : " (access denied)"));
}

bool On(Collector& c, const Event& e, const ev::RegImportFailed&) {
  return c.AddMark(e, kInstall, "registry import failed");
}

bool On(Collector& c, const Event& e, const ev::KeyPress& f) {
  return c.AddMark(e, kOther, f.key + " pressed");
}

bool On(Collector& c, const Event& e, const ev::WidenFailed&) {
  return c.AddMark(e, kOther, "out of memory");
}

}  // namespace

Picture Collect(const RunResult& run) {
  Collector c{run.events, run.virtualMs, {}, {}};
  for (; c.at < run.events.size(); ++c.at) {
    const Event& e = run.events[c.at];
    if (std::visit([&c, &e](const auto& f) { return On(c, e, f); }, e.fields))
      c.p.laneUsed[LaneOf(e.thread)] = true;
  }
  c.p.laneTo[0] = c.end;
  c.p.laneTo[3] = c.end;
  for (Mark& m : c.p.marks)
    m.label = MarkLabel(m);
  return c.p;
}

std::vector<Group> Fold(const std::vector<Mark>& marks) {
  std::vector<Group> groups;
  std::map<std::pair<int, int>, std::size_t> last;
  for (const Mark& m : marks) {
    const auto key = std::make_pair(m.lane, static_cast<int>(m.kind));
    const auto it = last.find(key);
    if (it != last.end() && groups[it->second].label == m.label) {
      groups[it->second].times.push_back(m.t);
      continue;
    }
    last[key] = groups.size();
    std::string names;
    for (const std::string& name : m.names)
      names += (names.empty() ? " (" : ", ") + name;
    groups.push_back({{m.t},
                      m.lane,
                      m.kind,
                      m.label,
                      m.label.find(m.names.front()) == std::string::npos ? names + ")" : ""});
  }
  return groups;
}

std::vector<Bar> Labels(const std::vector<Bar>& bars) {
  std::vector<Bar> labels;
  std::vector<bool> inRun(bars.size(), false);
  for (std::size_t i = 0; i < bars.size(); ++i) {
    if (bars[i].kind != kPause) {
      labels.push_back(bars[i]);
      continue;
    }
    if (inRun[i])
      continue;
    const std::uint64_t length = bars[i].to - bars[i].from;
    Bar run = bars[i];
    std::size_t n = 1;
    for (std::size_t k = i + 1; k < bars.size(); ++k) {
      if (bars[k].lane != run.lane)
        continue;
      if (bars[k].kind != kPause || bars[k].from != run.to || bars[k].to - bars[k].from != length)
        break;
      run.to = bars[k].to;
      inRun[k] = true;
      ++n;
    }
    std::string each = Seconds(length);
    each.erase(each.find_last_not_of('0') + 1);
    if (each.back() == '.')
      each.pop_back();
    run.label = n == 1 ? "pause " + each + " s" : std::to_string(n) + " \u00D7 " + each + " s";
    labels.push_back(run);
  }
  return labels;
}

}  // namespace fenwrack_sim::timeline
