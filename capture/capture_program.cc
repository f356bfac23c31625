// fenwrack-capture: its command line, its outputs and its exit statuses.
#include <new>
#include <string>

#include "capture/machine_capture.h"
#include "platform/platform.h"
#include "removal/product_table_digest.h"

namespace capture {

namespace {

// Exit statuses.
constexpr int kComplete = 0;
constexpr int kPartial = 1;     // written, but a part could not be read
constexpr int kUsageError = 2;  // a bad command line
constexpr int kNotWritten = 3;  // the machine file could not be written

constexpr char kHelp[] =
    R"(Usage: fenwrack-capture [--firmware closes|hangs] [FILE]

Writes this machine, as Fenwrack.exe would meet it when started from the same prompt, as a
machine file for fenwrack-sim --machine: the firmware root, the files the tool looks at (with
the kill log's and the USB settings' text, and whether others than SYSTEM, Administrators,
TrustedInstaller and this account may change the programs it starts), WriteProtect, every
process in the system's order with its windows' titles and, for the firmware's, whether it can be
opened, the installed products and the shutdown privilege. It changes nothing: it asks no program
to close, opens only the firmware's processes and only to close them again, writes nothing but
FILE, and sends no message to any window.

  FILE                 where the machine file goes; - or none: standard output
  --firmware closes    assume that every firmware program ends 100 ms after a close request
                       (the default)
  --firmware hangs     assume that none ever does
  --help, --version    this text; the version and a digest of the product-code table it holds

What cannot be seen is assumed, and each assumption is said on standard error: how the firmware
answers a close request, what a start-up script starts (the firmware programs running now),
that the processes can be terminated, that uninstalls work, how long the outside programs run,
that the system accepts a shutdown.

Exit status:
  0  the machine file is written and every part of it was read
  1  the machine file is written, but a part could not be read: standard error names it, and
     the file leaves it out
  2  a bad command line
  3  the machine file could not be written (or the program ran out of memory)
)";

bool Say(const std::string& line) {
  return platform::WriteStandardStream(2, "fenwrack-capture: " + line + "\n");
}

bool WriteMachine(const std::u16string& path, const std::string& text) {
  if (path == u"-")
    return platform::WriteStandardStream(1, text);
  const platform::CrtFile file = platform::OpenCrtFile(path, u"wb");
  return file && platform::WriteCrtText(file, text.c_str()) >= 0 &&
         platform::FlushCrtFile(file) == 0;
}

}  // namespace

int CaptureMain(const std::vector<std::u16string>& args) {
  FirmwareReaction reaction = FirmwareReaction::kCloses;
  std::u16string output = u"-";
  bool named = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::u16string& arg = args[i];
    if (arg == u"--help" || arg == u"/?") {
      return platform::WriteStandardStream(1, kHelp) ? kComplete : kNotWritten;
    } else if (arg == u"--version") {
      return platform::WriteStandardStream(1, "fenwrack-capture " FENWRACK_VERSION
                                              ", product-code table " +
                                                  ProductTableDigest() + "\n")
                 ? kComplete
                 : kNotWritten;
    } else if (arg == u"--firmware" && i + 1 < args.size() &&
               (args[i + 1] == u"closes" || args[i + 1] == u"hangs")) {
      reaction = args[++i] == u"closes" ? FirmwareReaction::kCloses : FirmwareReaction::kHangs;
    } else if (arg == u"--firmware") {
      Say("--firmware takes closes or hangs (see --help)");
      return kUsageError;
    } else if (arg.size() > 1 && arg[0] == u'-' && arg != u"-") {
      Say("unknown option " + Utf8(arg) + " (see --help)");
      return kUsageError;
    } else if (named) {
      Say("one output file only (see --help)");
      return kUsageError;
    } else {
      output = arg;
      named = true;
    }
  }

  try {
    const Capture capture = CaptureMachine(reaction);
    for (const std::string& line : capture.assumptions)
      Say(line);
    for (const std::string& line : capture.unknown)
      Say("unknown: " + line);
    if (!WriteMachine(output, capture.machine.Text())) {
      Say("cannot write " + (output == u"-" ? std::string("standard output") : Utf8(output)));
      return kNotWritten;
    }
    return capture.unknown.empty() ? kComplete : kPartial;
  } catch (const std::bad_alloc&) {
    Say("out of memory: nothing was written");
    return kNotWritten;
  }
}

}  // namespace capture
