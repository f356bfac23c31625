#include "sim/timeline_svg.h"

#include "platform/sim/text.h"
#include "sim/timeline_layout.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace fenwrack_sim {
namespace timeline {
namespace {

using nlohmann::json;
using platform::sim::EndHow;
using platform::sim::Event;
using platform::sim::RunResult;
using platform::sim::detail::BaseName;

constexpr const char* kFont = "DejaVu Sans, Verdana, Arial, sans-serif";

const char* const kLanes[] = {"main", "worker", "status", "system"};

struct KindStyle {
  const char* colour;
  const char* legend;
};
const KindStyle kKinds[] = {
    {"#e07b00", "close request"},
    {"#5c6f99", "process snapshot"},
    {"#d32f2f", "termination"},
    {"#2e7d32", "program start"},
    {"#9e9e9e", "process ended"},
    {"#8e24aa", "kill log"},
    {"#111111", "shutdown request"},
    {"#00838f", "installer, registry import"},
    {"#6d4c41", "other"},
};

enum BarKind { kPause, kWait, kShown };
const KindStyle kBars[] = {
    {"#90caf9", "pause (Sleep)"},
    {"#ffcc80", "wait (for a program, for the system)"},
    {"#e0e0e0", "window on screen"},
};

struct Mark {
  std::string event;
  std::uint64_t t;
  int lane;
  Kind kind;
  std::vector<std::string> names;  // one per event merged into this mark
  std::size_t count = 1;           // events merged
  std::string label;
};

struct Bar {
  std::uint64_t from, to;
  int lane;
  BarKind kind;
  std::string label;  // shown inside the bar when it fits
};

int LaneOf(const std::string& thread) {
  for (int i = 0; i < kLaneCount; ++i) {
    if (thread == kLanes[i])
      return i;
  }
  return 0;
}

std::string Escape(const std::string& text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        // Control characters are not allowed in XML at all.
        out.push_back(static_cast<unsigned char>(c) < 0x20 ? '?' : c);
    }
  }
  return out;
}

std::string Num(double v) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.1f", v);
  return buffer;
}

std::string Seconds(std::uint64_t ms) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.3f", static_cast<double>(ms) / 1000.0);
  return buffer;
}

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
  if (m.event == "post_message")
    return m.names.size() == 1 ? "close \u201C" + m.names[0] + "\u201D"
                               : std::to_string(m.names.size()) + " close requests";
  if (m.event == "process_exit")
    return Names(m.names, "processes") + " ended";
  if (m.event == "process_start")
    return "started: " + Names(m.names, "processes");
  if (m.event == "msi_query")
    return m.count == 1 ? "installer query, " + m.names[0]
                        : std::to_string(m.count) + " installer queries";
  return m.names.front();
}

struct Picture {
  std::vector<Mark> marks;
  std::vector<Bar> bars;
  std::uint64_t laneFrom[kLaneCount] = {0, 0, 0, 0};
  std::uint64_t laneTo[kLaneCount] = {0, 0, 0, 0};
  bool laneUsed[kLaneCount] = {true, false, false, true};
};

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
    // What happens at one moment to several windows, processes or products (the close requests of
    // a pass, the programs a script starts, the installer's queries) is one mark.
    const bool merges = e.event == "post_message" || e.event == "process_exit" ||
                        e.event == "process_start" || e.event == "msi_query";
    const int lane = LaneOf(e.thread);
    if (merges && !p.marks.empty()) {
      Mark& last = p.marks.back();
      if (last.event == e.event && last.t == e.t && last.lane == lane) {
        ++last.count;
        // The installer's queries repeat a few answers many times: each answer once.
        if (e.event != "msi_query" ||
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
    return later.event == "process_exit" && later.fields.value("pid", std::uint64_t{0}) == pid;
  });
  return c.AddBar(e, to, kWait, "waits for " + c.programs[pid]);
}

bool OnMessageBox(Collector& c, const Event& e) {
  const std::uint64_t to = c.Until([&e](const Event& later) {
    return later.event == "message_box_closed" && later.thread == e.thread;
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
    {"sleep", OnSleep},
    {"wait_process", OnWaitProcess},
    {"wait_self",
     [](Collector& c, const Event& e) {
       return c.AddBar(e, c.end, kWait, "blocked until the system ends it");
     }},
    {"message_box", OnMessageBox},
    {"status_window",
     [](Collector& c, const Event& e) {
       return c.AddBar(e, c.end, kShown, "status window shown");
     }},
    {"thread_start", OnThreadStart},
    {"thread_end",
     [](Collector& c, const Event& e) {
       c.p.laneTo[LaneOf(e.thread)] = e.t;
       return true;
     }},
    {"post_message",
     [](Collector& c, const Event& e) {
       return c.AddMark(e, kClose, Str(e.fields, "title") + Failed(e.fields));
     }},
    {"snapshot",
     [](Collector& c, const Event& e) { return c.AddMark(e, kSnapshot, SnapshotLabel(e.fields)); }},
    {"open_process",
     [](Collector& c, const Event& e) {
       return !Ok(e.fields) &&
              c.AddMark(e, kTerminate,
                        "cannot open pid " + std::to_string(e.fields.value("pid", 0)));
     }},
    {"terminate_process",
     [](Collector& c, const Event& e) {
       return c.AddMark(e, kTerminate, "terminate " + Str(e.fields, "name") + Failed(e.fields));
     }},
    {"create_process", OnCreateProcess},
    {"process_start",
     [](Collector& c, const Event& e) { return c.AddMark(e, kStart, Str(e.fields, "name")); }},
    {"script",
     [](Collector& c, const Event& e) {
       const bool runs = e.fields.value("runs", false);
       return c.AddMark(e, kStart,
                        BaseName(Str(e.fields, "path")) + (runs ? " runs" : " not found"));
     }},
    {"process_exit",
     [](Collector& c, const Event& e) { return c.AddMark(e, kEnded, Str(e.fields, "name")); }},
    {"file_append",
     [](Collector& c, const Event& e) { return c.AddMark(e, kKillLog, "kill-log line written"); }},
    {"open_file",
     [](Collector& c, const Event& e) {
       return !Ok(e.fields) && Str(e.fields, "mode") == "a" &&
              c.AddMark(e, kKillLog, "kill log cannot be opened: no line");
     }},
    {"exit_windows",
     [](Collector& c, const Event& e) {
       const bool accepted = e.fields.value("accepted", false);
       return c.AddMark(e, kShutdown,
                        Str(e.fields, "kind") + " request " + (accepted ? "accepted" : "refused"));
     }},
    {"msi_query",
     [](Collector& c, const Event& e) {
       const std::string code = Str(e.fields, "code");
       return c.AddMark(
           e, kInstall,
           (code.empty() ? "empty slot" : code) + ": " + e.fields.value("state", json()).dump());
     }},
    {"msi_uninstall",
     [](Collector& c, const Event& e) {
       const bool removed = e.fields.value("removed", false);
       return c.AddMark(e, kInstall,
                        Str(e.fields, "code") + (removed ? " removed" : " not removed"));
     }},
    {"reg_import",
     [](Collector& c, const Event& e) {
       return c.AddMark(e, kInstall,
                        "registry: " + Str(e.fields, "name") + " = " +
                            e.fields.value("value", json()).dump() +
                            (e.fields.value("ok", true) ? "" : " (access denied)"));
     }},
    {"reg_import_failed",
     [](Collector& c, const Event& e) { return c.AddMark(e, kInstall, "registry import failed"); }},
    {"key_press",
     [](Collector& c, const Event& e) {
       return c.AddMark(e, kOther, Str(e.fields, "key") + " pressed");
     }},
    {"widen_failed",
     [](Collector& c, const Event& e) { return c.AddMark(e, kOther, "out of memory"); }},
};

// Finds what the picture shows of each event.
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

// Folds a mark into the lane's last group of its kind when it says the same again.
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

// Contiguous pauses of one length on one lane (the polls of a wait) get one label: the bars
// that carry the labels, spanning each run; the pauses themselves are drawn one by one.
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

class Svg {
 public:
  void Line(double x1, double y1, double x2, double y2, const std::string& style) {
    out_ += "<line x1=\"" + Num(x1) + "\" y1=\"" + Num(y1) + "\" x2=\"" + Num(x2) + "\" y2=\"" +
            Num(y2) + "\" " + style + "/>\n";
  }
  void Rect(double x, double y, double w, double h, const std::string& style) {
    out_ += "<rect x=\"" + Num(x) + "\" y=\"" + Num(y) + "\" width=\"" + Num(std::max(w, 1.0)) +
            "\" height=\"" + Num(h) + "\" " + style + "/>\n";
  }
  void Circle(double x, double y, double r, const std::string& style) {
    out_ += "<circle cx=\"" + Num(x) + "\" cy=\"" + Num(y) + "\" r=\"" + Num(r) + "\" " + style +
            "/>\n";
  }
  void Text(double x, double y, const std::string& text, const std::string& style) {
    out_ += "<text x=\"" + Num(x) + "\" y=\"" + Num(y) + "\" " + style + ">" + Escape(text) +
            "</text>\n";
  }
  void Raw(const std::string& text) { out_ += text; }
  const std::string& str() const { return out_; }

 private:
  std::string out_;
};

void DrawHeader(Svg& s, const RunResult& run, const std::string& title,
                const std::optional<Verdict>& verdict, double height) {
  s.Raw("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
  s.Raw("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + Num(kWidth) + "\" height=\"" +
        Num(height) + "\" viewBox=\"0 0 " + Num(kWidth) + " " + Num(height) + "\" font-family=\"" +
        kFont + "\" font-size=\"11\">\n");
  s.Raw("<title>" + Escape(title) + "</title>\n");
  s.Rect(0, 0, kWidth, height, "fill=\"#ffffff\"");
  s.Text(12, 24, title, "font-size=\"16\" font-weight=\"bold\"");
  if (verdict) {
    // What is left on the machine, in the tooltip: one line of the picture says what decides.
    std::string left;
    for (const std::string& line : verdict->details)
      left += (left.empty() ? "" : "; ") + line;
    s.Raw("<g class=\"verdict\"><title>" + Escape(left.empty() ? verdict->goal : left) +
          "</title>\n");
    s.Text(12, 44,
           verdict->operation + ": " + (verdict->achieved ? "achieved" : "NOT achieved") + "; " +
               verdict->deciding,
           std::string("font-size=\"13\" font-weight=\"bold\" fill=\"") +
               (verdict->achieved ? "#2e7d32" : "#c62828") + "\"");
    s.Raw("</g>\n");
  }
  s.Text(12, verdict ? 62 : 44,
         "ended: " + platform::sim::FormatEnd(run) + " after " + Seconds(run.virtualMs) +
             " virtual seconds. Folded marks: \u00D7n says how often the same thing happened "
             "(one dot each).",
         "font-size=\"12\" fill=\"#444444\"");
}

void DrawAxis(Svg& s, const Scale& scale, double axisY) {
  for (std::uint64_t t = 0; t <= scale.span; t += scale.step) {
    const double x = scale.X(t);
    s.Line(x, kTop, x, axisY, "stroke=\"#eeeeee\"");
    s.Line(x, axisY, x, axisY + 5, "stroke=\"#666666\"");
    const std::string label =
        scale.step < 1000 ? Seconds(t).substr(0, Seconds(t).size() - 2) : std::to_string(t / 1000);
    s.Text(x, axisY + 18, label, "text-anchor=\"middle\" fill=\"#444444\"");
  }
  s.Line(kLeft, axisY, kLeft + scale.plot, axisY, "stroke=\"#666666\"");
  s.Text(kLeft + scale.plot, axisY + 34, "virtual seconds", "text-anchor=\"end\" fill=\"#444444\"");
}

// A lane: its name, the separator above it, the thread's life.
void DrawLane(Svg& s, const Picture& p, const Layout& layout, const Scale& scale, int i) {
  const double line = layout.laneLine[i];
  if (i > 0)
    s.Line(8, layout.laneTop[i] - 2, kWidth - 8, layout.laneTop[i] - 2, "stroke=\"#dddddd\"");
  s.Text(10, line + 4, kLanes[i], "font-size=\"13\" font-weight=\"bold\"");
  if (p.laneUsed[i]) {
    s.Line(scale.X(p.laneFrom[i]), line, scale.X(p.laneTo[i]), line,
           "stroke=\"#9e9e9e\" stroke-width=\"1.5\"");
  } else {
    s.Text(kLeft + 4, line + 4, i == 1 ? "no stop worker in this run" : "not started",
           "fill=\"#9e9e9e\" font-style=\"italic\"");
  }
}

// Bars, then the labels of those wide enough to hold one.
void DrawBars(Svg& s, const Picture& p, const Layout& layout, const Scale& scale) {
  for (const Bar& b : p.bars) {
    const double x = scale.X(b.from);
    const double w = scale.X(b.to) - x;
    s.Rect(x + (b.kind == kPause ? 0.5 : 0), layout.laneLine[b.lane] - 7,
           w - (b.kind == kPause && w > 3 ? 1 : 0), 14,
           std::string("fill=\"") + kBars[b.kind].colour + "\"");
  }
  for (const Bar& b : Labels(p.bars)) {
    if (b.label.empty())
      continue;
    const double x = scale.X(b.from);
    const double w = scale.X(b.to) - x;
    if (TextWidth(b.label, 6.2) + 4 <= w)
      s.Text(x + w / 2, layout.laneLine[b.lane] + 19, b.label,
             "text-anchor=\"middle\" font-size=\"10\" fill=\"#37474f\"");
  }
}

// A mark: a dot per event, a leader up to the label.
void DrawMark(Svg& s, const Group& group, double line, int level, const Box& box,
              const Scale& scale) {
  const std::string colour = kKinds[group.kind].colour;
  const double labelY = line - 14 - level * kLevel;
  const double x0 = scale.X(group.times.front());
  // One group per mark; its tooltip gives every moment a folded mark stands for.
  std::string when;
  for (const std::uint64_t t : group.times)
    when += (when.empty() ? "" : ", ") + Seconds(t);
  s.Raw("<g class=\"mark\"><title>" + Escape(when + " s: " + group.label + group.names) +
        "</title>\n");
  s.Line(x0, line - 3, x0, labelY - 4, "stroke=\"" + colour + "\" stroke-opacity=\"0.6\"");
  if (group.times.size() > 1)
    s.Line(x0, line, scale.X(group.times.back()), line,
           "stroke=\"" + colour + "\" stroke-width=\"2\"");
  for (const std::uint64_t t : group.times)
    s.Circle(scale.X(t), line, 3, "fill=\"" + colour + "\" stroke=\"#ffffff\" stroke-width=\"1\"");
  // The head of the leader shows the colour even where dots of one moment cover each other.
  s.Circle(x0, labelY - 4, 3, "fill=\"" + colour + "\"");
  s.Text(box.from, labelY, FoldedLabel(group), "fill=\"" + colour + "\"");
  s.Raw("</g>\n");
}

// The end, across every lane.
void DrawEnd(Svg& s, const RunResult& run, const Scale& scale, double axisY) {
  const double xe = scale.X(run.virtualMs);
  s.Line(xe, kTop - 20, xe, axisY, "stroke=\"#111111\" stroke-dasharray=\"4 3\"");
  const std::string endLabel = "end: " + platform::sim::FormatEnd(run);
  const bool right = xe + 5 + TextWidth(endLabel) <= kWidth - 4;
  s.Text(right ? xe + 5 : xe - 5, kTop - 8, endLabel,
         std::string("font-weight=\"bold\"") + (right ? "" : " text-anchor=\"end\""));
}

void DrawLegend(Svg& s, double legendY) {
  double lx = 12;
  double ly = legendY;
  const auto item = [&](const std::string& colour, const std::string& text, bool bar) {
    const double w = 22 + TextWidth(text) + 18;
    if (lx + w > kWidth - 12) {
      lx = 12;
      ly += 22;
    }
    if (bar)
      s.Rect(lx, ly - 9, 16, 12, "fill=\"" + colour + "\"");
    else
      s.Circle(lx + 8, ly - 3, 4.5, "fill=\"" + colour + "\"");
    s.Text(lx + 22, ly + 1, text, "");
    lx += w;
  };
  for (const KindStyle& b : kBars)
    item(b.colour, b.legend, true);
  for (const KindStyle& k : kKinds)
    item(k.colour, k.legend, false);
}

std::string Draw(const RunResult& run, const std::string& title,
                 const std::optional<Verdict>& verdict) {
  const Picture p = Collect(run);
  const std::vector<Group> groups = Fold(p.marks);
  const Scale scale(run.virtualMs);
  const Layout layout = Arrange(groups, scale);

  Svg s;
  DrawHeader(s, run, title, verdict, layout.height);
  DrawAxis(s, scale, layout.axisY);
  for (int i = 0; i < kLaneCount; ++i)
    DrawLane(s, p, layout, scale, i);
  DrawBars(s, p, layout, scale);
  for (std::size_t g = 0; g < groups.size(); ++g)
    DrawMark(s, groups[g], layout.laneLine[groups[g].lane], layout.level[g], layout.box[g], scale);
  DrawEnd(s, run, scale, layout.axisY);
  DrawLegend(s, layout.legendY);
  s.Raw("</svg>\n");
  return s.str();
}

}  // namespace
}  // namespace timeline

std::string TimelineSvg(const platform::sim::RunResult& run, const std::string& title,
                        const std::optional<Verdict>& verdict) {
  return timeline::Draw(run, title, verdict);
}

}  // namespace fenwrack_sim
