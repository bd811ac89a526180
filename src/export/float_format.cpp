#include "export/float_format.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace brimo {

namespace {

// Positional form of the shortest round-trip digits. std::to_chars with chars_format::fixed is not
// enough: it prints the float's exact binary value (1e20f as "100000002004087734272"), while the
// shortest digits that read back as the same float are "1" with exponent 20. The scientific form of
// to_chars gives exactly those digits; they are laid out here without exponent.
char* format_general(char* out, float value) {
    char sci[32];
    const auto res = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific);
    const char* p = sci;
    const char* const end = res.ptr;
    if (*p == '-') {
        *out++ = '-';
        ++p;
    }
    // Mantissa "d" or "d.ddd", then 'e', a sign and the decimal exponent.
    char digits[16];
    int n = 0;
    for (; p != end && *p != 'e'; ++p) {
        if (*p != '.' && n < static_cast<int>(sizeof digits)) digits[n++] = *p;
    }
    int exponent = 0;
    if (p != end) {
        ++p;  // 'e'
        const bool negative = (*p == '-');
        if (*p == '-' || *p == '+') ++p;
        std::from_chars(p, end, exponent);
        if (negative) exponent = -exponent;
    }
    while (n > 1 && digits[n - 1] == '0') --n;

    // The value is d0.d1d2... x 10^exponent.
    if (exponent >= 0) {
        const int int_digits = exponent + 1;
        if (n <= int_digits) {
            std::memcpy(out, digits, n);
            out += n;
            std::memset(out, '0', int_digits - n);
            out += int_digits - n;
        } else {
            std::memcpy(out, digits, int_digits);
            out += int_digits;
            *out++ = '.';
            std::memcpy(out, digits + int_digits, n - int_digits);
            out += n - int_digits;
        }
    } else {
        *out++ = '0';
        *out++ = '.';
        std::memset(out, '0', -exponent - 1);
        out += -exponent - 1;
        std::memcpy(out, digits, n);
        out += n;
    }
    return out;
}

// Fast path for the non-integers of calibrated data (a raw sample minus a pedestal): values below
// 2^24 whose shortest form has at most kMaxFractionDigits digits after the point. Returns nullptr
// when the value needs more; format_general handles it then.
//
// The decimals that read back as `value` are exactly those inside its rounding interval, bounded by
// the midpoints to its neighbouring floats (inclusive when its significand is even, since a decimal
// on a midpoint reads back as the even neighbour). With d digits after the point, the candidate
// nearest to `value` is N / 10^d with N = round(value * 10^d); when the interval is symmetric around
// the value and any d-digit decimal lies in it, this one does. The smallest d with a candidate gives
// the shortest form, and that form has no trailing zero (N / 10 would have been a candidate one digit
// earlier). No d = 0 candidate exists for a non-integer: integers below 2^24 are floats themselves.
//
// All products below are exact in double: the midpoints have at most 25 significant bits and
// 10^d = 2^d * 5^d with 5^d < 2^28 for d <= 12. The first d with a candidate has 10^-(d-1) above the
// interval's width, so N stays below 2^28: an exact double, and a 32-bit integer.
//
// Powers of two have a lower neighbour twice as close as the upper one; the nearest candidate may
// then lie outside while a farther one lies inside. They keep to at most kPow2FractionDigits digits
// here, where no such case exists (every power of two from 2^-4 up is covered; smaller ones need
// more digits and take format_general).
constexpr int kMaxFractionDigits = 12;
constexpr int kPow2FractionDigits = 4;

char* format_fraction(char* out, float value) {
    // Neighbours by their bit patterns: |value| is, finite, non-zero and below 2^24 here.
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(value) & 0x7FFFFFFFu;
    const double v = std::bit_cast<float>(bits);
    const double below = 0.5 * (v + static_cast<double>(std::bit_cast<float>(bits - 1)));
    const double above = 0.5 * (v + static_cast<double>(std::bit_cast<float>(bits + 1)));
    const bool even = (bits & 1u) == 0;
    const int max_digits = (bits & 0x7FFFFFu) == 0 ? kPow2FractionDigits : kMaxFractionDigits;
    // Adding and removing 2^52 rounds a value below 2^51 to an integer, ties to even (the default
    // rounding mode), without a library call.
    constexpr double kRound = 4503599627370496.0;
    double scale = 1.0;
    int d = 1;
    double n = 0;
    for (;; ++d) {
        if (d > max_digits) return nullptr;
        scale *= 10.0;
        n = (v * scale + kRound) - kRound;
        const double lo = below * scale;
        const double hi = above * scale;
        if (even ? (n >= lo && n <= hi) : (n > lo && n < hi)) break;
    }

    // The digits of N, right-aligned at the middle of a buffer of zeros, so that the first d + 1 of the
    // 16 digits before the middle hold at least "0" for the whole part. Fixed-size copies follow: the
    // bytes past the text at `out` are overwritten by the next field or never counted.
    char digits[32];
    std::memset(digits, '0', sizeof digits);
    char* const end = digits + 16;
    char* p = end;
    auto x = static_cast<std::uint32_t>(n);
    while (x >= 100) {
        p -= 2;
        std::memcpy(p, kDigitPairs + 2 * (x % 100), 2);
        x /= 100;
    }
    if (x >= 10) {
        p -= 2;
        std::memcpy(p, kDigitPairs + 2 * x, 2);
    } else {
        *--p = static_cast<char>('0' + x);
    }
    if (end - p <= d) p = end - d - 1;
    const auto whole = end - p - d;

    if (std::signbit(value)) *out++ = '-';
    std::memcpy(out, p, 16);
    out += whole;
    std::memcpy(out + 1, p + whole, 16);
    *out = '.';
    return out + 1 + d;
}

}  // namespace

char* format_float(char* out, float value) {
    if (std::isnan(value)) return out;
    // Whole numbers below 2^24 are exact and adjacent floats are at most 1 apart, so the integer's own
    // decimal digits are the shortest round-trip form. Raw samples, window numbers, times and event
    // positions all take this path.
    if (std::fabs(value) < 16777216.0f) {
        const auto i = static_cast<std::int32_t>(value);
        if (static_cast<float>(i) == value) {
            if (i == 0) {
                if (std::signbit(value)) *out++ = '-';
                *out++ = '0';
                return out;
            }
            if (i < 0) *out++ = '-';
            return format_small_uint(out, static_cast<std::uint32_t>(i < 0 ? -i : i));
        }
        if (char* end = format_fraction(out, value)) return end;
    }
    if (std::isinf(value)) {
        if (value < 0) *out++ = '-';
        std::memcpy(out, "inf", 3);
        return out + 3;
    }
    return format_general(out, value);
}

}  // namespace brimo
