// Number formatting of the CSV files: every cell is a 32-bit float written as the shortest decimal that
// reads back as the same float, positionally (never with an exponent) and without a trailing decimal
// point or zero. NaN is the empty cell.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace brimo {

// Longest text format_float can produce: the smallest negative subnormal, "-0." followed by 44 zeros
// and up to 9 significant digits, is 56 characters.
inline constexpr std::size_t kMaxFloatChars = 64;

// Writes `value` at `out` (at least kMaxFloatChars bytes of room) and returns the end of the text.
// NaN writes nothing; infinities are "inf" and "-inf"; a negative zero is "-0".
char* format_float(char* out, float value);

// The decimal digits of `value`, which must be below 10^8. For a whole number below 2^24 (an exact
// float) this is the text format_float gives, reached without the float checks: the window numbers,
// times and event positions of every row take this path.
inline constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

inline char* format_small_uint(char* out, std::uint32_t value) {
    // Digits are placed from the right at their final positions: no variable-length copy.
    const int len = value < 10 ? 1
                    : value < 100 ? 2
                    : value < 1000 ? 3
                    : value < 10000 ? 4
                    : value < 100000 ? 5
                    : value < 1000000 ? 6
                    : value < 10000000 ? 7
                                       : 8;
    char* p = out + len;
    while (value >= 100) {
        p -= 2;
        std::memcpy(p, kDigitPairs + 2 * (value % 100), 2);
        value /= 100;
    }
    if (value >= 10) {
        std::memcpy(p - 2, kDigitPairs + 2 * value, 2);
    } else {
        p[-1] = static_cast<char>('0' + value);
    }
    return out + len;
}

}  // namespace brimo
