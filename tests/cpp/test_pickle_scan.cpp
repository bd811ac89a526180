#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "calibration/pickle_scan.h"

using brimo::pickle::OpcodeScan;
using Found = OpcodeScan::Found;
using namespace std::string_literals;

// The scan gives the same answer however the bytes are split: whole, or one byte at a time.
TEST(OpcodeScan, FindsHostileOpcodesInAnyPieces) {
    struct Case { const char* what; std::string pickle; Found found; std::size_t cut; };
    const std::vector<Case> cases = {
        {"LONG_BINPUT 2^31-1", "N\x72\xff\xff\xff\x7f."s, Found::MemoIndex, 2},
        {"PUT beyond the opcodes", "Np99999999999\n."s, Found::MemoIndex, 2},
        {"PUT with blanks and _", "NNNp 1_2 \n."s, Found::MemoIndex, 4},
        {"dense memo", "N\x71\x00NN\x71\x02p3\nr\x04\x00\x00\x00\x94."s, Found::Nothing, 0},
        {"negative PUT is the unpickler's", "Np-99999\n."s, Found::Nothing, 0},
        {"EXT1", "\x80\x02\x82\x2a."s, Found::Extension, 3},
        {"EXT4 after GLOBAL lines", "cos\nsystem\n\x84\x01\x00\x00\x00."s, Found::Extension, 12},
        {"BYTEARRAY8 of 2^40", "\x80\x05\x96\x00\x00\x00\x00\x00\x01\x00\x00."s, Found::Length, 3},
        {"BINUNICODE longer than the bound", "X\x01\x00\x00\x40"s, Found::Length, 1},
        {"opcodes inside counted bytes", "C\x05r\xff\xff\xff\x7f\x82\x01."s, Found::Extension, 8},
        {"opcodes inside a text line", "S'r\xff\xff\xff\x7f'\nN."s, Found::Nothing, 0},
        {"after STOP", "N.r\xff\xff\xff\x7f"s, Found::Nothing, 0},
        {"after an unknown opcode", "\xffr\xff\xff\xff\x7f"s, Found::Nothing, 0},
        {"after a negative BINSTRING", "T\xff\xff\xff\xffr\xff\xff\xff\x7f"s, Found::Nothing, 0},
        {"frames and 8-byte lengths", "\x80\x04\x95\x03\x00\x00\x00\x00\x00\x00\x00\x8e\x01\x00\x00\x00\x00\x00\x00\x00r\x82\x01."s,
         Found::Extension, 22},
    };
    constexpr std::uint64_t kMax = std::uint64_t(1) << 30;
    for (const Case& c : cases) {
        const auto* p = reinterpret_cast<const std::uint8_t*>(c.pickle.data());
        OpcodeScan whole(kMax);
        const std::size_t safe = whole.feed({p, c.pickle.size()});
        EXPECT_EQ(whole.found(), c.found) << c.what;
        EXPECT_EQ(safe, c.found == Found::Nothing ? c.pickle.size() : c.cut) << c.what;

        // One byte at a time, the bytes of the argument before its last one have been handed out:
        // never the byte that completes it.
        OpcodeScan bytes(kMax);
        std::size_t handed = 0, fed = 0;
        for (; fed < c.pickle.size() && bytes.found() == Found::Nothing; ++fed) handed += bytes.feed({p + fed, 1});
        EXPECT_EQ(bytes.found(), c.found) << c.what;
        EXPECT_EQ(bytes.argument(), whole.argument()) << c.what;
        if (c.found != Found::Nothing) {
            EXPECT_GE(handed, c.cut) << c.what;
            EXPECT_EQ(handed + 1, fed) << c.what;
        }
    }
}
