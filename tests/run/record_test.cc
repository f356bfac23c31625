// A record folder's name: the time it was made, sortable, and the switch, never more of the
// argument than letters and digits.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rows.h"
#include "run/record.h"

namespace {

struct NameCase {
  std::string what;
  std::vector<std::string> tool;  // the tool's arguments
  std::string name;
};
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(NameCase, what, tool, name)
using testing_support::PrintTo;

class RecordName : public testing::TestWithParam<NameCase> {};

TEST_P(RecordName, IsTheSwitchsLettersAndDigits) {
  EXPECT_EQ(run::RecordName(GetParam().tool), GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RecordName, testing::ValuesIn(testing_support::Rows<NameCase>("run/record_names.json")),
    testing_support::CaseName<NameCase>);

TEST(RecordTimes, AreUtcDigitsPaddedToTheirWidth) {
  const host::UtcTime t{.year = 987, .month = 1, .day = 2, .hour = 3, .minute = 4, .second = 5};
  EXPECT_EQ(run::Stamp(t), "09870102T030405Z");
  EXPECT_EQ(run::Iso(t), "0987-01-02T03:04:05Z");
}

}  // namespace
