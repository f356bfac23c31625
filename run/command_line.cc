#include "run/command_line.h"

namespace run {

std::string QuoteArgument(std::string_view arg) {
  if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string_view::npos)
    return std::string(arg);
  std::string quoted = "\"";
  std::size_t backslashes = 0;
  for (const char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    // Backslashes are literal unless a quote follows them.
    quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    quoted += c;
    backslashes = 0;
  }
  // The closing quote follows them too.
  quoted.append(2 * backslashes, '\\');
  return quoted + '"';
}

std::string CommandLine(const std::vector<std::string>& args) {
  std::string line;
  for (const std::string& arg : args)
    line += (line.empty() ? "" : " ") + QuoteArgument(arg);
  return line;
}

}  // namespace run
