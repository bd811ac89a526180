// Number formatting of CSV cells, checked against fixed cases, every integer up to 2^24, and numpy's
// independent shortest-digit formatter on random bit patterns.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "export/float_format.h"

namespace {

std::string fmt(float f) {
    char buf[brimo::kMaxFloatChars];
    return std::string(buf, brimo::format_float(buf, f));
}

struct FloatCase {
    float value;
    const char* text;
};

class FloatFormatCases : public ::testing::TestWithParam<FloatCase> {};

TEST_P(FloatFormatCases, Shortest) { EXPECT_EQ(fmt(GetParam().value), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    FloatFormat, FloatFormatCases,
    ::testing::Values(FloatCase{0.0f, "0"}, FloatCase{-0.0f, "-0"}, FloatCase{42.0f, "42"},
                      FloatCase{-12.5f, "-12.5"}, FloatCase{0.1f, "0.1"}, FloatCase{1e-7f, "0.0000001"},
                      FloatCase{std::numeric_limits<float>::infinity(), "inf"},
                      FloatCase{-std::numeric_limits<float>::infinity(), "-inf"},
                      FloatCase{std::numeric_limits<float>::quiet_NaN(), ""},
                      FloatCase{-std::numeric_limits<float>::quiet_NaN(), ""},
                      FloatCase{1e20f, "100000000000000000000"}, FloatCase{16777216.0f, "16777216"},
                      FloatCase{16777218.0f, "16777218"}, FloatCase{-2047.5f, "-2047.5"},
                      FloatCase{3.4028235e38f, "340282350000000000000000000000000000000"},
                      FloatCase{1e-45f, "0.000000000000000000000000000000000000000000001"},
                      FloatCase{-1.1754944e-38f, "-0.000000000000000000000000000000000000011754944"},
                      FloatCase{123456.79f, "123456.79"}, FloatCase{0.3f, "0.3"},
                      // Around the short-fraction fast path: up to four decimals, then beyond it.
                      FloatCase{3563.75f, "3563.75"}, FloatCase{-1133.64f, "-1133.64"},
                      FloatCase{0.0001f, "0.0001"}, FloatCase{0.00012f, "0.00012"},
                      FloatCase{8388607.5f, "8388607.5"}, FloatCase{16777215.0f, "16777215"},
                      FloatCase{1.0000001f, "1.0000001"}, FloatCase{0.9999999f, "0.9999999"},
                      // Powers of two and the most digits after the point of the fast path.
                      FloatCase{0.0625f, "0.0625"}, FloatCase{0.03125f, "0.03125"},
                      FloatCase{1234.5677f, "1234.5677"}, FloatCase{2047.99988f, "2047.9999"},
                      FloatCase{0.000123456789f, "0.00012345679"}, FloatCase{3.0517578e-05f, "0.000030517578"},
                      FloatCase{1e-12f, "0.000000000001"},
                      FloatCase{-8388607.5f, "-8388607.5"}));

// Whole numbers below 2^24 are exact and are written as the integer itself.
TEST(FloatFormat, EveryIntegerUpTo2Pow24) {
    char buf[brimo::kMaxFloatChars];
    for (std::int32_t i = -(1 << 24); i <= (1 << 24); ++i) {
        char* end = brimo::format_float(buf, static_cast<float>(i));
        const std::string expect = std::to_string(i);
        if (std::string_view(buf, end - buf) != expect) {
            FAIL() << "integer " << i << " written as " << std::string(buf, end);
        }
        // The integer writer of the rows' window numbers and times gives the same text.
        if (i >= 0 && i < (1 << 24)) {
            end = brimo::format_small_uint(buf, static_cast<std::uint32_t>(i));
            if (std::string_view(buf, end - buf) != expect) {
                FAIL() << "unsigned " << i << " written as " << std::string(buf, end);
            }
        }
    }
}

// About three million patterns (random ones, more of them in the range of calibrated samples, and their
// negations). Every output must read back as the same float and be no longer than needed; numpy's Dragon4
// positional formatter (unique=True) is the independent reference.
TEST(FloatFormat, MatchesNumpyOnRandomPatterns) {
    if (std::system("python3 -c 'import numpy' >/dev/null 2>&1") != 0) GTEST_SKIP() << "python3 with numpy not available";

    std::vector<std::uint32_t> bits;
    std::mt19937 rng(20240611);
    for (int i = 0; i < 1'000'000; ++i) bits.push_back(rng());
    // Calibrated samples: between 2^-10 and 2^24, where the digits are found without the general path.
    for (int i = 0; i < 500'000; ++i) bits.push_back(0x3A800000u + rng() % (0x4B800000u - 0x3A800000u));
    for (std::uint32_t m = 1; m < 20000; ++m) bits.push_back(m);                 // smallest subnormals
    for (std::uint32_t m = 0x007FFFFF; m > 0x007FFFFF - 20000; --m) bits.push_back(m);  // largest subnormals
    for (int e = -45; e <= 38; ++e) {
        const float p = std::strtof(("1e" + std::to_string(e)).c_str(), nullptr);
        for (float f : {p, std::nextafter(p, 0.0f), std::nextafter(p, INFINITY)}) {
            bits.push_back(std::bit_cast<std::uint32_t>(f));
        }
    }
    std::erase_if(bits, [](std::uint32_t b) { return std::isnan(std::bit_cast<float>(b)); });
    for (std::size_t i = 0, n = bits.size(); i < n; ++i) bits.push_back(bits[i] ^ 0x80000000u);

    const auto dir = std::filesystem::temp_directory_path() / ("brimo_float_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto in = dir / "bits.bin";
    const auto out = dir / "numpy.txt";
    {
        std::ofstream f(in, std::ios::binary);
        f.write(reinterpret_cast<const char*>(bits.data()), static_cast<std::streamsize>(bits.size() * 4));
    }
    const std::string script =
        "import sys, numpy as np\n"
        "a = np.fromfile(sys.argv[1], dtype='<u4').view(np.float32)\n"
        "f = np.format_float_positional\n"
        "open(sys.argv[2], 'w').write('\\n'.join(f(x, unique=True, trim='-') for x in a) + '\\n')\n";
    const std::string cmd = "python3 -c \"" + [&] {
        std::string s;
        for (char c : script) {
            if (c == '"' || c == '\\' || c == '$' || c == '`') s += '\\';
            s += c;
        }
        return s;
    }() + "\" '" + in.string() + "' '" + out.string() + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);

    std::ifstream ref(out);
    std::string line;
    std::size_t mismatches = 0;
    for (std::uint32_t b : bits) {
        ASSERT_TRUE(std::getline(ref, line));
        const float f = std::bit_cast<float>(b);
        const std::string got = fmt(f);
        if (got != line && ++mismatches <= 10) {
            ADD_FAILURE() << "bits 0x" << std::hex << b << ": got " << got << ", numpy " << line;
        }
    }
    EXPECT_EQ(mismatches, 0u);
    std::filesystem::remove_all(dir);
}

}  // namespace
