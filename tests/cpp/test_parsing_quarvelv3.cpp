#include <gtest/gtest.h>

#include <random>

#include "packet_test_support.h"
#include "parsing/quarvelv3.h"

using namespace brimo;
using namespace brimo::testing;

namespace {

// Default layout: 3 header words, per window block its channel blocks and one extra word, 1 footer.
Packet quarvel_packet(const WindowBlocks& windows) {
    Packet p;
    p.be(0x1111).be(0x2222).be(0x3333);
    for (const auto& blocks : windows) {
        for (const ChanBlock& b : blocks) {
            p.be(static_cast<std::uint16_t>((b.channel << 10) | (b.label << 1)));
            for (std::uint16_t s : b.samples) p.be(static_cast<std::uint16_t>(s << 1));
        }
        p.be(0xBEEF);
    }
    return p.be(0xF00D);
}

Packet regular(std::uint16_t J, std::uint16_t I, std::uint16_t S) { return quarvel_packet(regular_blocks(J, I, S, 0)); }

Params params(std::uint64_t C, std::uint64_t W, std::uint64_t S, std::vector<std::pair<std::string, YamlValue>> keys = {}) {
    return make_params("quarvelv3", C, W, S, std::move(keys));
}

std::optional<ChanWinds> chan_winds(std::size_t len, const Params& p) {
    std::vector<std::uint8_t> bytes(len);
    return quarvelv3::get_chan_winds(quarvelv3::Layout::from(p).value(), Bytes(bytes));
}

}  // namespace

TEST(Quarvelv3, LayoutDefaultsAndKeys) {
    const auto d = quarvelv3::Layout::from(params(4, 8, 4)).value();
    EXPECT_EQ(d.n_channel_headers, 1u);
    EXPECT_EQ(d.n_event_headers, 3u);
    EXPECT_EQ(d.n_window_headers, 1u);
    EXPECT_EQ(d.n_footer_words, 2u);
    EXPECT_EQ(d.n_last_bits, 1u);
    EXPECT_EQ(d.chanmask, 0x0C00);
    EXPECT_EQ(d.chan_shift, 10u);
    EXPECT_EQ(d.windmask, 0x03FE);
    EXPECT_EQ(d.datamask, 0x1FFF);
    EXPECT_EQ(d.channel_block_words, 5u);
    const auto k = quarvelv3::Layout::from(params(4, 8, 4, {{"chanmask", u(0x1F000)}, {"chan_shift", u(28)},
                                                                 {"n_channel_headers", u(2)}, {"datamask", YamlValue::from_int(-5)},
                                                                 {"n_last_bits", YamlValue::make_tagged("!t", u(18))}})).value();
    EXPECT_EQ(k.chanmask, 0xF000);
    EXPECT_EQ(k.chan_shift, 12u);
    EXPECT_EQ(k.channel_block_words, 6u);
    EXPECT_EQ(k.datamask, 0x1FFF);
    EXPECT_EQ(k.n_last_bits, 2u);
}

TEST(Quarvelv3, ChannelAndWindowCountsFromLength) {
    struct Case {
        const char* what;
        std::size_t len;
        Params params;
        std::optional<ChanWinds> expected;
    };
    const Case cases[] = {
        {"one channel one window", 20, params(4, 8, 4), ChanWinds{1, 1}},
        {"four channels beat one", 92, params(4, 8, 4), ChanWinds{4, 2}},
        // a longer event header leaves no room for 4 channel blocks: the next candidate fits
        {"fit test", 92, params(4, 8, 4, {{"n_event_headers", u(30)}}), ChanWinds{1, 7}},
        {"nothing fits", 92, params(4, 8, 4, {{"n_event_headers", u(50)}}), std::nullopt},
        {"all windows", 344, params(4, 8, 4), std::nullopt},
        {"one window board", 20, params(4, 1, 4), std::nullopt},
        {"no channels", 20, params(0, 8, 4), std::nullopt},
        {"2 bytes", 2, params(4, 8, 4), std::nullopt},
        {"odd", 21, params(4, 8, 4), std::nullopt},
        {"absurd counts", 92, params(UINT64_MAX, UINT64_MAX, 4), ChanWinds{4, 2}},
        // B = 0: every channel count has the same lengths
        {"zero block words", 12, params(3, 8, 0, {{"n_channel_headers", u(0)}}), ChanWinds{3, 2}},
        {"block words beyond 64 bits", 20, params(4, 8, UINT64_MAX), std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(chan_winds(c.len, c.params), c.expected) << c.what;
}

TEST(Quarvelv3, WorkedExamples) {
    {   // 20 bytes: one channel, one window
        const Packet p = quarvel_packet({{{2, 5, {1, 2, 3, 4}}}});
        ASSERT_EQ(p.bytes.size(), 20u);
        auto r = parse_into<Quarvelv3Event>(p.span(), params(4, 8, 4));
        ASSERT_TRUE(r.ok());
        EXPECT_EQ(r->data[2], (std::vector<float>{1, 2, 3, 4}));
        EXPECT_EQ(r->window_labels[2], U16s{5});
        EXPECT_EQ(r->time[2], (U16s{0, 1, 2, 3}));
        EXPECT_TRUE(r->data[0].empty() && r->data[1].empty() && r->data[3].empty());
        EXPECT_EQ(r->reserved, 0u);
    }
    {   // 92 bytes: 4 channels x 2 windows, samples window by window
        const Packet p = regular(4, 2, 4);
        ASSERT_EQ(p.bytes.size(), 92u);
        auto r = parse_into<Quarvelv3Event>(p.span(), params(4, 8, 4));
        ASSERT_TRUE(r.ok());
        for (std::uint16_t c = 0; c < 4; ++c) {
            EXPECT_EQ(r->window_labels[c], (U16s{0, 1}));
            EXPECT_EQ(r->data[c], (std::vector<float>{100.0f * c, 100.0f * c + 1, 100.0f * c + 2, 100.0f * c + 3,
                                                      100.0f * c + 10, 100.0f * c + 11, 100.0f * c + 12, 100.0f * c + 13}));
            EXPECT_EQ(r->time[c], (U16s{0, 1, 2, 3, 4, 5, 6, 7}));
        }
    }
    {   // header 0x0C06: channel 3, window 3; sample bits 1-12
        Packet p;
        p.be_n(3, 0).be(0x0C06).be(0xFFFF).be(0x0002).be(0x2001).be(0x1FFE).be(0).be(0);
        auto r = parse_into<Quarvelv3Event>(p.span(), params(4, 8, 4));
        ASSERT_TRUE(r.ok());
        EXPECT_EQ(r->window_labels[3], U16s{3});
        EXPECT_EQ(r->data[3], (std::vector<float>{4095, 1, 0, 4095}));
        auto bad = parse_into<Quarvelv3Event>(p.span(), params(2, 8, 4));
        ASSERT_FALSE(bad.ok());
        EXPECT_EQ(bad.error(), ParsingError::InvalidChannel);
    }
    {   // channel blocks are routed by their own field: a channel may appear twice in a window block
        const Packet p = quarvel_packet({{{1, 7, {1, 1}}, {1, 0, {2, 2}}}, {{0, 1, {3, 3}}, {1, 2, {4, 4}}}});
        auto r = parse_into<Quarvelv3Event>(p.span(), params(2, 8, 2));
        ASSERT_TRUE(r.ok());
        EXPECT_EQ(r->data[1], (std::vector<float>{1, 1, 2, 2, 4, 4}));
        EXPECT_EQ(r->window_labels[1], (U16s{7, 0, 2}));
        EXPECT_EQ(r->time[1], (U16s{0, 1, 2, 3, 6, 7}));  // labels 0 and 2 wrap after 7: windows 1 and 3
        EXPECT_EQ(r->window_labels[0], U16s{1});
    }
    {   // floor(Wb / B) channel blocks per window block: with S = 0 (B = 1) the window block's extra
        // word is read as a second channel block
        Packet p;
        p.be_n(3, 0).be(0x0402).be(0x0C08).be(0);
        auto r = parse_into<Quarvelv3Event>(p.span(), params(4, 8, 0));
        ASSERT_TRUE(r.ok());
        EXPECT_EQ(r->window_labels[1], U16s{1});
        EXPECT_EQ(r->window_labels[3], U16s{4});
    }
}

TEST(Quarvelv3, OrderOfChecks) {
    const Packet good = regular(4, 2, 4);  // 92 bytes
    Packet odd = good;
    odd.bytes.pop_back();
    Packet bad_later = quarvel_packet({{{0, 0, {1, 2}}}, {{3, 1, {1, 2}}}});  // channel 3 in the second window
    const std::uint8_t two[2] = {0, 0};
    const std::vector<std::uint8_t> zeros10(10, 0);
    const Packet all_windows = regular(4, 8, 4), one = quarvel_packet({{{0, 0, {1, 2, 3, 4}}}});
    struct Case {
        const char* what;
        Bytes packet;
        Params params;
        ParsingError expected;
    };
    const Case cases[] = {
        {"empty", Bytes(), params(4, 1, 4), ParsingError::MissingData},
        {"odd", odd.span(), params(UINT64_MAX, 1, 4), ParsingError::UnexpectedLength},
        {"2 bytes", Bytes(two, 2), params(4, 8, 4), ParsingError::UnexpectedLength},
        {"one window board", good.span(), params(4, 1, 4), ParsingError::UnexpectedLength},
        {"all windows", all_windows.span(), params(4, 8, 4), ParsingError::UnexpectedLength},
        {"no footer: region past the packet", good.span(), params(kMaxChannels + 1, 8, 4, {{"n_footer_words", u(0)}}),
         ParsingError::UnexpectedLength},
        {"footer longer than the packet", good.span(), params(4, 8, 4, {{"n_footer_words", u(60)}}),
         ParsingError::UnexpectedLength},
        {"region starting after its end", one.span(),
         params(4, 8, 4, {{"n_event_headers", u(10)}}), ParsingError::UnexpectedLength},
        {"absurd channel count", good.span(), params(kMaxChannels + 1, 8, 4), ParsingError::InvalidParameters},
        {"channel block of no words", Bytes(zeros10), params(4, 8, 0, {{"n_channel_headers", u(0)}}),
         ParsingError::InvalidParameters},
        {"no window block words at all", Bytes(zeros10),
         params(4, 8, 0, {{"n_channel_headers", u(0)}, {"n_window_headers", u(0)}}), ParsingError::InvalidParameters},
        // the region [8, 9) cannot hold the first window's channel block
        {"first window block beyond the region", one.span(),
         params(4, 8, 4, {{"n_event_headers", u(8)}}), ParsingError::UnexpectedLength},
        {"invalid channel in the first window block", good.span(), params(3, 8, 4), ParsingError::InvalidChannel},
        {"invalid channel in a later window block", bad_later.span(), params(3, 8, 2), ParsingError::InvalidChannel},
    };
    for (const Case& c : cases) EXPECT_TRUE(fails_with(parse_into<Quarvelv3Event>(c.packet, c.params), c.expected)) << c.what;
}

TEST(Quarvelv3, NonDefaultLayoutKeys) {
    // Two header words per channel block (the second is read as a sample), 5 event header words, no
    // window block word, one footer word; channel in bits 12-13, window in bits 0-7, no shift.
    const auto keys = std::vector<std::pair<std::string, YamlValue>>{
        {"n_channel_headers", u(2)}, {"n_event_headers", u(5)}, {"n_window_headers", u(0)},
        {"n_footer_words", u(1)},    {"chanmask", u(0x3000)},   {"chan_shift", u(12)},
        {"windmask", u(0x00FF)},     {"n_last_bits", u(0)},     {"datamask", u(0xFFFF)},
    };
    // Table length for J = 2, i = 1, B = 3: 2 * (1 * (1 + 6) + 4) = 22 bytes = 11 words; region [5, 11).
    Packet p;
    p.be_n(5, 0).be(0x2009).be(0xAAAA).be(0xFFFF).be(0x100A).be(0x0001).be(0x0002);
    auto r = parse_into<Quarvelv3Event>(p.span(), params(3, 4, 1, keys));
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->window_labels[2], U16s{9});
    EXPECT_EQ(r->data[2], (std::vector<float>{0xAAAA, 0xFFFF}));
    EXPECT_EQ(r->window_labels[1], U16s{10});
    EXPECT_EQ(r->data[1], (std::vector<float>{1, 2}));
    EXPECT_EQ(r->time[1], U16s{0});  // one time value per window: S = 1
}

TEST(Quarvelv3, RoundTrip) {
    std::mt19937 rng(9);
    for (int it = 0; it < 300; ++it) {
        const std::uint64_t C = 1 + rng() % 4, W = 2 + rng() % 6, S = 1 + rng() % 4;
        const std::uint64_t I = 1 + rng() % (W - 1);
        // C channel blocks per window block (the largest channel count is always selected), each
        // naming any channel.
        std::vector<std::vector<float>> data;
        std::vector<U16s> labels;
        const WindowBlocks wins = random_blocks(rng, C, I, S, 512, 4096, data, labels);
        const Params prm = params(C, W, S);
        const Packet pkt = quarvel_packet(wins);
        auto r = parse_into<Quarvelv3Event>(pkt.span(), prm);
        ASSERT_TRUE(r.ok()) << it << " C " << C << " W " << W << " S " << S << " I " << I << " err " << int(r.error());
        EXPECT_EQ(r->data, data) << it;
        EXPECT_EQ(r->window_labels, labels) << it;
        EXPECT_TRUE(invariants_hold(r.value(), prm, pkt.span()));
    }
}

TEST(Quarvelv3, RandomAndMutatedPackets) {
    const std::vector<std::vector<std::uint8_t>> seeds = {regular(4, 2, 4).bytes, regular(1, 1, 4).bytes,
                                                          regular(3, 5, 4).bytes, regular(2, 7, 4).bytes};
    drive_both<Quarvelv3Event>(params(4, 8, 4), seeds, 3000, 21, windowed<Quarvelv3Event>(4, 0x1FF));
    const Params odd[] = {
        params(4, 8, 4, {{"n_event_headers", u(9)}, {"n_footer_words", u(1)}}),
        params(4, 64, 4, {{"n_window_headers", u(11)}}),
        params(2, 8, 0, {{"n_channel_headers", u(1)}, {"chanmask", u(0xFFFF)}, {"chan_shift", u(0)}}),
        params(UINT64_MAX, UINT64_MAX, 4),
    };
    for (const Params& p : odd) drive_random_and_mutated<Quarvelv3Event>(p, seeds, 800, 22);
}
