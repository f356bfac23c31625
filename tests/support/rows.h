// Tables of cases kept as JSON beside the tests that run them: an array of objects, each row a
// case, its fields named, "what" saying which.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace testing_support {

// The bytes of `file`, a path below tests/.
inline std::string TestFile(const std::string& file) {
  std::ifstream in(std::string(FENWRACK_TESTS_DIR) + "/" + file, std::ios::binary);
  if (!in)
    throw std::runtime_error("cannot read " + file);
  return {std::istreambuf_iterator<char>(in), {}};
}

// A table's rows, as JSON or read into a type of their own.
template <class Row = nlohmann::json>
std::vector<Row> Rows(const std::string& file) {
  return nlohmann::json::parse(TestFile(file)).get<std::vector<Row>>();
}

// A case's label as a test name, the same in every process.
inline std::string TestName(std::string name) {
  for (char& c : name)
    c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name;
}

// A row's test name: its number and its "what".
inline std::string RowName(const testing::TestParamInfo<nlohmann::json>& info) {
  return TestName(std::to_string(info.index) + "_" + info.param.value("what", ""));
}

template <class Case>
concept Labelled = requires(const Case& c) {
  std::string(c.what);
};

template <Labelled Case>
std::string CaseName(const testing::TestParamInfo<Case>& info) {
  return TestName(std::to_string(info.index) + "_" + info.param.what);
}

// A case prints as its label, quoted: a label that ends in a backslash would join two lines of
// the test list that CTest reads.
template <Labelled Case>
void PrintTo(const Case& c, std::ostream* out) {
  *out << nlohmann::json(std::string(c.what)).dump();
}

}  // namespace testing_support

namespace nlohmann {
inline void PrintTo(const json& row, std::ostream* out) {
  *out << (row.is_object() && row.contains("what") ? row["what"].dump() : row.dump());
}
}  // namespace nlohmann
