// The installer product codes of the firmware, compiled in from removal/product_codes.txt.
#pragma once

inline constexpr int kProductCodeSlots = 96;
inline constexpr int kProductCodeSlotSize = 80;  // one NUL-terminated narrow string

// Filled from slot 0 upwards; an empty slot is free.
extern const char ProductCodeTable[kProductCodeSlots][kProductCodeSlotSize];

#ifdef FENWRACK_SIMULATOR
// The same table as storage, which fenwrack-sim --product-codes may fill before a run.
extern char SimulatedProductCodes[kProductCodeSlots][kProductCodeSlotSize];
#endif
