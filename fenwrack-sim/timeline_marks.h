// What the timeline picture shows of a run: its events turned into marks and bars, marks that
// say the same again folded into one, runs of equal pauses labelled once.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fenwrack-sim/timeline_layout.h"
#include "sim/events.h"
#include "sim/run_result.h"

namespace fenwrack_sim::timeline {

inline constexpr const char* kLanes[] = {"main", "worker", "status", "system"};

enum BarKind { kPause, kWait, kShown };

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

struct Picture {
  std::vector<Mark> marks;
  std::vector<Bar> bars;
  std::uint64_t laneFrom[kLaneCount] = {0, 0, 0, 0};
  std::uint64_t laneTo[kLaneCount] = {0, 0, 0, 0};
  bool laneUsed[kLaneCount] = {true, false, false, true};
};

int LaneOf(const std::string& thread);
std::string Seconds(std::uint64_t ms);
// The names a snapshot saw, in its order, separated by ", ".
std::string SnapshotNames(const sim::events::Snapshot& snapshot);

// Finds what the picture shows of each event.
Picture Collect(const sim::RunResult& run);
// Folds a mark into the lane's last group of its kind when it says the same again.
std::vector<Group> Fold(const std::vector<Mark>& marks);
// Contiguous pauses of one length on one lane (the polls of a wait) get one label: the bars
// that carry the labels, spanning each run; the pauses themselves are drawn one by one.
std::vector<Bar> Labels(const std::vector<Bar>& bars);

}  // namespace fenwrack_sim::timeline
