// Which top-level windows get a close request.
#include <gtest/gtest.h>

#include <string>

#include "firmware/window_closer.h"
#include "sim_support.h"

namespace {

using namespace testing_support;

struct TitleCase {
  std::string title;
  bool closed;
};

class WindowCloser : public testing::TestWithParam<TitleCase> {};

TEST_P(WindowCloser, PostsCloseOnlyToExactFirmwareTitles) {
  // The window sits between two firmware windows: the walk must go on past every match.
  const Machine machine = MachineBuilder()
                              .Process({100, "a.exe", {"Pelmo"}, 0})
                              .Process({200, "b.exe", {GetParam().title}, 0})
                              .Process({300, "c.exe", {"Talvora"}, 0})
                              .Build();
  const RunResult run = platform::sim::RunFunction(
      machine, [] { platform::EnumTopLevelWindows(&CloseFirmwareWindowProc, 0); });
  std::vector<std::string> titles;
  for (const Event& e : Named(run, "post_message")) {
    EXPECT_EQ(e.fields["message"], "WM_CLOSE");
    titles.push_back(Str(e.fields["title"]));
  }
  std::vector<std::string> expected{"Pelmo"};
  if (GetParam().closed)
    expected.push_back(GetParam().title);
  expected.push_back("Talvora");
  EXPECT_EQ(titles, expected);
}

INSTANTIATE_TEST_SUITE_P(Table, WindowCloser,
                         testing::Values(TitleCase{"Kestrix Analyzer Interface", true},
                                         TitleCase{"Pelmo", true}, TitleCase{"Talvora", true},
                                         TitleCase{"pelmo", false}, TitleCase{"PELMO", false},
                                         TitleCase{"Pelmo ", false}, TitleCase{" Pelmo", false},
                                         TitleCase{"Pelmo - Messung", false},
                                         TitleCase{"Kestrix Analyzer", false},
                                         TitleCase{"Talvora\t", false}, TitleCase{"", false},
                                         TitleCase{std::string(300, 'P'), false},
                                         TitleCase{"Pelmo" + std::string(300, ' '), false}));

TEST(WindowCloser, EveryWindowWithAFirmwareTitleGetsItsOwnRequest) {
  const Machine machine =
      MachineBuilder()
          .Process({100, "a.exe", {"Pelmo", "Pelmo", "Kestrix Analyzer Interface"}})
          .Process({200, "b.exe", {"Pelmo"}})
          .Build();
  const RunResult run = platform::sim::RunFunction(
      machine, [] { platform::EnumTopLevelWindows(&CloseFirmwareWindowProc, 0); });
  EXPECT_EQ(Count(run, "post_message"), 4u);
}

}  // namespace
