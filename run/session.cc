#include "run/session.h"

#include "platform/text/printable.h"

namespace run {

std::string Join(const std::string& folder, const std::string& name) {
  if (folder.empty() || folder.back() == '\\' || folder.back() == '/' || folder.back() == ':')
    return folder + name;
  return folder + "\\" + name;
}

Session::Session(const std::vector<std::string>& args, const Options& options, System& system)
    : args(args),
      options(options),
      system(system),
      folder(system.ProgramFolder()),
      elevated(system.Elevated()) {}

void Session::Say(const std::string& text) {
  system.Print(1, platform::text::Printable(text, true));
}

void Session::Complain(const std::string& line) {
  system.Print(2, "fenwrack-run: " + platform::text::Printable(line, false) + "\n");
}

bool Session::Trusted(const std::string& what, const std::string& path) {
  if (!elevated || system.Protected(path))
    return true;
  Complain("refused with an administrator's rights: others may change " + what + " " + path +
           " (or a folder above it, or it is a link)");
  return false;
}

}  // namespace run
