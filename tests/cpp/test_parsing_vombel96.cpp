#include <gtest/gtest.h>

#include <limits>

#include "packet_test_support.h"

using namespace brimo;
using namespace brimo::testing;

namespace {

// One channel block: the header word and the sample values (stored inverted by the builder).
struct Block {
    std::uint16_t header;
    std::vector<std::uint16_t> values;
};
struct Chip {
    std::uint8_t byte0;
    std::vector<Block> blocks;
};
struct Layout {
    std::size_t chip_headers = 1, chip_footers = 3, window_headers = 1, window_footers = 1, event_footers = 2;
};

Packet vombel_packet(const std::vector<Chip>& chips, Layout l = {}) {
    Packet pk;
    for (const Chip& c : chips) {
        const std::size_t start = pk.bytes.size();
        pk.fill(l.chip_headers, 0xEE);
        if (l.chip_headers > 0) pk.bytes[start] = c.byte0;
        for (const Block& b : c.blocks) {
            pk.le(b.header);
            for (std::size_t k = 1; k < l.window_headers; ++k) pk.le(0xBEEF);
            for (auto v : b.values) pk.le(static_cast<std::uint16_t>(~v));
            for (std::size_t k = 0; k < l.window_footers; ++k) pk.le(0xD00D);
        }
        pk.fill(l.chip_footers, 0xCC);
        if (l.chip_headers == 0 && pk.bytes.size() > start) pk.bytes[start] = c.byte0;
    }
    return pk.fill(l.event_footers, 0xFF);
}

// With params "channels" 96 and the defaults: six chips of sixteen channels.
Params vombel_params(std::uint64_t windows, std::uint64_t samples, std::uint64_t channels = 96) {
    return make_params("vombel96", channels, windows, samples);
}

Chip full_chip(std::uint8_t chip, std::uint64_t windows, std::uint64_t samples, std::uint16_t first_window) {
    Chip c{chip, {}};
    for (std::uint16_t ch = 0; ch < 16; ++ch)
        c.blocks.push_back({static_cast<std::uint16_t>(ch << 8 | first_window),
                            iota16(windows * samples, static_cast<std::uint16_t>(40 * ch + chip))});
    return c;
}

}  // namespace

TEST(Vombel96, FullPacketRoundTrip) {
    const std::uint64_t W = 4, S = 8;
    std::vector<Chip> chips;
    for (std::uint8_t chip = 0; chip < 6; ++chip) chips.push_back(full_chip(chip, W, S, 2));
    const Packet pk = vombel_packet(chips);
    ASSERT_EQ(pk.bytes.size(), 6 * (4 + 32 * (2 + W * S)) + 2);

    auto r = parse<Vombel96Event>(pk, vombel_params(W, S));
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->chip_numbers, (std::vector<std::uint8_t>{0, 1, 2, 3, 4, 5}));
    ASSERT_EQ(r->data.size(), 96u);
    ASSERT_EQ(r->ecc_errors.size(), 96u);
    for (std::size_t c = 0; c < 96; ++c) {
        const std::uint16_t chip = static_cast<std::uint16_t>(c / 16), ch = static_cast<std::uint16_t>(c % 16);
        EXPECT_EQ(r->data[c], as_floats(iota16(W * S, static_cast<std::uint16_t>(40 * ch + chip)))) << c;
        EXPECT_EQ(r->window_labels[c], (std::vector<std::uint16_t>{2, 3, 0, 1}));
        EXPECT_EQ(r->time[c], iota16(W * S));
        EXPECT_TRUE(r->ecc_errors[c].empty());
    }
}

TEST(Vombel96, WorkedHeaderNamesChannelAndCyclicLabels) {
    // Header 0x05A3 in the block of chip 2: channel 2*16 + 5 = 37, first window 163.
    Chip chip{2, std::vector<Block>(16, Block{0x0F00, iota16(2 * 4)})};
    chip.blocks[0].header = 0x05A3;
    const auto r = parse<Vombel96Event>(vombel_packet({chip}), vombel_params(2, 4));
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->window_labels[37], (std::vector<std::uint16_t>{1, 0}));  // 163 % 2, 164 % 2
    EXPECT_EQ(r->time[37], iota16(8));
    EXPECT_EQ(r->data[47].size(), 15u * 8);  // channel 32 + 15 named by the other fifteen blocks
}

TEST(Vombel96, EventFooterAloneIsAnEmptyEvent) {
    const auto r = parse<Vombel96Event>(Packet{}.fill(2), vombel_params(4, 8));
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(r->chip_numbers.empty());
    ASSERT_EQ(r->ecc_errors.size(), 96u);
    for (std::size_t c = 0; c < 96; ++c) EXPECT_TRUE(r->data[c].empty() && r->time[c].empty() && r->ecc_errors[c].empty());
}

TEST(Vombel96, SampleWordsAreOnesComplementUnderMask) {
    struct Case { std::uint16_t stored; std::uint64_t mask; bool set; float value; };
    for (const Case& c : {Case{0xFFFF, 0, false, 0.f}, Case{0xFC00, 0, false, 1023.f}, Case{0x0000, 0, false, 1023.f},
                          Case{0x0000, 0xFFFF, true, 65535.f}, Case{0x0000, 0x1000F, true, 15.f},
                          Case{0x1234, 0x0FFF, true, float(0xDCB)}}) {
        Params p = make_params("vombel96", 6, 1, 1);  // one channel per chip
        if (c.set) set_key(p, "data_mask", u(c.mask));
        Packet pk;
        pk.byte(0).le(0x0000).le(c.stored).le(0).fill(3).fill(2);
        const auto r = parse_into<Vombel96Event>(pk.span(), p);
        ASSERT_TRUE(r.ok());
        EXPECT_EQ(r->data[0], std::vector<float>{c.value}) << std::hex << c.stored;
    }
}

TEST(Vombel96, OrderOfChecks) {
    const Params p = vombel_params(1, 1);
    Chip bad{0, std::vector<Block>(16, Block{0x0000, {1}})};
    bad.blocks[3].header = 0xFF00;  // channel in chip 255
    struct Case { const char* what; Packet pk; Params p; ParsingError e; };
    Params channels100 = vombel_params(1, 1, 100);
    Params zero_chips = p;
    set_key(zero_chips, "num_chips", u(0));
    Params zero_chip_size = make_params("vombel96", 5, 1, 1, {{"n_chip_headers", u(0)}, {"n_chip_footers", u(0)}});
    Params zero_block = make_params("vombel96", 6, 0, 0, {{"n_window_headers", u(0)}, {"n_window_footers", u(0)}});
    Params footers4 = p;
    set_key(footers4, "n_event_footers", u(4));
    const Case cases[] = {
        {"empty", Packet{}, p, ParsingError::MissingData},
        {"one byte", Packet{}.fill(1), p, ParsingError::UnexpectedLength},
        {"odd before zero num_chips", Packet{}.fill(3), zero_chips, ParsingError::UnexpectedLength},
        {"zero num_chips", Packet{}.fill(2), zero_chips, ParsingError::InvalidParameters},
        {"shorter than the event footer", Packet{}.fill(2), footers4, ParsingError::UnexpectedLength},
        {"zero chip size", Packet{}.fill(2), zero_chip_size, ParsingError::InvalidParameters},
        {"not whole chip blocks", vombel_packet({bad}).fill(2), p, ParsingError::UnexpectedLength},
        {"channel 255 in chip", vombel_packet({bad}), p, ParsingError::InvalidChannel},
        {"zero channel block with a chip block", Packet{}.byte(0).fill(3).fill(2), zero_block,
         ParsingError::InvalidParameters},
        {"channels above 96", Packet{}.fill(2), channels100, ParsingError::MissingData},
    };
    for (const Case& c : cases) EXPECT_TRUE(fails_with(parse<Vombel96Event>(c.pk, c.p), c.e)) << c.what;

    // A zero channel block size is harmless when there is no chip block at all.
    EXPECT_TRUE(parse<Vombel96Event>(Packet{}.fill(2), zero_block).ok());
}

TEST(Vombel96, ChipNumberIsLowSixBitsOfByteZeroEvenWithoutChipHeader) {
    // With no chip header byte, byte 0 is also the low byte of the first block header word.
    Layout l;
    l.chip_headers = 0;
    l.chip_footers = 4;
    Params p = make_params("vombel96", 6, 1, 1, {{"n_chip_headers", u(0)}, {"n_chip_footers", u(4)}});
    const auto r = parse<Vombel96Event>(vombel_packet({Chip{0xC2, {Block{0x0000, {7}}}}}, l), p);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->chip_numbers, std::vector<std::uint8_t>{2});
    EXPECT_EQ(r->data[2], std::vector<float>{7.f});  // one channel per chip: channel 1*2 + 0
    EXPECT_EQ(r->window_labels[2], std::vector<std::uint16_t>{0});  // first window 0xC2 modulo 1 window
}

TEST(Vombel96, FewerChannelsLeaveHighChannelsWithoutTime) {
    // channels 48: 8 per chip, yet a block may still name channel 95.
    Chip chip{5, std::vector<Block>(8, Block{0x0000, iota16(2)})};
    chip.blocks[1].header = 0x3700;  // 5*8 + 55 = 95
    const auto r = parse<Vombel96Event>(vombel_packet({chip}), vombel_params(1, 2, 48));
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->data[95].size(), 2u);
    EXPECT_EQ(r->window_labels[95].size(), 1u);
    EXPECT_TRUE(r->time[95].empty());
    // Seven blocks named channel 40, each with the one window 0: relative window 0 every time.
    std::vector<std::uint16_t> time40;
    for (int k = 0; k < 7; ++k) time40.insert(time40.end(), {0, 1});
    EXPECT_EQ(r->time[40], time40);
}

TEST(Vombel96, ChannelArithmeticWrapsAt16Bits) {
    // 65536 channels per chip is 0 modulo 65536: every block of chip 3 naming channel 4 in the chip
    // lands on event channel 4 and passes the channel check (3 * 65536 + 4 would not). Byte 0 (no chip
    // header) is the low byte 0x03 of each header word. Such a params "channels" is above 96, so the
    // time axes then fail.
    Params p = make_params("vombel96", 65536, 1, 1, {{"num_chips", u(1)}, {"n_window_footers", u(0)},
                                                      {"n_chip_headers", u(0)}, {"n_chip_footers", u(0)},
                                                      {"n_event_footers", u(0)}});
    Packet pk;
    for (int k = 0; k < 65536; ++k) pk.le(0x0403).le(static_cast<std::uint16_t>(~k));
    EXPECT_TRUE(fails_with(parse<Vombel96Event>(pk, p), ParsingError::MissingData));
    pk.bytes[2 * 2 * 7 + 1] = 0x60;  // block 7 names channel 0x60 = 96 in the chip
    EXPECT_TRUE(fails_with(parse<Vombel96Event>(pk, p), ParsingError::InvalidChannel));
}

TEST(Vombel96, DerivedSizesBeyond64BitsFailInOrder) {
    const std::uint64_t big = std::uint64_t(1) << 40;
    Params p = vombel_params(big, big);
    EXPECT_TRUE(parse<Vombel96Event>(Packet{}.fill(2), p).ok());  // no chip block: nothing to size
    EXPECT_TRUE(fails_with(parse<Vombel96Event>(Packet{}.fill(200), p), ParsingError::UnexpectedLength));
    Params huge = make_params("vombel96", 96, 1, 1, {{"n_window_headers", u(std::numeric_limits<std::uint64_t>::max())}});
    EXPECT_TRUE(fails_with(parse<Vombel96Event>(Packet{}.fill(200), huge), ParsingError::UnexpectedLength));
}

TEST(Vombel96, WindowsWithoutSamplesAreBoundedInLabels) {
    // 65535 windows of no samples per block: labels are capped rather than allocated without end.
    Params p = make_params("vombel96", 6, 65535, 0, {{"n_window_footers", u(0)}});
    Packet pk;
    for (int chip = 0; chip < 200; ++chip) pk.byte(0).le(0x0000).fill(3);
    EXPECT_TRUE(fails_with(parse<Vombel96Event>(pk.fill(2), p), ParsingError::InvalidParameters));
    // A handful of them is fine: labels without time values.
    Params small = make_params("vombel96", 6, 3, 0, {{"n_window_footers", u(0)}});
    const auto r = parse<Vombel96Event>(Packet{}.byte(0).le(0x0001).fill(3).fill(2), small);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->window_labels[0], (std::vector<std::uint16_t>{1, 2, 0}));
    EXPECT_TRUE(r->time[0].empty());
}

TEST(Vombel96, UnusableLayoutKeysFallBackToDefaults) {
    expect_same_parse<Vombel96Event>(vombel_packet({full_chip(1, 2, 2, 0)}), vombel_params(2, 2),
                                     unusable_for({"n_chip_headers", "num_chips", "chanmask", "data_mask", "windmask",
                                                   "chan_shift"}));
}

TEST(Vombel96, NonDefaultLayoutKeys) {
    // Two chips of two channels, two chip header bytes, no chip footer, two window header words,
    // no window footer, four footer bytes; channel in bits 4..7 and first window in bits 0..3.
    Layout l{2, 0, 2, 0, 4};
    Params p = make_params("vombel96", 4, 2, 2,
                           {{"num_chips", tagged(2)}, {"n_chip_headers", u(2)}, {"n_chip_footers", u(0)},
                            {"n_window_headers", u(2)}, {"n_window_footers", u(0)}, {"n_event_footers", u(4)},
                            {"chanmask", u(0x00F0)}, {"chan_shift", u(20)}, {"windmask", u(0x000F)},
                            {"data_mask", u(0x00FF)}});
    const Packet pk = vombel_packet({Chip{1, {Block{0x0011, {1, 2, 3, 0x1FF}}, Block{0x0000, {5, 6, 7, 8}}}},
                                     Chip{0, {Block{0x0013, {9, 9, 9, 9}}}}},
                                    l);
    // The second chip holds only one of its two blocks: the length is not whole chip blocks.
    EXPECT_TRUE(fails_with(parse<Vombel96Event>(pk, p), ParsingError::UnexpectedLength));

    const Packet ok = vombel_packet({Chip{1, {Block{0x0011, {1, 2, 3, 0x1FF}}, Block{0x0000, {5, 6, 7, 8}}}}}, l);
    const auto r = parse<Vombel96Event>(ok, p);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->data[3], (std::vector<float>{1, 2, 3, 0xFF}));  // 2*1 + 1, data_mask 0xFF
    EXPECT_EQ(r->window_labels[3], (std::vector<std::uint16_t>{1, 0}));
    EXPECT_EQ(r->data[2], (std::vector<float>{5, 6, 7, 8}));
    EXPECT_EQ(r->time[3], iota16(4));
}
