// Number formatting of the CSV files: every cell is a 32-bit float written as the shortest decimal that
// reads back as the same float, positionally (never with an exponent) and without a trailing decimal
// point or zero. NaN is the empty cell.
#pragma once

#include <cstddef>

namespace brimo {

// Longest text format_float can produce: the smallest negative subnormal, "-0." followed by 44 zeros
// and up to 9 significant digits, is 56 characters.
inline constexpr std::size_t kMaxFloatChars = 64;

// Writes `value` at `out` (at least kMaxFloatChars bytes of room) and returns the end of the text.
// NaN writes nothing; infinities are "inf" and "-inf"; a negative zero is "-0".
char* format_float(char* out, float value);

}  // namespace brimo
