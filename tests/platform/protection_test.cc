// Who may change a file or a folder, read from its owner and access list.
#include <gtest/gtest.h>

#include <vector>

#include "platform/protection.h"
#include "rows.h"

namespace {

using namespace platform::protection;
using testing_support::PrintTo;  // for the test names of the table below

constexpr Who kUs = Who::kTrusted, kThem = Who::kOthers;
constexpr std::uint32_t kRead = 0x1200a9;    // what Wine gives others at mode 0644
constexpr std::uint32_t kFull = 0x1f01ff;    // full control
constexpr std::uint32_t kModify = 0x1301bf;  // Windows' "Modify"
constexpr std::uint32_t kAddFolder = 0x4;    // C:\ gives Authenticated Users this one

struct ProtectionCase {
  const char* what;
  Security security;
  bool folder;
  bool othersMayChange;
};

class Protection : public testing::TestWithParam<ProtectionCase> {};

TEST_P(Protection, OnlyTheTrustedMayChangeWhatMatters) {
  EXPECT_EQ(OthersMayChange(GetParam().security, GetParam().folder), GetParam().othersMayChange);
}

Security Owned(Who owner, std::vector<Entry> entries) {
  return {owner, true, std::move(entries)};
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, Protection, testing::ValuesIn(std::vector<ProtectionCase>{
    {"others read a file", Owned(kUs, {{kUs, true, false, kFull}, {kThem, true, false, kRead}}), false, false},
    {"others read a folder", Owned(kUs, {{kThem, true, false, kRead}}), true, false},
    {"owned by someone else", Owned(kThem, {{kThem, true, false, kRead}}), false, true},
    {"no access list at all", Security{kUs, false, {}}, false, true},
    {"others may add a folder to a folder", Owned(kUs, {{kThem, true, false, kAddFolder}}), true, false},
    {"others may append to a file", Owned(kUs, {{kThem, true, false, kAppendData}}), false, true},
    {"others may modify what a folder will hold", Owned(kUs, {{kThem, true, true, kModify}}), true, false},
    {"others are denied everything", Owned(kUs, {{kThem, false, false, kFull}}), false, false},
    {"others may delete a file", Owned(kUs, {{kThem, true, false, kDelete}}), false, true},
    {"others may re-permission a folder", Owned(kUs, {{kThem, true, false, kWriteDac}}), true, true},
    {"others may take a folder", Owned(kUs, {{kThem, true, false, kWriteOwner}}), true, true},
    {"others may empty a folder", Owned(kUs, {{kThem, true, false, kDeleteChild}}), true, true},
    {"generic write on a folder only adds", Owned(kUs, {{kThem, true, false, kGenericWrite}}), true, false},
    {"generic write on a file", Owned(kUs, {{kThem, true, false, kGenericWrite}}), false, true},
    {"generic all on a folder", Owned(kUs, {{kThem, true, false, kGenericAll}}), true, true}}),
    testing_support::CaseName<ProtectionCase>);
// clang-format on

}  // namespace
