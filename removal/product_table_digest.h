// Which product-code table a program holds, in a few characters: the first 12 hex digits of the
// 64-bit FNV-1a of the table's codes in slot order, each followed by a line feed (empty slots add
// nothing). For --version lines, so that programs built or run with one table say the same.
#pragma once

#include <cstdint>
#include <string>

#include "removal/product_code_table.h"

inline std::string ProductTableDigest() {
  std::uint64_t hash = 0xCBF29CE484222325u;
  const auto add = [&hash](char c) {
    hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001B3u;
  };
  for (const auto& slot : ProductCodeTable) {
    for (int i = 0; i < kProductCodeSlotSize && slot[i] != '\0'; ++i)
      add(slot[i]);
    if (slot[0] != '\0')
      add('\n');
  }
  std::string digest;
  for (int shift = 60; digest.size() < 12; shift -= 4)
    digest += "0123456789abcdef"[(hash >> shift) & 0xF];
  return digest;
}
