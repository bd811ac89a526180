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
            return std::to_chars(out, out + kMaxFloatChars, i).ptr;
        }
    }
    if (std::isinf(value)) {
        if (value < 0) *out++ = '-';
        std::memcpy(out, "inf", 3);
        return out + 3;
    }
    return format_general(out, value);
}

}  // namespace brimo
