// Every switch against every fault of the machine-file format, alone and in pairs, on a few
// machines: each run ends as the tool's rules say, and nothing is killed, logged or started that
// should not be.
#include <gtest/gtest.h>

#include <string>
#include <type_traits>
#include <vector>

#include "platform/sim/machine_model.h"
#include "platform/sim/simulator.h"

namespace {

using nlohmann::json;
using platform::sim::EndHow;
using platform::sim::RunResult;
namespace detail = platform::sim::detail;

// The values that turn each fault of the format on: (name, value) pairs.
std::vector<std::pair<std::string, json>> Faults() {
  std::vector<std::pair<std::string, json>> out;
  for (const detail::FaultField& f : detail::FaultFields()) {
    std::vector<json> values;
    std::visit(
        [&](auto member) {
          using T = std::decay_t<decltype(detail::FaultDesc{}.*member)>;
          if constexpr (std::is_same_v<T, bool>)
            values = {true};
          else if constexpr (std::is_same_v<T, std::uint64_t>)
            values = {700};
          else if constexpr (std::is_same_v<T, std::optional<std::uint64_t>>)
            values = {1, 3};
          else if constexpr (std::is_same_v<T, std::set<std::string>>)
            values = {{"status"}, {"worker"}};
          else
            values = {{"cmd.exe"}, {"msiexec.exe"}, {"regedit.exe"}};
        },
        f.member);
    for (const json& v : values)
      out.emplace_back(f.name, v);
  }
  return out;
}

json Variant(const char* name) {
  json m = platform::sim::Machine::Demo().json();
  if (std::string(name) == "unprotected, refusing, server unkillable") {
    m["registry"][0]["data"] = 0;
    m["system"]["power_off"] = m["system"]["reboot"] = "refuse";
    m["products"] = {{{"code", "{6A1E2C34-0B7D-4F58-9E21-3C5D7A9B1F02}"}}};
    m["processes"][0]["can_terminate"] = false;
  } else if (std::string(name) == "bare, nobody closes the usage box") {
    m = {{"user", {{"closes_usage_box_after_ms", nullptr}}}};
  }
  return m;
}

std::size_t Count(const RunResult& run, const char* event, const char* thread = nullptr) {
  std::size_t n = 0;
  for (const auto& e : run.Named(event))
    n += (thread == nullptr || e.thread == thread) && e.fields.value("ok", true);
  return n;
}

void Check(const RunResult& run, bool usage, bool usageBoxStays) {
  ASSERT_TRUE(run.how != EndHow::kStuck || (usage && usageBoxStays)) << EndHowName(run.how);
  if (run.how == EndHow::kExit) {
    EXPECT_EQ(run.exitCode, run.Named("widen_failed").empty() ? 0 : 3) << "out of memory: 3";
  }
  EXPECT_LE(run.Named("terminate_process").size(), 1u);
  std::size_t logLines = 0;
  for (const auto& e : run.Named("file_append"))
    logLines += e.fields["path"].get<std::string>().ends_with("\\FWKill.log");
  EXPECT_EQ(logLines, Count(run, "terminate_process", "main")) << "one line per forced kill";
  bool down = false;
  for (const auto& e : run.events) {
    EXPECT_FALSE(down && (e.event == "create_process" || e.event == "process_start")) << e.event;
    down = down || (e.event == "exit_windows" && e.fields.value("accepted", false));
  }
}

struct Case {
  const char* machine;
  const char16_t* option;  // nullptr: none
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.machine << ", " << (c.option ? "a switch" : "no switch");
}

class EveryFault : public testing::TestWithParam<Case> {};

TEST_P(EveryFault, AloneAndInPairs) {
  const json base = Variant(GetParam().machine);
  const std::u16string option = GetParam().option ? GetParam().option : u"";
  std::vector<std::u16string> args = {u"Fenwrack.exe"};
  if (!option.empty())
    args.push_back(option);
  const bool usage = option.empty() || option == u"/?";
  const auto faults = Faults();
  for (std::size_t i = 0; i <= faults.size(); ++i) {
    for (std::size_t j = i; j <= faults.size(); ++j) {
      if (j < faults.size() && i != j && faults[i].first == faults[j].first)
        continue;
      json machine = base;
      machine["faults"] = json::object();
      for (const std::size_t k : {i, j}) {
        if (k < faults.size())
          machine["faults"][faults[k].first] = faults[k].second;
      }
      SCOPED_TRACE(machine["faults"].dump());
      Check(platform::sim::Run(platform::sim::Machine::FromJson(machine, "t"), args), usage,
            base.contains("user") && base["user"]["closes_usage_box_after_ms"].is_null());
    }
  }
}

std::vector<Case> Cases() {
  std::vector<Case> out;
  for (const char* m :
       {"demo", "unprotected, refusing, server unkillable", "bare, nobody closes the usage box"}) {
    for (const char16_t* o : {u"/terminate", u"/restart", u"/shutdown", u"/deinstall", u"/checkUSB",
                              u"/?", static_cast<const char16_t*>(nullptr)})
      out.push_back({m, o});
  }
  return out;
}

INSTANTIATE_TEST_SUITE_P(Table, EveryFault, testing::ValuesIn(Cases()));

}  // namespace
