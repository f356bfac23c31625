#include "fenwrack-sim/warnings.h"

#include "fenwrack-sim/product_codes.h"
#include "firmware/process_names.h"
#include "firmware/window_closer.h"
#include "platform/text/ascii.h"
#include "platform/text/text.h"

namespace fenwrack_sim {

namespace {

using json = nlohmann::json;
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
  for (const std::string& server : Utf8(HungFirmwareNames)) {
    if (lower == AsciiLowered(server) && name != server)
      return "a hung " + name + " is never terminated by /restart: it kills \"" + server +
             "\" in exactly this case";
  }
  std::string meant = AsciiLowered(Trimmed(name));
  if (meant.size() < 4 || meant.compare(meant.size() - 4, 4, ".exe") != 0)
    meant += ".exe";
  for (const std::string& watched : Utf8(StopWorkerNames)) {
    if (meant == watched && lower != watched)
      return "\"" + name + "\" is never watched nor terminated: the tool looks for \"" + watched +
             "\", in any case";
  }
  return "";
}

std::string TitleWarning(const std::string& title) {
  for (const std::string& firmware : Utf8(FirmwareWindowTitles)) {
    if (title == firmware)
      return "";
  }
  for (const std::string& firmware : Utf8(FirmwareWindowTitles)) {
    const std::string a = AsciiLowered(Trimmed(title)), b = AsciiLowered(firmware);
    if (!a.empty() && (a.find(b) != std::string::npos || b.find(a) != std::string::npos))
      return "\"" + title + "\" is never asked to close: only a title of exactly \"" + firmware +
             "\" is";
  }
  return "";
}

// A process, or a name alone in what a script starts.
void ProcessWarnings(const json& process, const std::string& at, std::vector<std::string>& out) {
  const bool named = process.is_string();
  if (const std::string w = NameWarning(named ? process : process["name"]); !w.empty())
    out.push_back(at + (named ? "" : "/name") + ": " + w);
  if (named)
    return;
  const json& windows = process.value("windows", json::array());
  for (std::size_t i = 0; i < windows.size(); ++i) {
    const json& window = windows[i];
    const std::string title =
        window.is_string() ? window.get<std::string>() : window.value("title", std::string());
    if (const std::string w = TitleWarning(title); !w.empty())
      out.push_back(at + "/windows/" + std::to_string(i) + ": " + w);
  }
}

}  // namespace

std::vector<std::string> Warnings(const json& machine) {
  std::vector<std::string> out;
  const json& processes = machine.value("processes", json::array());
  for (std::size_t i = 0; i < processes.size(); ++i)
    ProcessWarnings(processes[i], "/processes/" + std::to_string(i), out);
  const json& files = machine.value("files", json::array());
  for (std::size_t i = 0; i < files.size(); ++i) {
    const json& starts = files[i].value("starts", json::array());
    for (std::size_t j = 0; j < starts.size(); ++j)
      ProcessWarnings(starts[j], "/files/" + std::to_string(i) + "/starts/" + std::to_string(j),
                      out);
  }
  const json& products = machine.value("products", json::array());
  for (std::size_t i = 0; i < products.size(); ++i) {
    const std::string code = products[i]["code"];
    if (!IsProductCode(code))
      out.push_back("/products/" + std::to_string(i) + "/code: \"" + code +
                    "\" is never removed: a product-code table holds braced GUIDs only");
  }
  return out;
}

}  // namespace fenwrack_sim
