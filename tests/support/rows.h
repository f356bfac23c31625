// Tables of cases kept as JSON beside the tests that run them: an array of objects, each row a
// case, its fields named, "what" saying which.
#pragma once

#include <gtest/gtest.h>

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

inline std::vector<nlohmann::json> Rows(const std::string& file) {
  return nlohmann::json::parse(TestFile(file)).get<std::vector<nlohmann::json>>();
}

// A row's test name: its number and its "what", the same in every process.
inline std::string RowName(const testing::TestParamInfo<nlohmann::json>& info) {
  std::string name = std::to_string(info.index) + "_" + info.param.value("what", "");
  for (char& c : name)
    c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name;
}

}  // namespace testing_support
