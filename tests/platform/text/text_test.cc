// Text as Windows takes it: strict UTF-8 and UTF-16, the ANSI code page, and names that compare
// as Windows upper-cases each 16-bit unit.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/text/text.h"
#include "rows.h"

namespace {

namespace text = platform::text;

struct BadUtf8 {
  const char* what;
  std::string bytes;
  int at;  // the byte the message names
};
using testing_support::PrintTo;

class Utf8 : public testing::TestWithParam<BadUtf8> {};

TEST_P(Utf8, IsRefusedUnlessWellFormedNamingTheByte) {
  try {
    text::Utf8ToUtf16(GetParam().bytes);
    ADD_FAILURE() << "accepted";
  } catch (const text::TextError& e) {
    EXPECT_EQ(e.what(), "not well-formed UTF-8 at byte " + std::to_string(GetParam().at));
  }
}

INSTANTIATE_TEST_SUITE_P(Table, Utf8,
                         testing::ValuesIn(std::vector<BadUtf8>{
                             {"overlong three bytes", "ab\xE0\x80\xAF", 2},
                             {"overlong two bytes", "\xC0\xAF", 0},
                             {"a surrogate", "x\xED\xA0\x80", 1},
                             {"above U+10FFFF", "\xF4\x90\x80\x80", 0},
                             {"cut short", "xy\xE2\x82", 2},
                             {"a stray trail byte", "\x80", 0},
                             {"a five-byte lead", "\xF8\x88\x80", 0}}),
                         testing_support::CaseName<BadUtf8>);

TEST(Utf8, WellFormedTextGoesThereAndBack) {
  const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
  EXPECT_EQ(text::Utf16ToUtf8(text::Utf8ToUtf16(text)), text);
  EXPECT_THROW(text::Utf16ToUtf8(std::u16string{u'a', 0xDC00}), text::TextError) << "lone low";
}

TEST(AnsiCodePage, MapsTheHighHalfAsWindows1252) {
  EXPECT_EQ(platform::WidenAnsi("A\x80\x81\x8A\x9F\xA0\xE9\xFF"),
            u"A\u20AC\u0081\u0160\u0178\u00A0\u00E9\u00FF");
}

TEST(Names, CompareUpperCasedUnitByUnit) {
  EXPECT_TRUE(
      text::EqualNoCase("c:\\ärger\\ωμέγα\\ǆ\\ա\\ｚ\\я\\ÿ", "C:\\ÄRGER\\ΩΜΈΓΑ\\ǅ\\Ա\\Ｚ\\Я\\Ÿ"));
  EXPECT_FALSE(text::EqualNoCase("\U0001D4B6", "\U0001D49C")) << "beyond 16 bits: as they are";
}

}  // namespace
