// fenwrack-capture on simulated machines: what it writes of each part, what it assumes and what
// it reports as unknown, its statuses, and that it changes nothing.
#include <gtest/gtest.h>

#include <algorithm>

#include <string>
#include <vector>

#include "capture/json_text.h"
#include "platform/text/text.h"
#include "rows.h"
#include "sim_support.h"

namespace {

using namespace testing_support;
using json = nlohmann::json;

class Captures : public testing::TestWithParam<json> {};

// A row: the machine, the capture's arguments and status, what its message says, the values at
// these places of the file it wrote ("captured": pointer to value), and the pids it opened.
TEST_P(Captures, WriteWhatTheToolWouldMeet) {
  const json& c = GetParam();
  std::vector<std::u16string> args = {u"fenwrack-capture.exe"};
  for (const json& arg : c["args"])
    args.push_back(platform::text::Utf8ToUtf16(arg.get<std::string>()));
  const RunResult run = RunCapture(Machine::FromJson(c["machine"], "test"), args);
  EXPECT_EQ(run.exitCode, c["status"]) << run.standardError;
  EXPECT_NE(run.standardError.find(c.value("says", "")), std::string::npos) << run.standardError;
  if (c.contains("opened")) {
    EXPECT_EQ(Fields(run, "open_process", "pid"), c["opened"].get<std::vector<std::string>>());
  }
  if (!c.contains("captured"))
    return;
  const json captured = json::parse(run.standardOutput);
  for (const auto& [pointer, value] : c["captured"].items())
    EXPECT_EQ(captured.value(json::json_pointer(pointer), json()), value) << pointer;
  // What it writes is a machine file.
  EXPECT_NO_THROW(Machine::FromText(run.standardOutput, "captured"));
}

// The round trip over many machines covers the registry, files and products.
INSTANTIATE_TEST_SUITE_P(Table, Captures, testing::ValuesIn(Rows("capture/captures.json")),
                         RowName);

TEST(Capture, ChangesNothingAndWritesOnlyItsFile) {
  const Machine demo = Machine::Demo();
  const RunResult run = RunCapture(demo, {u"fenwrack-capture.exe", u"C:\\Kestrix\\demo.json"});
  ASSERT_EQ(run.exitCode, 0) << run.standardError;
  EXPECT_EQ(Fields(run, "file_append", "path"), std::vector<std::string>{"C:\\Kestrix\\demo.json"});
  // Only the file it was asked to write is new.
  json after = machine_file::ToJson(run.machineAfter);
  json& files = after["files"];
  files.erase(std::remove_if(files.begin(), files.end(),
                             [](const json& f) { return f["path"] == "C:\\Kestrix\\demo.json"; }),
              files.end());
  EXPECT_EQ(after, demo.json());
}

TEST(CaptureText, IsWellFormedUtf8WhateverTheSystemGives) {
  bool utf8 = true;
  EXPECT_EQ(capture::Json::Bytes("a\xE4\r\n\x01", utf8).Text(), "\"a\u00e4\\r\\n\\u0001\"\n");
  EXPECT_FALSE(utf8);
  EXPECT_EQ(capture::Json::Bytes("\xC3\xA4", utf8).Text(), "\"\u00e4\"\n");
  EXPECT_TRUE(utf8);
  // A pair of surrogates is one character; a lone one has no UTF-8 form.
  EXPECT_EQ(capture::Utf8(u"\xD83D\xDE00 \xD800"), "\U0001F600 \uFFFD");
  // A .reg file as the registry editor saves it; other bytes are not taken as UTF-16.
  EXPECT_EQ(capture::Utf16Text(std::string_view("\377\376a\0\254 ", 6)), u"a\u20ac");
  for (const std::string_view bytes : {"\377\376a", "\377\377ab", "\376\376ab"})
    EXPECT_EQ(capture::Utf16Text(bytes), std::nullopt) << bytes;
}

}  // namespace
