// The JSON string literals of both machine-file writers.
#include "platform/text/json_string.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;
using platform::text::ControlEscapes;
using platform::text::JsonString;

struct QuoteCase {
  std::string text;
  std::string dumped;    // ControlEscapes::kShort
  std::string captured;  // ControlEscapes::kHex
};

void PrintTo(const QuoteCase& c, std::ostream* os) {
  *os << testing::PrintToString(c.text);
}

class JsonStringTable : public testing::TestWithParam<QuoteCase> {};

TEST_P(JsonStringTable, EscapesAsEachWriterAlwaysHas) {
  EXPECT_EQ(JsonString(GetParam().text, ControlEscapes::kShort), GetParam().dumped);
  EXPECT_EQ(JsonString(GetParam().text, ControlEscapes::kHex), GetParam().captured);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, JsonStringTable, testing::ValuesIn(std::vector<QuoteCase>{
    {"a/b \"q\" \\",          R"("a/b \"q\" \\")",        R"("a/b \"q\" \\")"},
    {"\n\r\t",                R"("\n\r\t")",              R"("\n\r\t")"},
    {"\b\f",                  R"("\b\f")",                R"("\u0008\u000c")"},
    {"\x01\x1b\x1f"s + '\0',  R"("\u0001\u001b\u001f\u0000")", R"("\u0001\u001b\u001f\u0000")"},
    {"\x7f",                  "\"\x7f\"",                 R"("\u007f")"}}));
// clang-format on

// The machine-file dump wrote strings with nlohmann::json: every string of up to four bytes
// from the bytes that matter to UTF-8 and to escaping comes out the same.
TEST(JsonString, ShortEscapesWriteWhatNlohmannJsonDumps) {
  const std::string bytes =
      "\x00\x08\x0C\"\\A\x7F\x80\x8F\x90\x9F\xA0\xBF\xC0\xC1\xC2\xDF\xE0\xE1\xED\xEF\xF0\xF1\xF4\xF5\xFF"s;
  std::vector<std::string> texts = {""};
  for (std::size_t from = 0, length = 0; length < 4; ++length) {
    const std::size_t to = texts.size();
    for (std::size_t i = from; i < to; ++i) {
      for (const char b : bytes)
        texts.push_back(texts[i] + b);
    }
    from = to;
  }
  for (const std::string& text : texts) {
    ASSERT_EQ(JsonString(text, ControlEscapes::kShort),
              nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace))
        << testing::PrintToString(text);
  }
}

}  // namespace
