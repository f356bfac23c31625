// The simulator's own upper-case table against ICU's, unit by unit: the Linux and the Windows
// builds fold names alike only while the table is ICU's rule.
#include <unicode/uchar.h>

#include <gtest/gtest.h>

#include "platform/text/text.h"

TEST(UpperCase, EveryUnitFoldsAsIcuSays) {
  int wrong = 0;
  for (UChar32 c = 0; c <= 0xFFFF; ++c) {
    const bool surrogate = c >= 0xD800 && c <= 0xDFFF;
    const UChar32 upper = surrogate || u_toupper(c) > 0xFFFF ? c : u_toupper(c);
    const char16_t folded = platform::text::FoldUnit(static_cast<char16_t>(c));
    if (folded != upper && ++wrong <= 5)
      ADD_FAILURE() << std::hex << "U+" << c << " folds to U+" << int{folded} << ", ICU says U+"
                    << upper << " (Unicode " U_UNICODE_VERSION ")";
  }
  EXPECT_EQ(wrong, 0);
}
