#include "fenwrack-sim/timeline_marks.h"

#include "platform/text/text.h"
#include "sim/events.h"

#include <algorithm>
#include <cstdio>
#include <map>

namespace fenwrack_sim::timeline {

namespace events = sim::events;
using nlohmann::json;
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

std::string Seconds(std::uint64_t ms) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.3f", static_cast<double>(ms) / 1000.0);
  return buffer;
}

namespace {

std::string Str(const json& fields, const char* key) {
  const auto it = fields.find(key);
  return it != fields.end() && it->is_string() ? it->get<std::string>() : std::string();
}

bool Ok(const json& fields) {
  return fields.value("ok", true);
}

// The program a process start names: its application, or the command line's first word.
std::string ProgramOf(const json& fields) {
  std::string program = Str(fields, "application");
  if (program.empty()) {
    const std::string line = Str(fields, "command_line");
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
  if (m.event == events::kPostMessage)
    return m.names.size() == 1 ? "close \u201C" + m.names[0] + "\u201D"
                               : std::to_string(m.names.size()) + " close requests";
  if (m.event == events::kProcessExit)
    return Names(m.names, "processes") + " ended";
  if (m.event == events::kProcessStart)
    return "started: " + Names(m.names, "processes");
  if (m.event == events::kMsiQuery)
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
        if (e.event != events::kMsiQuery ||
            std::find(last.names.begin(), last.names.end(), name) == last.names.end())
          last.names.push_back(name);
        return true;
      }
    }
    p.marks.push_back({e.event, e.t, lane, kind, {name}, 1, ""});
    return true;
  }
};

// Each handler says whether its event shows on the event's lane.
using Handler = bool (*)(Collector& c, const Event& e);

bool OnSleep(Collector& c, const Event& e) {
  return c.AddBar(e, e.t + e.fields.value("ms", std::uint64_t{0}), kPause, "");
}

bool OnWaitProcess(Collector& c, const Event& e) {
  const std::uint64_t pid = e.fields.value("pid", std::uint64_t{0});
  const std::uint64_t to = c.Until([pid](const Event& later) {
    return later.event == events::kProcessExit &&
           later.fields.value("pid", std::uint64_t{0}) == pid;
  });
  return c.AddBar(e, to, kWait, "waits for " + c.programs[pid]);
}

bool OnMessageBox(Collector& c, const Event& e) {
  const std::uint64_t to = c.Until([&e](const Event& later) {
    return later.event == events::kMessageBoxClosed && later.thread == e.thread;
  });
  return c.AddBar(e, to, kShown, "usage box \u201C" + Str(e.fields, "caption") + "\u201D");
}

bool OnThreadStart(Collector& c, const Event& e) {
  const int started = LaneOf(Str(e.fields, "role"));
  c.p.laneUsed[started] = Ok(e.fields);
  c.p.laneFrom[started] = e.t;
  c.p.laneTo[started] = c.end;
  return true;
}

std::string SnapshotLabel(const json& f) {
  if (!Ok(f))
    return "snapshot failed";
  const json& list = f.value("processes", json::array());
  std::string names;
  for (const json& n : list)
    names += (names.empty() ? "" : ", ") + n.get<std::string>();
  return list.empty()      ? "snapshot: none left"
         : list.size() > 2 ? "snapshot: " + Plural(list.size(), "process", "processes")
                           : "snapshot: " + names;
}

std::string Failed(const json& f) {
  return Ok(f) ? "" : " (failed)";
}

bool OnCreateProcess(Collector& c, const Event& e) {
  const std::string program = ProgramOf(e.fields);
  if (Ok(e.fields))
    c.programs[e.fields.value("pid", std::uint64_t{0})] = program;
  return c.AddMark(e, kStart, "start " + program + Failed(e.fields));
}

const struct {
  const char* event;
  Handler handler;
} kHandlers[] = {
    {events::kSleep, OnSleep},
    {events::kWaitProcess, OnWaitProcess},
    {events::kWaitSelf,
     [](Collector& c, const Event& e) {
       return c.AddBar(e, c.end, kWait, "blocked until the system ends it");
     }},
    {events::kMessageBox, OnMessageBox},
    {events::kStatusWindow,
     [](Collector& c, const Event& e) {
       return c.AddBar(e, c.end, kShown, "status window shown");
     }},
    {events::kThreadStart, OnThreadStart},
    {events::kThreadEnd,
     [](Collector& c, const Event& e) {
       c.p.laneTo[LaneOf(e.thread)] = e.t;
       return true;
     }},
    {events::kPostMessage,
     [](Collector& c, const Event& e) {
       return c.AddMark(e, kClose, Str(e.fields, "title") + Failed(e.fields));
     }},
    {events::kSnapshot,
     [](Collector& c, const Event& e) { return c.AddMark(e, kSnapshot, SnapshotLabel(e.fields)); }},
    {events::kOpenProcess,
     [](Collector& c, const Event& e) {
       return !Ok(e.fields) &&
              c.AddMark(e, kTerminate,
                        "cannot open pid " + std::to_string(e.fields.value("pid", 0)));
     }},
    {events::kTerminateProcess,
     [](Collector& c, const Event& e) {
       return c.AddMark(e, kTerminate, "terminate " + Str(e.fields, "name") + Failed(e.fields));
     }},
    {events::kCreateProcess, OnCreateProcess},
    {events::kProcessStart,
     [](Collector& c, const Event& e) { return c.AddMark(e, kStart, Str(e.fields, "name")); }},
    {events::kScript,
     [](Collector& c, const Event& e) {
       const bool runs = e.fields.value("runs", false);
       return c.AddMark(e, kStart,
                        BaseName(Str(e.fields, "path")) + (runs ? " runs" : " not found"));
     }},
    {events::kProcessExit,
     [](Collector& c, const Event& e) { return c.AddMark(e, kEnded, Str(e.fields, "name")); }},
    {events::kFileAppend,
     [](Collector& c, const Event& e) { return c.AddMark(e, kKillLog, "kill-log line written"); }},
    {events::kProtection,
     [](Collector& c, const Event& e) {
       return !e.fields.value("protected", true) &&
              c.AddMark(e, kOther, BaseName(Str(e.fields, "path")) + " not protected");
     }},
    {events::kOpenFile,
     [](Collector& c, const Event& e) {
       return !Ok(e.fields) && Str(e.fields, "mode") == "a" &&
              c.AddMark(e, kKillLog, "kill log cannot be opened: no line");
     }},
    {events::kExitWindows,
     [](Collector& c, const Event& e) {
       const bool accepted = e.fields.value("accepted", false);
       return c.AddMark(e, kShutdown,
                        Str(e.fields, "kind") + " request " + (accepted ? "accepted" : "refused"));
     }},
    {events::kMsiQuery,
     [](Collector& c, const Event& e) {
       const std::string code = Str(e.fields, "code");
       return c.AddMark(
           e, kInstall,
           (code.empty() ? "empty slot" : code) + ": " + e.fields.value("state", json()).dump());
     }},
    {events::kMsiUninstall,
     [](Collector& c, const Event& e) {
       const bool removed = e.fields.value("removed", false);
       return c.AddMark(e, kInstall,
                        Str(e.fields, "code") + (removed ? " removed" : " not removed"));
     }},
    {events::kRegImport,
     [](Collector& c, const Event& e) {
       return c.AddMark(e, kInstall,
                        "registry: " + Str(e.fields, "name") + " = " +
                            e.fields.value("value", json()).dump() +
                            (e.fields.value("ok", true) ? "" : " (access denied)"));
     }},
    {events::kRegImportFailed,
     [](Collector& c, const Event& e) { return c.AddMark(e, kInstall, "registry import failed"); }},
    {events::kKeyPress,
     [](Collector& c, const Event& e) {
       return c.AddMark(e, kOther, Str(e.fields, "key") + " pressed");
     }},
    {events::kWidenFailed,
     [](Collector& c, const Event& e) { return c.AddMark(e, kOther, "out of memory"); }},
};

}  // namespace

Picture Collect(const RunResult& run) {
  Collector c{run.events, run.virtualMs, {}, {}};
  for (; c.at < run.events.size(); ++c.at) {
    const Event& e = run.events[c.at];
    for (const auto& [event, handler] : kHandlers) {
      if (e.event == event && handler(c, e)) {
        c.p.laneUsed[LaneOf(e.thread)] = true;
        break;
      }
    }
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
