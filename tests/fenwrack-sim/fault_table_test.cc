// Every switch against every fault of the machine-file format, alone and in pairs, on a few
// machines: each run ends as the tool's rules say, and nothing is killed, logged or started that
// should not be.
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "machine_file/machine.h"
#include "machine_file/machine_model.h"
#include "platform/sim/entry.h"
#include "sim_engine/run_result.h"

namespace {

using nlohmann::json;
using sim_engine::EndHow;
using sim_engine::RunResult;

// Each fault of the format, as (name, a value that turns it on), from the format's own table.
std::vector<std::pair<std::string, json>> Faults() {
  // By the kind of member, in the order of FaultMember.
  const std::vector<json> values[] = {{true},
                                      {700},
                                      {1, 3},
                                      {{"status"}, {"worker"}},
                                      {{"cmd.exe"}, {"msiexec.exe"}, {"regedit.exe"}}};
  std::vector<std::pair<std::string, json>> out;
  for (const machine_file::FaultField& f : machine_file::FaultFields()) {
    for (const json& v : values[f.member.index()])
      out.emplace_back(f.name, v);
  }
  return out;
}

// The demo; the demo unprotected, refusing to go down, with an unkillable server and a product;
// an empty machine whose usage box nobody closes.
json Variant(int which) {
  json m = machine_file::Machine::Demo().json();
  if (which == 1) {
    m["registry"][0]["data"] = 0;
    m["system"]["power_off"] = m["system"]["reboot"] = "refuse";
    m["processes"][0]["can_terminate"] = false;
    m["products"] = {{{"code", "{6A1E2C34-0B7D-4F58-9E21-3C5D7A9B1F02}"}}};
  }
  return which == 2 ? json{{"user", {{"closes_usage_box_after_ms", nullptr}}}} : m;
}

void Check(const RunResult& run, bool usageBoxStays) {
  ASSERT_TRUE(run.how != EndHow::kStuck || usageBoxStays) << EndHowName(run.how);
  if (run.how == EndHow::kExit) {
    EXPECT_EQ(run.exitCode, run.Named("widen_failed").empty() ? 0 : 3) << "out of memory: 3";
  }
  EXPECT_LE(run.Named("terminate_process").size(), 1u);
  std::size_t logLines = 0, kills = 0;
  bool down = false;
  for (const auto& e : run.events) {
    logLines +=
        e.event == "file_append" && e.fields["path"].get<std::string>().ends_with("FWKill.log");
    kills += e.event == "terminate_process" && e.thread == "main" && e.fields["ok"] == true;
    EXPECT_FALSE(down && (e.event == "create_process" || e.event == "process_start")) << e.event;
    down = down || (e.event == "exit_windows" && e.fields.value("accepted", false));
  }
  EXPECT_EQ(logLines, kills) << "one kill-log line per forced kill";
}

using Param = std::tuple<int, const char16_t*>;
class EveryFault : public testing::TestWithParam<Param> {};

// Names from the values, not their addresses, so that they are the same in every process.
std::string Name(const testing::TestParamInfo<Param>& info) {
  std::string name = "machine" + std::to_string(std::get<0>(info.param));
  for (const char16_t* c = std::get<1>(info.param); *c != 0; ++c)
    name += *c == u'?' ? "_help" : std::string(1, std::isalnum(*c) ? static_cast<char>(*c) : '_');
  return name;
}

TEST_P(EveryFault, AloneAndInPairs) {
  const auto [which, option] = GetParam();
  std::vector<std::u16string> args = {u"Fenwrack.exe", option};
  if (args[1].empty())
    args.pop_back();
  const bool usageBoxStays = which == 2 && (args.size() == 1 || args[1] == u"/?");
  const auto faults = Faults();
  for (std::size_t i = 0; i <= faults.size(); ++i) {
    for (std::size_t j = i; j <= faults.size(); ++j) {
      json machine = Variant(which);
      machine["faults"] = json::object();
      for (const std::size_t k : {i, j}) {
        if (k < faults.size())
          machine["faults"][faults[k].first] = faults[k].second;
      }
      SCOPED_TRACE(machine["faults"].dump());
      Check(platform::sim::Run(machine_file::Machine::FromJson(machine, "t"), args), usageBoxStays);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Table, EveryFault,
                         testing::Combine(testing::Values(0, 1, 2),
                                          testing::Values(u"/terminate", u"/restart", u"/shutdown",
                                                          u"/deinstall", u"/checkUSB", u"/?", u"")),
                         Name);

}  // namespace
