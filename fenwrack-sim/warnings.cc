#include "fenwrack-sim/warnings.h"

#include "fenwrack-sim/product_codes.h"
#include "instrument/instrument.h"
#include "platform/text/ascii.h"
#include "platform/text/text.h"

namespace fenwrack_sim {

namespace {

using platform::text::AsciiLowered;

std::string Trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t");
  return first == std::string::npos ? ""
                                    : text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

template <std::size_t N>
std::vector<std::string> Utf8(const char16_t* const (&names)[N]) {
  std::vector<std::string> out;
  for (const char16_t* name : names)
    out.push_back(platform::text::Utf16ToUtf8Lossy(name));
  return out;
}

// What the tool would make of a process name, or nothing when it is fine or plainly unrelated.
std::string NameWarning(const std::string& name) {
  const std::string lower = AsciiLowered(name);
  for (const std::string& server : Utf8(instrument::HungFirmwareNames)) {
    if (lower == AsciiLowered(server) && name != server)
      return "a hung " + name + " is never terminated by /restart: it kills \"" + server +
             "\" in exactly this case";
  }
  std::string meant = AsciiLowered(Trimmed(name));
  if (meant.size() < 4 || meant.compare(meant.size() - 4, 4, ".exe") != 0)
    meant += ".exe";
  for (const std::string& watched : Utf8(instrument::StopWorkerNames)) {
    if (meant == watched && lower != watched)
      return "\"" + name + "\" is never watched nor terminated: the tool looks for \"" + watched +
             "\", in any case";
  }
  return "";
}

std::string TitleWarning(const std::string& title) {
  if (instrument::IsFirmwareWindowTitle(std::string_view(title)))
    return "";
  for (const std::string& firmware : Utf8(instrument::FirmwareWindowTitles)) {
    const std::string a = AsciiLowered(Trimmed(title)), b = AsciiLowered(firmware);
    if (!a.empty() && (a.find(b) != std::string::npos || b.find(a) != std::string::npos))
      return "\"" + title + "\" is never asked to close: only a title of exactly \"" + firmware +
             "\" is";
  }
  return "";
}

// A process, or a name alone in what a script starts.
void ProcessWarnings(const machine_file::ProcessDesc& process, bool named, const std::string& at,
                     std::vector<std::string>& out) {
  if (const std::string w = NameWarning(process.name); !w.empty())
    out.push_back(at + (named ? "" : "/name") + ": " + w);
  if (named)
    return;
  for (std::size_t i = 0; i < process.windows.size(); ++i) {
    if (const std::string w = TitleWarning(process.windows[i].title); !w.empty())
      out.push_back(at + "/windows/" + std::to_string(i) + ": " + w);
  }
}

}  // namespace

std::vector<std::string> Warnings(const machine_file::MachineModel& machine) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < machine.processes.size(); ++i)
    ProcessWarnings(machine.processes[i], false, "/processes/" + std::to_string(i), out);
  for (std::size_t i = 0; i < machine.files.size(); ++i) {
    const auto& starts = machine.files[i].starts;
    for (std::size_t j = 0; j < starts.size(); ++j)
      ProcessWarnings(starts[j], machine_file::WrittenAsName(starts[j]),
                      "/files/" + std::to_string(i) + "/starts/" + std::to_string(j), out);
  }
  for (std::size_t i = 0; i < machine.products.size(); ++i) {
    const std::string& code = machine.products[i].code;
    if (!IsProductCode(code))
      out.push_back("/products/" + std::to_string(i) + "/code: \"" + code +
                    "\" is never removed: a product-code table holds braced GUIDs only");
  }
  return out;
}

}  // namespace fenwrack_sim
