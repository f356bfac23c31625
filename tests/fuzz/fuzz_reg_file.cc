// The registry editor's .reg reader on any text: at most one dword value per line, each under a
// key named in the file.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "sim/outside_programs.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string content(reinterpret_cast<const char*>(data), size);
  const auto settings = sim::ParseRegFile(content);
  if (settings.size() >
      static_cast<std::size_t>(std::count(content.begin(), content.end(), '\n')) + 1)
    std::abort();
  for (const auto& s : settings) {
    if (s.key.empty() || content.find(s.key) == std::string::npos || s.name.size() >= size)
      std::abort();
  }
  return 0;
}
