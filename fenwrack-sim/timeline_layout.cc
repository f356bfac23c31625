#include "fenwrack-sim/timeline_layout.h"

#include <algorithm>

namespace fenwrack_sim::timeline {

namespace {

// The axis: a step of 1, 2 or 5 times a power of ten, at most 20 steps over the run.
std::uint64_t Step(std::uint64_t ms) {
  for (std::uint64_t power = 100;; power *= 10) {
    for (const std::uint64_t m : {1, 2, 5}) {
      if ((ms + m * power - 1) / (m * power) <= 20)
        return m * power;
    }
  }
}

// Labels go above their lane, each on the lowest row where it overlaps nothing.
void StackLabels(const std::vector<Group>& groups, const Scale& scale, Layout& layout) {
  layout.level.assign(groups.size(), 0);
  layout.box.resize(groups.size());
  std::vector<std::vector<std::vector<Box>>> taken(kLaneCount);
  for (std::size_t g = 0; g < groups.size(); ++g) {
    const double x = scale.X(groups[g].times.front());
    const double w = TextWidth(FoldedLabel(groups[g]));
    Box& box = layout.box[g];
    box = x + 5 + w <= kWidth - 4 ? Box{x + 5, x + 5 + w} : Box{x - 5 - w, x - 5};
    auto& rows = taken[groups[g].lane];
    int row = 0;
    for (;; ++row) {
      if (static_cast<std::size_t>(row) == rows.size())
        rows.emplace_back();
      bool free = true;
      for (const Box& b : rows[row])
        free = free && (box.to + 6 < b.from || box.from > b.to + 6);
      if (free)
        break;
    }
    rows[row].push_back(box);
    layout.level[g] = row;
    layout.levels[groups[g].lane] = std::max(layout.levels[groups[g].lane], row + 1);
  }
}

}  // namespace

double TextWidth(const std::string& text, double charWidth) {
  double n = 0;
  for (const char c : text)
    n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n * charWidth;
}

std::string FoldedLabel(const Group& group) {
  return group.label +
         (group.times.size() > 1 ? " \u00D7" + std::to_string(group.times.size()) : std::string());
}

Scale::Scale(std::uint64_t ms)
    : step(Step(std::max<std::uint64_t>(ms, 1))),
      span(std::max<std::uint64_t>((ms + step - 1) / step, 1) * step) {}

Layout Arrange(const std::vector<Group>& groups, const Scale& scale) {
  Layout layout;
  StackLabels(groups, scale, layout);
  double y = kTop;
  for (int i = 0; i < kLaneCount; ++i) {
    layout.laneTop[i] = y;
    layout.laneLine[i] = y + layout.levels[i] * kLevel + 14;
    y = layout.laneLine[i] + 28;
  }
  layout.axisY = y + 4;
  layout.legendY = layout.axisY + 46;
  layout.height = layout.legendY + 2 * 22 + 8;
  return layout;
}

}  // namespace fenwrack_sim::timeline
