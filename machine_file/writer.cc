// The machine-file writer: fixed key order, and each value on one line when it fits.
#include <algorithm>
#include <string>
#include <vector>

#include "machine_file/machine.h"
#include "platform/text/json_string.h"

namespace machine_file {

namespace {

using nlohmann::json;

// Strings as nlohmann::json's dump writes them, ill-formed UTF-8 replaced.
std::string Quote(const std::string& text) {
  return platform::text::JsonString(text, platform::text::ControlEscapes::kShort);
}

std::string Dump(const json& value) {
  return value.is_string() ? Quote(value.get_ref<const std::string&>()) : value.dump();
}

// Fixed key order for machine files, so that dumps read like the documentation.
int KeyRank(const std::string& key) {
  static const char* const kOrder[] = {"environment",
                                       "files",
                                       "registry",
                                       "processes",
                                       "products",
                                       "system",
                                       "user",
                                       "faults",
                                       "pid",
                                       "key",
                                       "name",
                                       "path",
                                       "directory",
                                       "code",
                                       "title",
                                       "type",
                                       "data",
                                       "content",
                                       "starts",
                                       "windows",
                                       "state",
                                       "on_close",
                                       "exit_after_ms",
                                       "can_open",
                                       "can_terminate",
                                       "elevated",
                                       "ends_with",
                                       "readable",
                                       "writable",
                                       "protected",
                                       "title_readable",
                                       "accepts_posts",
                                       "removal_works",
                                       "administrator",
                                       "shutdown_privilege",
                                       "windows_folder",
                                       "power_off",
                                       "reboot",
                                       "interpreter_ms",
                                       "installer_ms",
                                       "registry_editor_ms",
                                       "closes_usage_box_after_ms",
                                       "status_window_key",
                                       "after_ms"};
  for (std::size_t i = 0; i < std::size(kOrder); ++i) {
    if (key == kOrder[i])
      return static_cast<int>(i);
  }
  return static_cast<int>(std::size(kOrder));
}

std::vector<std::string> OrderedKeys(const json& object) {
  std::vector<std::string> keys;
  for (const auto& item : object.items())
    keys.push_back(item.key());
  std::stable_sort(keys.begin(), keys.end(), [](const std::string& a, const std::string& b) {
    return KeyRank(a) < KeyRank(b);
  });
  return keys;
}

std::string Flat(const json& value) {
  if (value.is_object()) {
    std::string out = "{";
    for (const std::string& key : OrderedKeys(value))
      out += (out.size() > 1 ? ", " : "") + Quote(key) + ": " + Flat(value[key]);
    return out + "}";
  }
  if (value.is_array()) {
    std::string out = "[";
    for (const json& item : value)
      out += (out.size() > 1 ? ", " : "") + Flat(item);
    return out + "]";
  }
  return Dump(value);
}

void Pretty(const json& value, std::size_t indent, std::string& out) {
  const std::string flat = Flat(value);
  if (!value.is_structured() || value.empty() || indent + flat.size() <= 116) {
    out += flat;
    return;
  }
  const std::string pad(indent + 2, ' ');
  const bool object = value.is_object();
  out += object ? "{\n" : "[\n";
  bool first = true;
  if (object) {
    for (const std::string& key : OrderedKeys(value)) {
      out += (first ? "" : ",\n") + pad + Quote(key) + ": ";
      Pretty(value[key], indent + 2, out);
      first = false;
    }
  } else {
    for (const json& item : value) {
      out += (first ? "" : ",\n") + pad;
      Pretty(item, indent + 2, out);
      first = false;
    }
  }
  out += "\n" + std::string(indent, ' ') + (object ? "}" : "]");
}

}  // namespace

std::string FormatMachine(const nlohmann::json& machine) {
  std::string out;
  Pretty(machine, 0, out);
  return out + "\n";
}

}  // namespace machine_file
