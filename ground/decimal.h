// Reading a decimal setting the same way in both programs.
#pragma once

/// The decimal number at the start of `text` as atoi reads it (leading white space, an
/// optional sign, digits; none give 0), clamped to the int range on every architecture.
/// `*out_of_range` (when given) tells whether it had to be clamped.
int decimal_int(const char* text, bool* out_of_range = nullptr);
