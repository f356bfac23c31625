// Where the timeline picture puts things: the virtual-seconds scale, the rows of mark labels
// above each lane, the lanes, the axis and the legend below them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fenwrack_sim::timeline {

constexpr double kWidth = 1200;
constexpr double kLeft = 84;  // room for the lane names
constexpr double kRight = 24;
constexpr double kTop = 92;         // below the title, the verdict and how the run ended
constexpr double kCharWidth = 7.0;  // mean advance of an 11 px sans-serif, a little generous
constexpr double kLevel = 15;       // one row of labels
constexpr int kLaneCount = 4;

enum Kind { kClose, kSnapshot, kTerminate, kStart, kEnded, kKillLog, kShutdown, kInstall, kOther };

struct Group {  // marks of one lane and kind, in a row, with the same label
  std::vector<std::uint64_t> times;
  int lane;
  Kind kind;
  std::string label;
  std::string names;  // of the first mark, when its label only counts them
};

struct Box {
  double from, to;
};

double TextWidth(const std::string& text, double charWidth = kCharWidth);

// The label a group shows: with "×n" when it stands for several marks.
std::string FoldedLabel(const Group& group);

// The virtual-seconds axis: whole steps covering the run, mapped onto the plot's width.
struct Scale {
  std::uint64_t step;
  std::uint64_t span;
  double plot = kWidth - kLeft - kRight;

  explicit Scale(std::uint64_t ms);
  double X(std::uint64_t t) const {
    return kLeft + plot * static_cast<double>(t) / static_cast<double>(span);
  }
};

struct Layout {
  std::vector<int> level;  // the label row of each group
  std::vector<Box> box;    // where each group's label runs
  int levels[kLaneCount] = {1, 1, 1, 1};
  double laneTop[kLaneCount];
  double laneLine[kLaneCount];
  double axisY;
  double legendY;
  double height;
};

Layout Arrange(const std::vector<Group>& groups, const Scale& scale);

}  // namespace fenwrack_sim::timeline
