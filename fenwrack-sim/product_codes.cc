// Product-code files read as cmake/GenerateProductCodes.cmake reads them: keep the two alike.
#include "fenwrack-sim/product_codes.h"

#include <algorithm>
#include <cstring>
#include <regex>

#include "platform/host/host.h"

namespace fenwrack_sim {

bool IsProductCode(const std::string& code) {
  static const std::regex kGuid(
      R"(\{[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}\})");
  return std::regex_match(code, kGuid);
}

std::optional<std::string> ReadProductCodes(
    const std::string& path, char (&table)[kProductCodeSlots][kProductCodeSlotSize]) {
  std::string text;
  if (const auto error = host::ReadWholeFile(path, text)) {
    switch (error->kind) {
      case host::FileError::Kind::kNotFound:
        return path + ": product-code file not found";
      case host::FileError::Kind::kDirectory:
        return path + ": a directory, not a product-code file";
      case host::FileError::Kind::kOther:
        return path + ": cannot be read: " + error->reason;
    }
  }
  std::erase(text, '\r');
  static const char* const kBlanks = " \t\n\v\f";  // what string(STRIP) takes off
  std::memset(table, 0, sizeof table);
  int count = 0, number = 0;
  for (std::size_t start = 0; start <= text.size(); ++number) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    std::string code = text.substr(start, end - start);
    start = end + 1;
    code.erase(0, code.find_first_not_of(kBlanks));
    code.erase(code.find_last_not_of(kBlanks) + 1);
    const std::string at = path + ":" + std::to_string(number + 1) + ": ";
    if (code.empty() || code[0] == '#')
      continue;
    if (code.size() > kProductCodeSlotSize - 1) {
      return at + "product code is " + std::to_string(code.size()) +
             " characters long; a slot holds at most " + std::to_string(kProductCodeSlotSize - 1);
    }
    if (!IsProductCode(code))
      return at + "not a braced GUID such as {01234567-89AB-CDEF-0123-456789ABCDEF}: '" + code +
             "'";
    if (++count > kProductCodeSlots) {
      return at + "more than " + std::to_string(kProductCodeSlots) +
             " product codes; the table has " + std::to_string(kProductCodeSlots) + " slots";
    }
    std::memcpy(table[count - 1], code.data(), code.size());
  }
  return std::nullopt;
}

}  // namespace fenwrack_sim
