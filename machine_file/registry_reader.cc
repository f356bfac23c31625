// Reading the machine file's registry entries: key paths, typed values, byte data.
#include <cctype>
#include <limits>
#include <map>

#include "machine_file/machine_model.h"
#include "machine_file/machine_reader.h"
#include "platform/text/text.h"

namespace machine_file {

using namespace platform::text;
using nlohmann::json;

namespace {

// Hex pairs, blanks or commas between them allowed ("01 00 ff"), or an array of byte values.
std::vector<std::uint8_t> ReadBytes(const Reader& r, const json& data, const std::string& at) {
  std::vector<std::uint8_t> bytes;
  if (data.is_array()) {
    r.Each(data, at, [&](const json& e, const std::string& w) {
      bytes.push_back(static_cast<std::uint8_t>(r.Unsigned(e, w, 0, 255)));
    });
    return bytes;
  }
  static const char* const kExpected = "bytes in hex, such as \"01 00 ff\"";
  if (!data.is_string())
    r.Expected(at, kExpected, data);
  std::string digits;
  for (const char c : data.get<std::string>()) {
    if (c == ' ' || c == ',')
      continue;
    if (!std::isxdigit(static_cast<unsigned char>(c)))
      r.Expected(at, kExpected, data);
    digits.push_back(c);
  }
  if (digits.size() % 2 != 0)
    r.Expected(at, kExpected, data);
  for (std::size_t i = 0; i < digits.size(); i += 2)
    bytes.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  return bytes;
}

// The value part of a registry entry that has a name.
RegValueDesc ReadRegValue(const Reader& r, const json& value, const std::string& where) {
  static constexpr RegType kTypes[] = {RegType::kDword, RegType::kQword, RegType::kSz,
                                       RegType::kBinary};
  RegValueDesc v;
  v.name = r.String(r.Required(value, where, "name"), Reader::At(where, "name"));
  v.type = kTypes[r.Word(r.Required(value, where, "type"), Reader::At(where, "type"),
                         {"REG_DWORD", "REG_QWORD", "REG_SZ", "REG_BINARY"})];
  const json& data = r.Required(value, where, "data");
  const std::string at = Reader::At(where, "data");
  switch (v.type) {
    case RegType::kDword:
    case RegType::kQword:
      v.number = r.Unsigned(
          data, at, 0,
          v.type == RegType::kDword ? 0xFFFFFFFF : std::numeric_limits<std::uint64_t>::max());
      break;
    case RegType::kSz:
      v.text = r.String(data, at);
      break;
    case RegType::kBinary:
      v.bytes = ReadBytes(r, data, at);
      break;
  }
  return v;
}

// A key path under HKEY_LOCAL_MACHINE, written without the root.
std::string ReadKeyPath(const Reader& r, const json& value, const std::string& where) {
  const std::string key = r.String(value, where, true);
  const std::size_t slash = key.find('\\');
  const std::string root = key.substr(0, slash);
  if (EqualNoCase(root, "HKEY_LOCAL_MACHINE") || EqualNoCase(root, "HKLM"))
    r.Fail(where, "", key,
           " starts with the root: leave out \"" + root + (slash == key.npos ? "" : "\\") +
               "\"; a key path starts below HKEY_LOCAL_MACHINE");
  static const char* const kOtherRoots[] = {"HKCU", "HKCR", "HKU", "HKCC"};
  if (EqualNoCase(root.substr(0, 5), "HKEY_") ||
      std::any_of(std::begin(kOtherRoots), std::end(kOtherRoots),
                  [&](const char* other) { return EqualNoCase(root, other); }))
    r.Fail(where, "only HKEY_LOCAL_MACHINE is simulated: write the path below it, without a root");
  if (key.front() == '\\' || key.back() == '\\')
    r.Fail(where,
           "expected a key path under HKEY_LOCAL_MACHINE, without a leading or trailing "
           "backslash");
  return key;
}

}  // namespace

void ReadRegistry(const Reader& r, const json& entries, const std::string& where, MachineModel& m) {
  std::map<std::string, std::size_t> keys;    // folded key -> index in m.registry
  std::map<std::string, std::string> values;  // folded key and name -> place
  r.Each(entries, where, [&](const json& entry, const std::string& at) {
    r.Object(entry, at, {"key", "name", "type", "data"});
    const std::string key = ReadKeyPath(r, r.Required(entry, at, "key"), Reader::At(at, "key"));
    const auto [k, freshKey] = keys.emplace(FoldUtf8(key), m.registry.size());
    if (freshKey)
      m.registry.push_back({key, {}});
    if (!entry.contains("name")) {
      for (const char* part : {"type", "data"}) {
        if (entry.contains(part))
          r.Fail(Reader::At(at, part), "a value needs a name (\"\" for the default value)");
      }
      return;
    }
    RegValueDesc value = ReadRegValue(r, entry, at);
    const auto [v, freshValue] = values.emplace(FoldUtf8(key) + "\n" + FoldUtf8(value.name), at);
    if (!freshValue)
      r.Fail(Reader::At(at, "name"), "the same value as " + v->second + " (names ignore case)");
    m.registry[k->second].values.push_back(std::move(value));
  });
}

}  // namespace machine_file
