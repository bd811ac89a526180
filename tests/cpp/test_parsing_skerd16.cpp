#include <gtest/gtest.h>

#include <limits>

#include "packet_test_support.h"

using namespace brimo;
using namespace brimo::testing;

namespace {

struct Block {
    std::uint16_t header;
    std::vector<std::uint16_t> values;  // stored inverted by the builder
};

// Header byte, channel blocks (one header word, samples, one footer word by default), footer bytes.
Packet skerd_packet(const std::vector<Block>& blocks, std::size_t chip_headers = 1, std::size_t chip_footers = 2,
                    std::uint8_t header_byte = 0x5A) {
    Packet pk;
    pk.byte(header_byte).fill(chip_headers > 1 ? chip_headers - 1 : 0, 0x11);
    for (const Block& b : blocks) {
        pk.le(b.header);
        for (auto v : b.values) pk.le(static_cast<std::uint16_t>(~v));
        pk.le(0xD00D);
    }
    return pk.fill(chip_footers, 0x22);
}

std::vector<Block> all_channels(std::uint16_t channels, std::size_t samples_per_channel, std::uint16_t first) {
    std::vector<Block> blocks;
    for (std::uint16_t c = 0; c < channels; ++c)
        blocks.push_back({static_cast<std::uint16_t>(c << 8 | first), iota16(samples_per_channel, std::uint16_t(c * 50))});
    return blocks;
}

}  // namespace

TEST(Skerd16, RoundTripAndExactLength) {
    // channels 16, windows 4, samples 8: 1 + 2 + 2 * 16 * 34 = 1091 bytes.
    const Params p = make_params("skerd16", 16, 4, 8);
    const Packet pk = skerd_packet(all_channels(16, 32, 5));
    ASSERT_EQ(pk.bytes.size(), 1091u);
    const auto r = parse<Skerd16Event>(pk, p);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->data.size(), 16u);
    for (std::uint16_t c = 0; c < 16; ++c) {
        EXPECT_EQ(r->data[c], as_floats(iota16(32, std::uint16_t(c * 50))));
        EXPECT_EQ(r->window_labels[c], (std::vector<std::uint16_t>{1, 2, 3, 0}));  // 5, 6, 7, 8 modulo 4
        EXPECT_EQ(r->time[c], iota16(32));
    }

    for (std::size_t len : {1090u, 1092u}) {
        Packet other = pk;
        other.bytes.resize(len);
        EXPECT_TRUE(fails_with(parse<Skerd16Event>(other, p), ParsingError::UnexpectedLength)) << len;
    }
}

TEST(Skerd16, HeaderByteNeverMattersAndWordsStartAtByteOne) {
    const Params p = make_params("skerd16", 4, 1, 2);
    const auto a = parse<Skerd16Event>(skerd_packet(all_channels(4, 2, 0), 1, 2, 0x00), p);
    const auto b = parse<Skerd16Event>(skerd_packet(all_channels(4, 2, 0), 1, 2, 0xFF), p);
    ASSERT_TRUE(a.ok() && b.ok());
    EXPECT_EQ(a->data, b->data);

    // "n_chip_headers" 3 adds two bytes to the expected length, but the words still start at byte 1:
    // the two extra bytes at the end are read as nothing.
    Params p3 = p;
    set_key(p3, "n_chip_headers", u(3));
    Packet pk = skerd_packet(all_channels(4, 2, 0));
    pk.fill(2, 0x33);
    const auto c = parse<Skerd16Event>(pk, p3);
    ASSERT_TRUE(c.ok());
    EXPECT_EQ(c->data, a->data);
}

TEST(Skerd16, HeaderDecodingAndSampleValues) {
    const Params p = make_params("skerd16", 4, 4, 1);
    // 0x0305: channel 3, first window 5 -> labels 1, 2, 3, 0.
    std::vector<Block> blocks{{0x0305, {0, 1023, 0x3FF, 0xFC00 ^ 0xFFFF}},
                              {0x0000, {1, 1, 1, 1}},
                              {0x0000, {2, 2, 2, 2}},
                              {0x0103, {3, 3, 3, 3}}};
    Packet pk = skerd_packet(blocks);
    // Raw sample words 0xFFFF and 0xFC00 give 0 and 1023 with the default mask.
    pk.bytes[1 + 2 * 1] = 0xFF, pk.bytes[1 + 2 * 1 + 1] = 0xFF;
    pk.bytes[1 + 2 * 2] = 0x00, pk.bytes[1 + 2 * 2 + 1] = 0xFC;
    const auto r = parse<Skerd16Event>(pk, p);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->data[3], (std::vector<float>{0, 1023, 1023, 1023}));
    EXPECT_EQ(r->window_labels[3], (std::vector<std::uint16_t>{1, 2, 3, 0}));
    // Two blocks named channel 0: appended in packet order, time from the first label.
    EXPECT_EQ(r->data[0], (std::vector<float>{1, 1, 1, 1, 2, 2, 2, 2}));
    EXPECT_EQ(r->time[0], (std::vector<std::uint16_t>{0, 1, 2, 3, 0, 1, 2, 3}));
    EXPECT_EQ(r->window_labels[1], (std::vector<std::uint16_t>{3, 0, 1, 2}));
    EXPECT_TRUE(r->data[2].empty());
}

TEST(Skerd16, OrderOfChecks) {
    const Params p = make_params("skerd16", 16, 4, 8);
    std::vector<Block> bad = all_channels(16, 32, 0);
    bad[15].header = 0x1000;  // channel 16
    const Params zero_block =
        make_params("skerd16", 2, 0, 0, {{"n_window_headers", u(0)}, {"n_window_footers", u(0)}});
    const Params overflow = make_params("skerd16", 16, std::uint64_t(1) << 40, std::uint64_t(1) << 40);
    struct Case { const char* what; Packet pk; Params p; ParsingError e; };
    const Case cases[] = {
        {"empty", Packet{}, p, ParsingError::MissingData},
        {"odd but wrong", Packet{}.fill(1), p, ParsingError::UnexpectedLength},
        {"channel 16", skerd_packet(bad), p, ParsingError::InvalidChannel},
        {"zero block size", Packet{}.fill(3), zero_block, ParsingError::InvalidParameters},
        {"size beyond 64 bits", Packet{}.fill(1091), overflow, ParsingError::UnexpectedLength},
        {"channels above the limit", Packet{}.fill(3), make_params("skerd16", std::uint64_t(1) << 62, 0, 0,
                                                                    {{"n_window_headers", u(0)},
                                                                     {"n_window_footers", u(0)}}),
         ParsingError::InvalidParameters},
    };
    for (const Case& c : cases) EXPECT_TRUE(fails_with(parse<Skerd16Event>(c.pk, c.p), c.e)) << c.what;
}

TEST(Skerd16, WindowsWithoutSamples) {
    // Labels without samples are kept, within a bound on their number.
    // One footer byte, so that no trailing word follows the two one-word blocks.
    Params p = make_params("skerd16", 2, 3, 0, {{"n_window_footers", u(0)}, {"n_chip_footers", u(1)}});
    const auto r = parse<Skerd16Event>(Packet{}.byte(0).le({0x0001, 0x0102}).fill(1), p);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->window_labels[0], (std::vector<std::uint16_t>{1, 2, 0}));
    EXPECT_EQ(r->window_labels[1], (std::vector<std::uint16_t>{2, 0, 1}));
    EXPECT_TRUE(r->data[0].empty() && r->time[0].empty());

    Params many = make_params("skerd16", 1000, 65535, 0, {{"n_window_footers", u(0)}, {"n_chip_footers", u(1)}});
    Packet pk;
    pk.byte(0);
    for (int k = 0; k < 1000; ++k) pk.le(0x0000);
    EXPECT_TRUE(fails_with(parse<Skerd16Event>(pk.fill(1), many), ParsingError::InvalidParameters));
}

TEST(Skerd16, LayoutKeys) {
    // Non-default keys: two window header words, no footer words, four footer bytes, channel in the
    // low nibble shifted by 0, first window in bits 4..7, 8-bit samples.
    Params p = make_params("skerd16", 2, 2, 2,
                           {{"n_window_headers", u(2)}, {"n_window_footers", tagged(0)}, {"n_chip_footers", u(4)},
                            {"chanmask", u(0x1000F)}, {"chan_shift", u(16)}, {"windmask", u(0xF0)},
                            {"data_mask", u(0xFF)}});
    Packet pk;
    pk.byte(0).le({0x0011, 0xAAAA}).le({0xFFFE, 0xFFFD, 0xFF00, 0x00FF}).le({0x0020, 0xAAAA}).le({0, 0, 0, 0}).fill(4);
    const auto r = parse<Skerd16Event>(pk, p);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->data[1], (std::vector<float>{1, 2, 0xFF, 0}));
    EXPECT_EQ(r->window_labels[1], (std::vector<std::uint16_t>{0, 1}));  // first window 0x10: 16 % 2, 17 % 2
    EXPECT_EQ(r->data[0], (std::vector<float>{0xFF, 0xFF, 0xFF, 0xFF}));

    // Unusable values for each key leave the default layout, under which this packet parses as usual.
    expect_same_parse<Skerd16Event>(skerd_packet(all_channels(4, 2, 0)), make_params("skerd16", 4, 1, 2),
                                    unusable_for({"n_chip_headers", "n_chip_footers", "n_window_headers",
                                                  "n_window_footers", "data_mask", "chanmask", "chan_shift", "windmask"}));
}
