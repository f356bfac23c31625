// The paths a run makes: a name in a folder, whatever the folder ends with.
#include <gtest/gtest.h>

#include <string>

#include "rows.h"
#include "run/session.h"

namespace {

class Join : public testing::TestWithParam<nlohmann::json> {};

TEST_P(Join, PutsOneSeparatorBetween) {
  const nlohmann::json& row = GetParam();
  EXPECT_EQ(run::Join(row["folder"], row["name"]), row["joined"].get<std::string>());
}

INSTANTIATE_TEST_SUITE_P(Rows, Join, testing::ValuesIn(testing_support::Rows("run/joins.json")),
                         testing_support::RowName);

}  // namespace
