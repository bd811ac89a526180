#include <gtest/gtest.h>

#include <random>

#include "packet_test_support.h"

using namespace brimo;
using namespace brimo::testing;

namespace {

// Default layout: 3 header words, window blocks of channel blocks (header word, samples), 1 footer.
Packet s_packet(const WindowBlocks& windows) {
    Packet p;
    p.be(0x1111).be(0x2222).be(0x3333);
    for (const auto& blocks : windows)
        for (const ChanBlock& b : blocks) p.be(static_cast<std::uint16_t>((b.channel << 8) | b.label)).be(b.samples);
    return p.be(0xF00D);
}

Packet regular(std::uint16_t J, std::uint16_t I, std::uint16_t S) { return s_packet(regular_blocks(J, I, S, 5)); }

Params params(std::uint64_t C, std::uint64_t W, std::uint64_t S, std::vector<std::pair<std::string, YamlValue>> keys = {}) {
    return make_params("pellorv3s", C, W, S, std::move(keys));
}

}  // namespace

TEST(Pellorv3S, WorkedExamples) {
    {   // 48 bytes: candidates (4, 1), (2, 2), (1, 4); read as 4 channels x 1 window
        const Packet p = regular(4, 1, 4);
        ASSERT_EQ(p.bytes.size(), 48u);
        auto r = parse_into<Pellorv3SEvent>(p.span(), params(4, 8, 4));
        ASSERT_TRUE(r.ok());
        for (std::uint16_t c = 0; c < 4; ++c) {
            EXPECT_EQ(r->data[c], (std::vector<float>{100.0f * c, 100.0f * c + 1, 100.0f * c + 2, 100.0f * c + 3}));
            EXPECT_EQ(r->window_labels[c], U16s{5});
            EXPECT_EQ(r->time[c], (U16s{0, 1, 2, 3}));
        }
        EXPECT_EQ(r->window_tail_words, U16s{303});  // last sample word of the fourth channel block
    }
    {   // 88 bytes: 4 channels x 2 windows
        const Packet p = regular(4, 2, 4);
        ASSERT_EQ(p.bytes.size(), 88u);
        auto r = parse_into<Pellorv3SEvent>(p.span(), params(4, 8, 4));
        ASSERT_TRUE(r.ok());
        EXPECT_EQ(r->data[1], (std::vector<float>{100, 101, 102, 103, 110, 111, 112, 113}));
        EXPECT_EQ(r->window_labels[1], (U16s{5, 6}));
        EXPECT_EQ(r->time[1], (U16s{0, 1, 2, 3, 4, 5, 6, 7}));
        EXPECT_EQ(r->window_tail_words, (U16s{303, 313}));
    }
    {   // header 0x0305: channel 3, window 5; samples keep bits 0-12
        Packet p;
        p.be_n(3, 0).be(0x0305).be(0xFFFF).be(0x2001).be(0).be(0x1FFF).be(0);
        auto r = parse_into<Pellorv3SEvent>(p.span(), params(4, 8, 4));
        ASSERT_TRUE(r.ok());
        EXPECT_EQ(r->window_labels[3], U16s{5});
        EXPECT_EQ(r->data[3], (std::vector<float>{8191, 1, 0, 8191}));
        EXPECT_EQ(r->window_tail_words, U16s{0x1FFF});
    }
}

// The table admits lengths with fewer channels than "channels": the event still has one entry per
// board channel, channel fields up to "channels" - 1 are valid and the time axis covers them.
TEST(Pellorv3S, FewerChannelsThanTheBoard) {
    // 28 bytes with C = 3: candidates (2, 1), (1, 2); read as 2 channel blocks in one window.
    const Packet p = s_packet({{{0, 1, {1, 2, 3, 4}}, {2, 1, {5, 6, 7, 8}}}});
    ASSERT_EQ(p.bytes.size(), 28u);
    auto r = parse_into<Pellorv3SEvent>(p.span(), params(3, 8, 4));
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->data.size(), 3u);
    EXPECT_EQ(r->data[2], (std::vector<float>{5, 6, 7, 8}));
    EXPECT_EQ(r->time[2], (U16s{0, 1, 2, 3}));
    EXPECT_TRUE(r->data[1].empty());
}

TEST(Pellorv3S, OrderOfChecks) {
    const Packet good = regular(4, 2, 4);  // 88 bytes
    Packet odd = good;
    odd.bytes.push_back(1);
    const Packet bad_first = s_packet({{{0, 0, {1, 2}}, {3, 0, {1, 2}}}});
    const Packet bad_later = s_packet({{{0, 0, {1, 2}}, {1, 0, {1, 2}}}, {{0, 1, {1, 2}}, {3, 1, {1, 2}}}});
    const std::vector<std::uint8_t> eight(8, 0);
    const Packet all_windows = regular(4, 8, 4);
    const Packet one_window = regular(4, 1, 4);  // 48 bytes: a region of 20 words
    struct Case {
        const char* what;
        Bytes packet;
        Params params;
        ParsingError expected;
    };
    const Case cases[] = {
        {"empty", Bytes(), params(0, 0, 0), ParsingError::MissingData},
        {"odd", odd.span(), params(kMaxChannels + 1, 8, 4), ParsingError::UnexpectedLength},
        {"one window board", good.span(), params(4, 1, 4), ParsingError::UnexpectedLength},
        {"no channels", good.span(), params(0, 8, 4), ParsingError::UnexpectedLength},
        {"all windows", all_windows.span(), params(4, 8, 4), ParsingError::UnexpectedLength},
        {"no candidate fits", good.span(), params(4, 8, 4, {{"n_event_headers", u(2)}, {"n_window_headers", u(40)}}),
         ParsingError::UnexpectedLength},
        {"absurd channel count", good.span(), params(kMaxChannels + 1, 8, 4), ParsingError::InvalidParameters},
        // B = 0: every channel count and window count matches the 8-byte packet
        {"channel block of no words", Bytes(eight), params(4, 8, 0, {{"n_channel_headers", u(0)}}),
         ParsingError::InvalidParameters},
        // (4, 1) fits, but a window block of 4 x 5 + 1 words is longer than the region
        {"region shorter than the first window block", one_window.span(), params(4, 8, 4, {{"n_window_headers", u(1)}}),
         ParsingError::UnexpectedLength},
        {"invalid channel in the first window block", bad_first.span(), params(3, 8, 2), ParsingError::InvalidChannel},
        {"invalid channel in a later window block", bad_later.span(), params(2, 8, 2), ParsingError::InvalidChannel},
        {"header and footer beyond 64 bits", good.span(),
         params(4, 8, 4, {{"n_event_headers", u(UINT64_MAX)}, {"n_footer_words", u(2)}}), ParsingError::UnexpectedLength},
    };
    for (const Case& c : cases) EXPECT_TRUE(fails_with(parse_into<Pellorv3SEvent>(c.packet, c.params), c.expected)) << c.what;
}

TEST(Pellorv3S, NonDefaultLayoutKeys) {
    // One window-block header word in the block (and one window footer word in the table), channel in
    // bits 12-15 of the channel block header, window in bits 2-9, samples shifted by 2.
    const auto keys = std::vector<std::pair<std::string, YamlValue>>{
        {"n_window_headers", u(1)}, {"n_window_footers", u(1)}, {"chanmask", u(0xF000)},
        {"chan_shift", u(12)},      {"windmask", u(0x03FC)},    {"n_last_bits", u(2)},
        {"datamask", u(0xFFFF)},    {"n_event_headers", u(2)},  {"n_footer_words", u(2)},
    };
    // J = 2, i = 1, B = 3: 2 * (2 + 2 + 1 * (1 + 6)) = 22 bytes; region [2, 9), one block of 7 words.
    Packet p;
    p.be_n(2, 0).be(0x1014).be(0x0004).be(0x0008).be(0x0018).be(0x000C).be(0x0010).be(0xABCD).be_n(2, 0);
    auto r = parse_into<Pellorv3SEvent>(p.span(), params(2, 8, 2, keys));
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->window_labels[1], U16s{5});
    EXPECT_EQ(r->data[1], (std::vector<float>{1, 2}));
    EXPECT_EQ(r->window_labels[0], U16s{6});
    EXPECT_EQ(r->data[0], (std::vector<float>{3, 4}));
    EXPECT_EQ(r->window_tail_words, U16s{0xABCD});
    // Unusable values give the defaults: the same 88-byte packet reads the same.
    expect_same_parse<Pellorv3SEvent>(regular(4, 2, 4), params(4, 8, 4),
                                      unusable_for({"n_channel_headers", "chanmask", "chan_shift", "windmask", "datamask",
                                                    "n_event_headers", "n_footer_words", "n_window_headers",
                                                    "n_window_footers", "n_last_bits"}));
}

TEST(Pellorv3S, RoundTrip) {
    std::mt19937 rng(13);
    for (int it = 0; it < 300; ++it) {
        const std::uint64_t C = 1 + rng() % 4, W = 2 + rng() % 6, S = 1 + rng() % 5;
        const std::uint64_t I = 1 + rng() % (W - 1);
        std::vector<std::vector<float>> data;
        std::vector<U16s> labels;
        const WindowBlocks wins = random_blocks(rng, C, I, S, 256, 8192, data, labels);
        U16s tails;  // the last sample word of each window block
        for (const auto& blocks : wins) tails.push_back(blocks.back().samples.back());
        const Params prm = params(C, W, S);
        const Packet pkt = s_packet(wins);
        auto r = parse_into<Pellorv3SEvent>(pkt.span(), prm);
        ASSERT_TRUE(r.ok()) << it;
        EXPECT_EQ(r->data, data) << it;
        EXPECT_EQ(r->window_labels, labels) << it;
        EXPECT_EQ(r->window_tail_words, tails) << it;
        EXPECT_TRUE(invariants_hold(r.value(), prm, pkt.span()));
    }
}

TEST(Pellorv3S, RandomAndMutatedPackets) {
    const std::vector<std::vector<std::uint8_t>> seeds = {regular(4, 2, 4).bytes, regular(4, 1, 4).bytes,
                                                          regular(3, 3, 4).bytes, regular(1, 6, 4).bytes};
    const ExtraCheck<Pellorv3SEvent> windows_of_4 = windowed<Pellorv3SEvent>(4, 0xFFFF);
    drive_both<Pellorv3SEvent>(params(4, 8, 4), seeds, 3000, 31, [&](const Pellorv3SEvent& ev, const Params& p, std::size_t n) {
        std::size_t windows = 0;
        for (const auto& l : ev.window_labels) windows += l.size();
        return ev.window_tail_words.size() > windows ? "more tails than windows" : windows_of_4(ev, p, n);
    });
    const Params odd[] = {
        params(4, 8, 4, {{"n_window_headers", u(6)}, {"n_window_footers", u(2)}}),
        params(4, 8, 4, {{"n_event_headers", u(0)}, {"n_footer_words", u(0)}, {"chanmask", u(0xFFFF)}}),
        params(2, 100, 0, {{"n_channel_headers", u(3)}, {"n_window_headers", u(5)}}),
        params(UINT64_MAX, UINT64_MAX, 4),
    };
    for (const Params& p : odd) drive_random_and_mutated<Pellorv3SEvent>(p, seeds, 800, 32);
}
