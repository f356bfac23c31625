// The status window on its own thread.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/tool_dialog.h"
#include "sim_support.h"

namespace {

using namespace testing_support;
using platform::sim::EndHow;

MachineBuilder Analyzer() {
  return std::move(MachineBuilder()
                       .Process({5, "Talvora.exe", {"Talvora"}, 300})
                       .UsageBoxClosedAfter(700)
                       .PowerOff(false));
}

class StatusWindow : public testing::TestWithParam<const char16_t*> {};

// Shown on every run, the usage box's included, at the corner, top-most, its template's size.
TEST_P(StatusWindow, IsShownTopMostAtTheCornerAndReadsRemovingFirmware) {
  std::vector<std::u16string> args{u"Fenwrack.exe"};
  if (*GetParam() != 0)
    args.push_back(GetParam());
  const RunResult run = platform::sim::Run(Analyzer().Build(), args);
  const auto shown = Named(run, "status_window");
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].thread, "status");
  EXPECT_EQ(shown[0].fields["x"], 0);
  EXPECT_EQ(shown[0].fields["y"], 0);
  EXPECT_EQ(shown[0].fields["width"], 360);
  EXPECT_EQ(shown[0].fields["height"], 68);
  EXPECT_EQ(shown[0].fields["topmost"], true);
  const auto texts = Named(run, "status_text");
  ASSERT_EQ(texts.size(), 1u) << "written on every tick, recorded when it changes";
  EXPECT_EQ(Str(texts[0].fields["text"]), "Removing firmware...");
  EXPECT_EQ(texts[0].t, shown[0].t + 100) << "\"Statisch\" until the first tick";
}

INSTANTIATE_TEST_SUITE_P(Runs, StatusWindow,
                         testing::Values(u"", u"/terminate", u"/shutdown", u"/restart"));

// What a run did, apart from the status window itself.
std::vector<std::string> Effects(const RunResult& run) {
  std::vector<std::string> effects;
  for (const Event& e : run.events) {
    if (e.thread == "status")
      continue;
    effects.push_back(std::to_string(e.t) + " " + e.thread + " " + e.event + " " + e.fields.dump());
  }
  return effects;
}

TEST(StatusWindow, EnterEscapeOrAFailedStartLeaveTheOperationAlone) {
  const RunResult plain = platform::sim::Run(Analyzer().Build(), {u"Fenwrack.exe", u"/terminate"});
  struct Variant {
    const char* what;
    MachineBuilder machine;
  };
  const std::vector<Variant> variants = {
      {"escape", std::move(Analyzer().StatusKey("Escape", 1500))},
      {"enter", std::move(Analyzer().StatusKey("Enter", 50))},
      {"thread fails", std::move(Analyzer().Fault("thread_start_fails", {"status"}))},
      {"window fails", std::move(Analyzer().Fault("status_window_fails", true))},
  };
  for (const Variant& v : variants) {
    const RunResult run = platform::sim::Run(v.machine.Build(), {u"Fenwrack.exe", u"/terminate"});
    std::vector<std::string> expected = Effects(plain);
    std::vector<std::string> actual = Effects(run);
    // The thread start of the status window is the one line that may differ.
    std::erase_if(expected, [](const std::string& s) {
      return s.find("StatusThreadProc") != std::string::npos;
    });
    std::erase_if(actual, [](const std::string& s) {
      return s.find("StatusThreadProc") != std::string::npos;
    });
    EXPECT_EQ(actual, expected) << v.what;
    EXPECT_EQ(run.exitCode, 0) << v.what;
  }
}

TEST(StatusWindow, AnEscapeEndsTheWindowForTheRestOfTheRun) {
  const RunResult run = platform::sim::Run(Analyzer().StatusKey("Escape", 1500).Build(),
                                           {u"Fenwrack.exe", u"/terminate"});
  const auto status = OnThread(run, "status");
  ASSERT_FALSE(status.empty());
  EXPECT_LE(status.back().t, 1500u);
  EXPECT_GT(run.virtualMs, 1500u);
}

TEST(StatusWindow, AnEmptyTextIsNeverWritten) {
  const RunResult run = platform::sim::RunFunction(Analyzer().Build(), [] {
    g_toolDialog->m_text.clear();
    platform::BeginThread(&StatusThreadProc, nullptr, {"StatusThreadProc", "status"});
    platform::Pause(1000);
  });
  EXPECT_EQ(Count(run, "status_window"), 1u);
  EXPECT_EQ(Count(run, "status_text"), 0u);
}

// Runs that end while the window ticks, over and over: the sanitizer builds watch the teardown.
TEST(StatusWindow, ManyRunsEndingMidTickTearDownCleanly) {
  const platform::sim::Machine machine = Analyzer().UsageBoxClosedAfter(250).Reboot(false).Build();
  for (int i = 0; i < 200; ++i) {
    const RunResult run =
        platform::sim::Run(machine, {u"Fenwrack.exe", i % 2 ? u"/checkUSB" : u"/?"});
    ASSERT_EQ(run.how, EndHow::kExit);
    ASSERT_EQ(run.exitCode, 0);
  }
}

}  // namespace
