// The programs a run starts, each a step noted in the record, and what it reads back from what
// they wrote: the captures before and after the tool, the dry run, the tool, the check.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "run/prediction.h"
#include "run/record.h"
#include "run/session.h"

namespace run {

// The parts a capture could not read, from its lines "...unknown: PART: why".
std::string UnknownParts(const std::string& log);

class Steps {
 public:
  Steps(Session& session, Record& record) : session_(session), record_(record) {}

  // Runs args[0] to its end: its status, or nothing when it could not start. The tool (`output`
  // nullptr) runs where we were started, without files of ours; the others in the record,
  // writing `output` (empty: nowhere) and `error` there.
  std::optional<std::uint32_t> Start(const std::string& step, const std::vector<std::string>& args,
                                     const char* output, const char* error);
  // The instrument into `which`.json. `unknown`: the parts it could not read, or nothing.
  bool Capture(const std::string& which, std::string& unknown);
  // After the tool there is nothing left to go on to: what a capture could not see, it cannot
  // check.
  bool CaptureAfter();
  // The tool on the capture: told, noted, and read back from its trace.
  std::optional<Prediction> DryRun();
  // The capture after the tool against the prediction. `tool`: the tool's exit code, when it
  // ended by itself. The status, not yet told.
  int Compare(const Prediction& prediction, std::optional<std::uint32_t> tool);

 private:
  Session& session_;
  Record& record_;
};

}  // namespace run
