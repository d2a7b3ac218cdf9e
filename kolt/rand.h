// Random characters from a chosen alphabet, drawn from the kernel's CSPRNG.
#pragma once

namespace kolt {

enum Rand_Char_Set : unsigned {
    RCS_NUM = 1,    // 0-9
    RCS_LOWER = 2,  // a-z
    RCS_UPPER = 4,  // A-Z
    RCS_NUM_LOWER = RCS_NUM | RCS_LOWER,
    RCS_NUM_UPPER = RCS_NUM | RCS_UPPER,
    RCS_ALPHA = RCS_LOWER | RCS_UPPER,
    RCS_ALNUM = RCS_NUM | RCS_LOWER | RCS_UPPER,
};

// One character, uniformly distributed over the union of the sets in `set`;
// '\0' when `set` names none of them or no random bytes can be had.
char rand_char(unsigned set);

}  // namespace kolt
