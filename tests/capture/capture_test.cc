// fenwrack-capture on simulated machines: what it writes of each part, what it assumes and what
// it reports as unknown, its statuses, and that it changes nothing.
#include <gtest/gtest.h>

#include <algorithm>

#include <string>
#include <vector>

#include "capture/json_text.h"
#include "sim_support.h"

namespace {

using namespace testing_support;
using testing_support::PrintTo;  // for the test names of the table below
using json = nlohmann::json;

struct CaptureCase {
  const char* what;
  const char* machine;  // JSON
  std::vector<std::u16string> args;
  int status;
  const char* expected;  // JSON: pointer -> value in the captured file
  const char* stderrHas = "";
};

class Captures : public testing::TestWithParam<CaptureCase> {};

TEST_P(Captures, WriteWhatTheToolWouldMeet) {
  const CaptureCase& c = GetParam();
  std::vector<std::u16string> args = {u"fenwrack-capture.exe"};
  args.insert(args.end(), c.args.begin(), c.args.end());
  const RunResult run = RunCapture(Machine::FromText(c.machine, "test"), args);
  EXPECT_EQ(run.exitCode, c.status) << run.standardError;
  EXPECT_NE(run.standardError.find(c.stderrHas), std::string::npos) << run.standardError;
  if (*c.expected == '\0')
    return;
  const json captured = json::parse(run.standardOutput);
  const json expected = json::parse(c.expected);
  for (const auto& [pointer, value] : expected.items())
    EXPECT_EQ(captured.value(json::json_pointer(pointer), json()), value) << pointer;
  // What it writes is a machine file.
  EXPECT_NO_THROW(Machine::FromText(run.standardOutput, "captured"));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, Captures, testing::ValuesIn(std::vector<CaptureCase>{
    // The round trip over many machines covers the registry, files and products.
    {"with --firmware hangs: firmware by name or by title hangs, a script starts it",
     R"({"environment": {"Kestrix_SYSTEM_ROOT": "C:\\K"},
         "files": [{"path": "C:\\K\\bin\\StartUpFW.bat"}],
         "processes": [{"pid": 8, "name": "Halvmark.exe"}, {"pid": 12, "name": "ui.exe",
           "windows": ["Pelmo"]}, {"pid": 16, "name": "halvmark.ex"}]})",
     {u"--firmware", u"hangs"}, 0,
     R"({"/processes/0/on_close": "ignore", "/processes/1/on_close": "ignore",
         "/processes/2/on_close": null,
         "/files/0/starts": [{"name": "Halvmark.exe", "on_close": "ignore"},
           {"name": "ui.exe", "windows": ["Pelmo"], "on_close": "ignore"}]})",
     "no firmware program ever ends"},
    {"the Windows folder, and an account that is not an administrator: no shutdown privilege",
     R"({"system": {"windows_folder": "D:\\W", "administrator": false},
         "files": [{"path": "D:\\W\\regedit.exe"}]})", {}, 0,
     R"({"/system": {"windows_folder": "D:\\W", "administrator": false, "shutdown_privilege": false},
         "/files/0/path": "D:\\W\\regedit.exe"})"},
    {"a failed snapshot is unknown", R"({"faults": {"snapshot_fails_from": 1}})", {}, 1,
     R"({"/processes": []})", "unknown: processes"},
    {"no installer is unknown", R"({"faults": {"msi_unavailable": true}})", {}, 1,
     R"({"/products": []})", "unknown: products"},
    {"no Windows folder is unknown", R"({"faults": {"windows_folder_unavailable": true}})", {}, 1,
     R"({"/system/windows_folder": null})", "unknown: system"},
    {"no token is unknown", R"({"faults": {"token_open_fails": true}})", {}, 1,
     R"({"/system/shutdown_privilege": null, "/system/administrator": null})", "unknown: system"},
    {"--firmware without a reaction", "{}", {u"--firmware"}, 2, "", "closes or hangs"},
    {"an unknown option", "{}", {u"-x"}, 2, "", "unknown option -x"},
    {"two outputs", "{}", {u"a.json", u"b.json"}, 2, "", "one output file only"},
    {"an output that cannot be written", "{}", {u"Q:\\no\\such\\a.json"}, 3, "",
     "cannot write Q:\\no\\such\\a.json"},
    {"out of memory", R"({"faults": {"widen_fails_from_call": 1}})", {}, 3, "",
     "out of memory: nothing was written"}}));
// clang-format on

TEST(Capture, ChangesNothingAndWritesOnlyItsFile) {
  const Machine demo = Machine::Demo();
  const RunResult run = RunCapture(demo, {u"fenwrack-capture.exe", u"C:\\Kestrix\\demo.json"});
  ASSERT_EQ(run.exitCode, 0) << run.standardError;
  EXPECT_EQ(Fields(run, "file_append", "path"), std::vector<std::string>{"C:\\Kestrix\\demo.json"});
  // Only the file it was asked to write is new.
  json after = run.machineAfter;
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
