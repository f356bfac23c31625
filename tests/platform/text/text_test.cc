// Text as Windows takes it: strict UTF-8 and UTF-16, the ANSI code page, and names that compare
// as Windows upper-cases each 16-bit unit.
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "platform/text/text.h"

namespace {

namespace text = platform::text;

// Which bytes are well formed, JsonString's comparison with nlohmann::json checks byte by byte;
// here, that the message names the first byte of the sequence that is not.
TEST(Utf8, IsRefusedUnlessWellFormedNamingTheByte) {
  try {
    text::Utf8ToUtf16("ab\xE0\x80\xAF");
    ADD_FAILURE() << "accepted";
  } catch (const text::TextError& e) {
    EXPECT_STREQ(e.what(), "not well-formed UTF-8 at byte 2");
  }
}

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
