// The registry editor's .reg reader on any text: only dword values of sections under
// HKEY_LOCAL_MACHINE, each taken from one line of the file.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/sim/outside_programs.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string content(reinterpret_cast<const char*>(data), size);
  std::size_t lines = 1, dwords = 0;
  for (std::size_t i = 0; i < size; ++i) {
    lines += content[i] == '\n';
    dwords += (content[i] == ':' && i >= 6 && (content[i - 5] | 0x20) == 'd');
  }
  const auto settings = platform::sim::detail::ParseRegFile(content);
  if (settings.size() > dwords || settings.size() > lines)
    std::abort();
  for (const auto& s : settings) {
    if (s.key.empty() || content.find(s.key) == std::string::npos ||
        s.name.size() >= content.size())
      std::abort();
  }
  return 0;
}
