// Another product-code table for the runs of fenwrack-sim, without a build.
#pragma once

#include <optional>
#include <string>

#include "removal/product_code_table.h"

namespace fenwrack_sim {

// Reads a product-code file into `table` with the build's rules and messages (see
// cmake/GenerateProductCodes.cmake); the message of the first misfit, "FILE:LINE: ...", if any.
// What a product-code table holds: a braced GUID, as the table generator accepts it.
bool IsProductCode(const std::string& code);

std::optional<std::string> ReadProductCodes(const std::string& path,
                                            char (&table)[kProductCodeSlots][kProductCodeSlotSize]);

}  // namespace fenwrack_sim
