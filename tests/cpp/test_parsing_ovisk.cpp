#include <gtest/gtest.h>

#include <limits>

#include "packet_test_support.h"

using namespace brimo;
using namespace brimo::testing;

namespace {

struct Window {
    std::uint16_t header;
    std::vector<std::uint16_t> samples;
};
struct ChipBlock {
    std::vector<std::uint16_t> headers;  // chip header words; word 0 carries the chip number
    std::vector<Window> windows;
};

// Chip blocks joined by the stop word, then the final word that is never examined.
Packet ovisk_packet(const std::vector<ChipBlock>& chips, std::uint16_t stop = 0xFFFF, std::uint16_t last = 0xFFFF) {
    Packet pk;
    for (std::size_t k = 0; k < chips.size(); ++k) {
        if (k) pk.be(stop);
        pk.be(chips[k].headers);
        for (const Window& w : chips[k].windows) pk.be(w.header).be(w.samples);
    }
    return pk.be(last);
}

// The worked example: C = 3, F = 1, S = 4, two chip blocks.
const std::vector<std::uint16_t> kWorked{0x1000, 0, 0, 0x0105, 1, 2, 3, 4, 0xFFFF, 0x0000, 0, 0, 0x0002, 5, 6, 7, 8, 0xFFFF};

}  // namespace

TEST(Ovisk, WorkedExample) {
    const Params p = make_params("ovisk_mirran", 8, 8, 4);  // 4 channels per chip
    Packet pk;
    pk.be(kWorked);
    ASSERT_EQ(pk.bytes.size(), 36u);
    const auto r = parse<OviskEvent>(pk, p);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->data.size(), 8u);
    EXPECT_EQ(r->data[5], (std::vector<float>{1, 2, 3, 4}));
    EXPECT_EQ(r->window_labels[5], std::vector<std::uint16_t>{5});
    EXPECT_EQ(r->time[5], iota16(4));
    EXPECT_EQ(r->data[0], (std::vector<float>{5, 6, 7, 8}));
    EXPECT_EQ(r->window_labels[0], std::vector<std::uint16_t>{2});
    for (int c : {1, 2, 3, 4, 6, 7}) EXPECT_TRUE(r->data[c].empty() && r->time[c].empty());

    // Without its final word, the 8 becomes the unexamined word and the second block is 7 words.
    pk.bytes.resize(34);
    EXPECT_TRUE(fails_with(parse<OviskEvent>(pk, p), ParsingError::UnexpectedLength));
}

TEST(Ovisk, RoundTripWithTimeAxes) {
    // Two chips of two channels (channels 4, "num_chips" 2), windows wrapping around the buffer.
    const Params p = make_params("ovisk_pellor", 4, 8, 3);
    const std::vector<ChipBlock> chips{
        {{0x0000, 7, 7}, {{0x0006, {1, 2, 3}}, {0x0007, {4, 5, 6}}, {0x0100, {7, 8, 9}}, {0x0001, {10, 11, 12}}}},
        {{0x1000, 7, 7}, {{0x0103, {0xF123, 0x0FFF, 0}}}},
        {{0x1000, 7, 7}, {}},  // headers but no windows: adds nothing
    };
    const auto r = parse<OviskEvent>(ovisk_packet(chips), p);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->window_labels[0], (std::vector<std::uint16_t>{6, 7, 1}));
    EXPECT_EQ(r->data[0], (std::vector<float>{1, 2, 3, 4, 5, 6, 10, 11, 12}));
    // Relative windows 0, 1 and, wrapping around the 8-window buffer, 1 + 8 - 6 = 3.
    EXPECT_EQ(r->time[0], (std::vector<std::uint16_t>{0, 1, 2, 3, 4, 5, 9, 10, 11}));
    EXPECT_EQ(r->window_labels[1], std::vector<std::uint16_t>{0});
    EXPECT_EQ(r->data[3], (std::vector<float>{291, 4095, 0}));  // 0xF123 & 0x0FFF = 0x123
    EXPECT_EQ(r->window_labels[3], std::vector<std::uint16_t>{3});
}

TEST(Ovisk, OrderOfChecks) {
    const Params p = make_params("ovisk_mirran", 8, 8, 4);
    Params zero_chips = p;
    set_key(zero_chips, "num_chips", u(0));
    Params zero_window = make_params("ovisk_mirran", 8, 8, 0, {{"n_window_headers", u(0)}});
    Params no_chip_header = p;
    set_key(no_chip_header, "n_chip_headers", u(0));
    Packet worked;
    worked.be(kWorked);
    struct Case { const char* what; Packet pk; Params p; ParsingError e; };
    const Case cases[] = {
        {"empty", Packet{}, zero_chips, ParsingError::MissingData},
        {"odd", Packet{}.fill(3), zero_chips, ParsingError::UnexpectedLength},
        {"zero num_chips", worked, zero_chips, ParsingError::InvalidParameters},
        {"only the unexamined word", Packet{}.be(0x1000), p, ParsingError::UnexpectedLength},
        {"stop word then one word", Packet{}.be({0x1000, 0, 0, 0xFFFF, 0x1234}), p, ParsingError::UnexpectedLength},
        {"short chip block", Packet{}.be({0x1000, 0, 0xFFFF, 0x1000, 0, 0, 0}), p, ParsingError::UnexpectedLength},
        {"partial window block", Packet{}.be({0x1000, 0, 0, 0x0001, 1, 2, 0}), p, ParsingError::UnexpectedLength},
        {"zero window block", worked, zero_window, ParsingError::InvalidParameters},
        {"no header words, empty block", Packet{}.be({0xFFFF, 0}), no_chip_header, ParsingError::InvalidParameters},
        // Chip 15 with 4 channels per chip names channel 60.
        {"chip 15", Packet{}.be({0xF000, 0, 0, 0x0000, 1, 2, 3, 4, 0}), p, ParsingError::InvalidChannel},
        {"channel before later length error",
         Packet{}.be({0x1000, 0, 0, 0x0300, 1, 2, 3, 4, 0xFFFF, 0x1000, 0, 0}), make_params("ovisk_mirran", 6, 8, 4),
         ParsingError::InvalidChannel},
        // A window block size beyond 64 bits (or merely huge) fits in no chip block.
        {"samples beyond 64 bits", worked, make_params("ovisk_mirran", 8, 8, UINT64_MAX), ParsingError::UnexpectedLength},
        {"samples 2^62", worked, make_params("ovisk_mirran", 8, 8, std::uint64_t(1) << 62), ParsingError::UnexpectedLength},
        {"channels 2^40", worked, make_params("ovisk_mirran", std::uint64_t(1) << 40, 8, 4), ParsingError::InvalidParameters},
    };
    for (const Case& c : cases) EXPECT_TRUE(fails_with(parse<OviskEvent>(c.pk, c.p), c.e)) << c.what;
    // A chip block of headers only needs no window block size.
    EXPECT_TRUE(parse<OviskEvent>(Packet{}.be({0x1000, 0, 0, 0}), make_params("ovisk_mirran", 8, 8, UINT64_MAX)).ok());
}

TEST(Ovisk, EventChannelIsNotTruncatedTo16Bits) {
    // 16384 channels per chip: chip 4 starts at 65536, which in 16 bits would be channel 0.
    const Params p = make_params("ovisk_mirran", 32768, 8, 1);
    EXPECT_TRUE(fails_with(parse<OviskEvent>(Packet{}.be({0x4000, 0, 0, 0x0000, 1, 0}), p), ParsingError::InvalidChannel));
    const Params wide = make_params("ovisk_mirran", 2 * 65536 + 8, 8, 1);  // 65540 channels per chip
    const auto r = parse<OviskEvent>(Packet{}.be({0x1000, 0, 0, 0x0100, 9, 0}), wide);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->data[65541], std::vector<float>{9});
}

TEST(Ovisk, NonDefaultLayoutKeys) {
    // One chip header word, two window header words, stop word 0xAAAA, channel in bits 12..13 of the
    // window header (shift 28 acts as 12), window in the low nibble, 8-bit samples.
    const Params p = make_params("ovisk_mirran", 8, 16, 2,
                                 {{"n_chip_headers", u(1)}, {"n_window_headers", tagged(2)},
                                  {"chip_stop_word", u(0x1AAAA)}, {"chanmask", u(0x3000)}, {"chan_shift", u(28)},
                                  {"windmask", u(0x000F)}, {"databitmask", u(0x00FF)}, {"num_chips", u(4)}});
    const auto r = parse<OviskEvent>(
        Packet{}.be({0x2000, 0x203C, 0xFFFF, 0x1234, 0x5678, 0xAAAA, 0x1000, 0x1005, 0, 0xFFFF, 0x0101, 0}), p);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->data[2 * 2 + 2], (std::vector<float>{0x34, 0x78}));  // chip 2, channel 2 in the chip
    EXPECT_EQ(r->window_labels[6], std::vector<std::uint16_t>{0xC});
    EXPECT_EQ(r->data[2 * 1 + 1], (std::vector<float>{0xFF, 0x01}));
    EXPECT_EQ(r->window_labels[3], std::vector<std::uint16_t>{5});
}

TEST(Ovisk, UnusableLayoutKeysFallBackToDefaults) {
    expect_same_parse<OviskEvent>(Packet{}.be(kWorked), make_params("ovisk_mirran", 8, 8, 4),
                                  unusable_for({"num_chips", "databitmask", "chanmask", "chan_shift", "windmask",
                                                "chip_stop_word", "n_chip_headers", "n_window_headers"}));
}
