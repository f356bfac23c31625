// fenwrack-run.exe: the loop on the host layer of Windows, and the platform's rule of who may
// change a path.
#include <new>

#include "platform/host/host.h"
#include "platform/host/process.h"
#include "platform/host/win32_text.h"
#include "platform/platform.h"
#include "run/run_loop.h"

namespace {

std::optional<std::string> Reason(const std::optional<host::FileError>& error) {
  return error ? std::optional(error->reason) : std::nullopt;
}

class Windows final : public run::System {
 public:
  std::optional<std::string> Run(const host::Program& program, std::uint32_t& code) override {
    return Reason(host::RunToEnd(program, code));
  }
  host::Made MakeFolder(const std::string& path, std::string& reason) override {
    host::FileError error;
    const host::Made made = host::MakeFolder(path, error);
    reason = error.reason;
    return made;
  }
  std::optional<std::string> Read(const std::string& path, std::string& text) override {
    return Reason(host::ReadRecordFile(path, text));
  }
  std::optional<std::string> Append(const std::string& path, std::string_view text) override {
    return Reason(host::AppendToFile(path, text));
  }
  std::optional<std::string> Replace(const std::string& path, std::string_view text) override {
    return Reason(host::ReplaceRecordFile(path, text));
  }
  bool Elevated() override { return host::RunsElevated(); }
  bool Protected(const std::string& path) override {
    const std::wstring wide = host::win32::Wide(path);
    return platform::IsProtected(platform::WString(wide.begin(), wide.end()));
  }
  std::string FullPath(const std::string& path) override { return host::FullPath(path); }
  std::string DataFolder() override { return host::SharedDataFolder(); }
  std::string ProgramFolder() override { return host::ProgramFolder(); }
  host::UtcTime Now() override { return host::UtcNow(); }
  void Print(int stream, std::string_view text) override {
    // Nowhere left to tell when the console is gone.
    host::WriteStandard(stream, text);
  }
};

}  // namespace

// The platform library's programs start at wmain; the arguments come from the wide command line.
int wmain(int, wchar_t**) {
  host::UseSystemLibrariesOnly();
  Windows system;
  try {
    return run::Main(host::Arguments(0, nullptr), system);
  } catch (const std::bad_alloc&) {
    system.Print(2, "fenwrack-run: out of memory\n");
    return run::kNotDone;
  }
}
