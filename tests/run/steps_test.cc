// What fenwrack-run tells of a capture that could not read a part: each part once, in the order
// the capture named them.
#include <gtest/gtest.h>

#include <string>

#include "rows.h"
#include "run/steps.h"

namespace {

class UnknownParts : public testing::TestWithParam<nlohmann::json> {};

TEST_P(UnknownParts, AreNamedOnceEach) {
  EXPECT_EQ(run::UnknownParts(GetParam()["log"]), GetParam()["parts"].get<std::string>());
}

INSTANTIATE_TEST_SUITE_P(Rows, UnknownParts,
                         testing::ValuesIn(testing_support::Rows("run/unknown_parts.json")),
                         testing_support::RowName);

}  // namespace
