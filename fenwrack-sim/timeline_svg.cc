#include "fenwrack-sim/timeline_svg.h"
#include "fenwrack-sim/timeline_text.h"

#include "fenwrack-sim/timeline_marks.h"
#include "platform/text/utf8.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace fenwrack_sim {
namespace timeline {
namespace {

using sim::EndHow;
using sim::Event;
using sim::RunResult;

constexpr const char* kFont = "DejaVu Sans, Verdana, Arial, sans-serif";

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

const KindStyle kBars[] = {
    {"#90caf9", "pause (Sleep)"},
    {"#ffcc80", "wait (for a program, for the system)"},
    {"#e0e0e0", "window on screen"},
};

// XML 1.0 has no way to write the characters outside its Char production (control characters
// but tab, line feed and carriage return; surrogates; U+FFFE, U+FFFF), nor bytes that are not
// UTF-8: each is shown as '?', and so are tab, line feed and carriage return, which break a label.
std::string Escape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    char32_t cp = 0;
    const std::size_t n = platform::text::Utf8SequenceAt(text, i, cp);
    const bool shown = n != 0 && cp >= 0x20 && cp != 0xFFFE && cp != 0xFFFF;
    switch (shown ? cp : U'?') {
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
        out.append(shown ? text.substr(i, n) : "?");
    }
    i += n == 0 ? 1 : n;
  }
  return out;
}

std::string Num(double v) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.1f", v);
  return buffer;
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
         "ended: " + fenwrack_sim::FormatEnd(run) + " after " + Seconds(run.virtualMs) +
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
  const std::string endLabel = "end: " + fenwrack_sim::FormatEnd(run);
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

std::string TimelineSvg(const sim::RunResult& run, const std::string& title,
                        const std::optional<Verdict>& verdict) {
  return timeline::Draw(run, title, verdict);
}

}  // namespace fenwrack_sim
