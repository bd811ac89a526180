#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include "packet_test_support.h"

using namespace brimo;
using namespace brimo::testing;

namespace {

struct Win {
    std::uint16_t channel;
    std::uint16_t label;
    std::vector<std::uint16_t> samples;
};

// A packet with the default layout: 3 header words (bytes 0x12 0x34 0x56 ...), one header word and
// the samples per window, one footer word.
Packet pellorv3_packet(const std::vector<Win>& wins, std::uint8_t b2 = 0x56) {
    Packet p;
    p.bytes = {0x12, 0x34, b2, 0x78, 0x9A, 0xBC};
    for (const Win& w : wins) {
        p.be(static_cast<std::uint16_t>((w.channel << 9) | (w.label << 1)));
        for (std::uint16_t s : w.samples) p.be(static_cast<std::uint16_t>(s << 1));
    }
    return p.be(0xFFFF);
}

std::vector<float> floats(std::initializer_list<std::vector<std::uint16_t>> parts) {
    std::vector<float> v;
    for (const auto& p : parts) v.insert(v.end(), p.begin(), p.end());
    return v;
}

Params params(std::uint64_t channels, std::uint64_t samples_, std::vector<std::pair<std::string, YamlValue>> keys = {}) {
    return make_params("pellorv3", channels, 8, samples_, std::move(keys));
}

using U16s = std::vector<std::uint16_t>;

}  // namespace

TEST(Pellorv3, EmptyWindowRegion) {
    for (std::uint64_t S : {0, 1, 4, 64, 1000}) {
        const std::uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        auto r = parse_into<Pellorv3Event>(Bytes(bytes, 8), params(4, S));
        ASSERT_TRUE(r.ok()) << S;
        ASSERT_EQ(r->data.size(), 4u);
        for (std::size_t c = 0; c < 4; ++c)
            EXPECT_TRUE(r->data[c].empty() && r->window_labels[c].empty() && r->time[c].empty());
        EXPECT_EQ(r->header_value, 1u * 65536 + 2 * 16 + 3);
        EXPECT_EQ(r->header_byte, 3);
    }
}

TEST(Pellorv3, WorkedExamples) {
    {   // 28 bytes, headers 0x0000 and 0x0202
        const Packet p = pellorv3_packet({{0, 0, {1, 2, 3, 4}}, {1, 1, {5, 6, 7, 8}}});
        ASSERT_EQ(p.bytes.size(), 28u);
        auto r = parse_into<Pellorv3Event>(p.span(), params(4, 4));
        ASSERT_TRUE(r.ok());
        EXPECT_EQ(r->data[0], floats({{1, 2, 3, 4}}));
        EXPECT_EQ(r->data[1], floats({{5, 6, 7, 8}}));
        EXPECT_EQ(r->window_labels[0], U16s{0});
        EXPECT_EQ(r->window_labels[1], U16s{1});
        EXPECT_EQ(r->time[0], (U16s{0, 1, 2, 3}));
        EXPECT_EQ(r->time[1], (U16s{0, 1, 2, 3}));
        EXPECT_TRUE(r->data[2].empty() && r->data[3].empty());
        EXPECT_EQ(r->header_value, 0x12u * 65536 + 0x34 * 16 + 0x56);
        EXPECT_EQ(r->header_byte, 0x56);
    }
    {   // header 0x0404 is channel 2, window 2; sample word 0x0FFF is 2047
        Packet p;
        p.be_n(3, 0).be(0x0404).be(0x0FFF).be(0x0001).be(0xE002).be(0x1FFE).be(0);
        auto r = parse_into<Pellorv3Event>(p.span(), params(3, 4));
        ASSERT_TRUE(r.ok());
        EXPECT_EQ(r->window_labels[2], U16s{2});
        EXPECT_EQ(r->data[2], (std::vector<float>{2047, 0, 1, 4095}));
    }
    {   // b2 = 0xFF does not enter header_value
        auto r = parse_into<Pellorv3Event>(pellorv3_packet({}, 0xFF).span(), params(1, 2));
        ASSERT_TRUE(r.ok());
        EXPECT_EQ(r->header_value, 0x12u * 65536 + 0x34 * 16);
        EXPECT_EQ(r->header_byte, 255);
    }
}

// Windows are dealt round-robin to the sorted channels present; the channel fields only form the set.
TEST(Pellorv3, RoundRobinAssignment) {
    struct Case {
        const char* what;
        std::vector<Win> wins;
        std::vector<std::pair<std::size_t, std::vector<float>>> data;  // channel -> samples
        std::vector<std::pair<std::size_t, U16s>> labels;
    };
    const Case cases[] = {
        {"1 3 1 3",
         {{1, 0, {10, 11}}, {3, 1, {20, 21}}, {1, 2, {30, 31}}, {3, 3, {40, 41}}},
         {{1, {10, 11, 30, 31}}, {3, {20, 21, 40, 41}}},
         {{1, {0, 2}}, {3, {1, 3}}}},
        {"descending 3 1", {{3, 7, {1, 2}}, {1, 4, {3, 4}}}, {{1, {1, 2}}, {3, {3, 4}}}, {{1, {7}}, {3, {4}}}},
        {"one channel, windows 5 and 6", {{2, 5, {1, 2}}, {2, 6, {3, 4}}}, {{2, {1, 2, 3, 4}}}, {{2, {5, 6}}}},
        // three windows over two channels: the position, not the field, decides
        {"1 1 3", {{1, 0, {1, 1}}, {1, 1, {2, 2}}, {3, 2, {3, 3}}}, {{1, {1, 1, 3, 3}}, {3, {2, 2}}}, {{1, {0, 2}}, {3, {1}}}},
    };
    for (const Case& c : cases) {
        auto r = parse_into<Pellorv3Event>(pellorv3_packet(c.wins).span(), params(4, 2));
        ASSERT_TRUE(r.ok()) << c.what;
        for (const auto& [ch, d] : c.data) EXPECT_EQ(r->data[ch], d) << c.what << " channel " << ch;
        for (const auto& [ch, l] : c.labels) EXPECT_EQ(r->window_labels[ch], l) << c.what << " channel " << ch;
        EXPECT_TRUE(invariants_hold(r.value(), params(4, 2), pellorv3_packet(c.wins).span()));
    }
}

// Which error a packet gets when several things are wrong with it.
TEST(Pellorv3, OrderOfChecks) {
    const Packet good = pellorv3_packet({{3, 0, {1, 2, 3, 4}}, {1, 1, {5, 6, 7, 8}}});  // 28 bytes, S = 4
    Packet odd = good;
    odd.bytes.push_back(0);
    const std::uint8_t two[2] = {1, 2};
    struct Case {
        const char* what;
        Bytes packet;
        Params params;
        ParsingError expected;
    };
    const Case cases[] = {
        {"empty", Bytes(), params(1 << 30, UINT64_MAX), ParsingError::MissingData},
        {"odd before absurd params", odd.span(), params(UINT64_MAX, UINT64_MAX), ParsingError::UnexpectedLength},
        {"S + 1 wraps", good.span(), params(4, UINT64_MAX), ParsingError::InvalidParameters},
        {"length not H + 1 + k(S+1) before channel count", good.span(), params(UINT64_MAX, 5),
         ParsingError::UnexpectedLength},
        {"absurd channel count", good.span(), params(kMaxChannels + 1, 4), ParsingError::InvalidParameters},
        {"2 bytes failing the first length check", Bytes(two, 2), params(4, 4), ParsingError::UnexpectedLength},
        {"2 bytes passing the first length check", Bytes(two, 2), params(4, 0), ParsingError::UnexpectedLength},
        {"channel 3 with 2 channels", good.span(), params(2, 4), ParsingError::InvalidChannel},
        {"channel 3 with 0 channels", good.span(), params(0, 4), ParsingError::InvalidChannel},
        // n_window_headers 2: windows of 6 words do not divide the 10-word region; checked before
        // the invalid channel
        {"region not whole windows", good.span(), params(2, 4, {{"n_window_headers", u(2)}}),
         ParsingError::UnexpectedLength},
        {"window of no words", good.span(), params(4, 0, {{"n_window_headers", u(0)}}),
         ParsingError::InvalidParameters},
        {"window size beyond 64 bits", good.span(), params(4, 4, {{"n_window_headers", u(UINT64_MAX)}}),
         ParsingError::InvalidParameters},
        {"no footer: region past the packet", good.span(), params(4, 4, {{"n_footers", u(0)}}),
         ParsingError::UnexpectedLength},
        {"footer longer than the packet", good.span(), params(4, 0, {{"n_footers", u(100)}}),
         ParsingError::UnexpectedLength},
        {"region starting after its end", good.span(), params(4, 0, {{"n_event_headers", u(20)}}),
         ParsingError::UnexpectedLength},
        {"huge header count", good.span(), params(4, 0, {{"n_event_headers", u(UINT64_MAX)}}),
         ParsingError::UnexpectedLength},
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(fails_with(parse_into<Pellorv3Event>(c.packet, c.params), c.expected)) << c.what;
        EXPECT_TRUE(fails_with(parse_into<Mirranv2Event>(c.packet, c.params), c.expected)) << c.what;
    }
}

TEST(Pellorv3, NonDefaultLayoutKeys) {
    // Channel in bits 12-14, window in bits 4-11, samples in bits 4-15, 5 header words.
    const auto keys = std::vector<std::pair<std::string, YamlValue>>{
        {"chanmask", u(0x7000)},  {"chan_shift", u(12)},       {"windmask", u(0x0FF0)},
        {"n_last_bits", u(4)},    {"databitmask", u(0xFFF0)},  {"n_event_headers", u(5)},
    };
    Packet p;
    p.be_n(5, 0xAAAA).be(0x5070).be(0x1234).be(0xFFFF).be(0x6010).be(0x000F).be(0x0010).be(0);
    auto r = parse_into<Pellorv3Event>(p.span(), params(7, 2, keys));
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->window_labels[5], U16s{7});
    EXPECT_EQ(r->data[5], (std::vector<float>{0x123, 0xFFF}));
    EXPECT_EQ(r->window_labels[6], U16s{1});
    EXPECT_EQ(r->data[6], (std::vector<float>{0, 1}));
    EXPECT_EQ(r->time[5], (U16s{0, 1}));
}

// Keys hold 16 bits (masks, shifts) or are used modulo 16 (shifts); unusable values give the default.
TEST(Pellorv3, UnusableAndWrappedKeyValuesGiveDefaults) {
    const Packet pkt = pellorv3_packet({{2, 9, {100, 200}}, {0, 3, {300, 4000}}});
    std::vector<KeyChange> changes = unusable_for({"databitmask", "chanmask", "chan_shift", "windmask", "n_last_bits",
                                                   "n_event_headers", "n_window_headers", "n_footers"});
    // Values equal to the defaults after keeping 16 bits or reducing modulo 16.
    for (const auto& [key, v] : std::initializer_list<std::pair<const char*, std::uint64_t>>{
             {"chanmask", 0x30600}, {"chan_shift", 25}, {"n_last_bits", 17}, {"databitmask", 0xF1FFF}, {"windmask", 0x101FE}})
        changes.push_back({key, std::to_string(v), u(v)});
    expect_same_parse<Pellorv3Event>(pkt, params(4, 2), changes);
    // A tagged integer counts: chan_shift 10 turns channel 2 into 1.
    auto t = parse_into<Pellorv3Event>(pkt.span(), params(4, 2, {{"chan_shift", YamlValue::make_tagged("!x", u(10))}}));
    ASSERT_TRUE(t.ok());
    EXPECT_EQ(t->window_labels[1], U16s{3});
    EXPECT_EQ(t->window_labels[0], U16s{9});
}

// n_window_headers other than 1: windows are cut every n_window_headers + S words, the first word of
// each is its header and the rest are samples, while the time axis counts S per window.
TEST(Pellorv3, ExtraWindowHeaderWords) {
    Packet p;
    p.be_n(3, 0);
    for (int w = 0; w < 5; ++w) {
        p.be(static_cast<std::uint16_t>(w << 1));
        for (int s = 0; s < 5; ++s) p.be(static_cast<std::uint16_t>((10 * w + s) << 1));
    }
    p.be(0);  // 3 + 30 + 1 words: 6 windows of S + 1 = 5 words, 5 windows of 6 words
    auto r = parse_into<Pellorv3Event>(p.span(), params(1, 4, {{"n_window_headers", u(2)}}));
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->window_labels[0], (U16s{0, 1, 2, 3, 4}));
    EXPECT_EQ(r->data[0].size(), 25u);
    EXPECT_EQ(r->data[0][5], 10.0f);
    EXPECT_EQ(r->time[0].size(), 20u);
}

// Random window lists, built and parsed back: the parse must equal the round-robin model.
TEST(Pellorv3, RoundTrip) {
    std::mt19937 rng(3);
    for (int it = 0; it < 300; ++it) {
        const std::uint64_t S = rng() % 6, C = 1 + rng() % 4, W = 256;
        std::vector<Win> wins(rng() % 9);
        for (Win& w : wins) {
            w.channel = static_cast<std::uint16_t>(rng() % C);
            w.label = static_cast<std::uint16_t>(rng() % 256);
            for (std::uint64_t s = 0; s < S; ++s) w.samples.push_back(static_cast<std::uint16_t>(rng() % 4096));
        }
        const Params prm = make_params("pellorv3", C, W, S);
        const Packet pkt = pellorv3_packet(wins);
        auto r = parse_into<Pellorv3Event>(pkt.span(), prm);
        ASSERT_TRUE(r.ok()) << it;
        ASSERT_TRUE(invariants_hold(r.value(), prm, pkt.span()));
        std::set<std::uint16_t> present;
        for (const Win& w : wins) present.insert(w.channel);
        const std::vector<std::uint16_t> P(present.begin(), present.end());
        std::vector<std::vector<float>> data(C);
        std::vector<U16s> labels(C);
        for (std::size_t k = 0; k < wins.size(); ++k) {
            const std::uint16_t c = P[k % P.size()];
            data[c].insert(data[c].end(), wins[k].samples.begin(), wins[k].samples.end());
            labels[c].push_back(wins[k].label);
        }
        EXPECT_EQ(r->data, data) << it;
        EXPECT_EQ(r->window_labels, labels) << it;
    }
}

TEST(Pellorv3, RandomAndMutatedPackets) {
    const std::vector<std::vector<std::uint8_t>> seeds = {
        pellorv3_packet({{0, 0, {1, 2, 3, 4}}, {1, 1, {5, 6, 7, 8}}}).bytes,
        pellorv3_packet({{3, 200, {1, 2, 3, 4}}, {1, 255, {5, 6, 7, 8}}, {2, 0, {0, 0, 0, 0}}}).bytes,
        pellorv3_packet({}).bytes,
    };
    drive_both<Pellorv3Event>(make_params("pellorv3", 4, 256, 4), seeds, 3000, 1, windowed<Pellorv3Event>(4, 0xFF, 4095));
    // Odd layouts too: no footer region, extra header words, shifted fields, tiny windows.
    const Params odd[] = {
        make_params("pellorv3", 8, 4, 0, {{"n_window_headers", u(3)}}),
        make_params("pellorv3", 2, 65535, 4, {{"n_footers", u(7)}, {"n_event_headers", u(0)}}),
        make_params("pellorv3", 16, 3, 1, {{"chanmask", u(0xFFFF)}, {"chan_shift", u(0)}, {"n_last_bits", u(15)}}),
    };
    for (const Params& p : odd) drive_random_and_mutated<Pellorv3Event>(p, seeds, 1000, 2);
}

TEST(Mirranv2, SameResultAsPellorv3) {
    std::mt19937_64 rng(5);
    const Params prm = make_params("mirranv2", 4, 16, 3);
    std::vector<std::uint8_t> pkt;
    int ok = 0;
    for (int it = 0; it < 2000; ++it) {
        pkt.resize(2 * (4 + (it % 8) * 4) + (it % 17 == 0));
        for (auto& b : pkt) b = static_cast<std::uint8_t>(rng() & 0x07);  // small channel fields
        const Bytes b(pkt.data(), pkt.size());
        auto p = parse_into<Pellorv3Event>(b, prm);
        auto m = parse_into<Mirranv2Event>(b, prm);
        ASSERT_EQ(p.ok(), m.ok()) << it;
        if (!p.ok()) {
            EXPECT_EQ(p.error(), m.error()) << it;
            continue;
        }
        ++ok;
        EXPECT_EQ(p->data, m->data);
        EXPECT_EQ(p->window_labels, m->window_labels);
        EXPECT_EQ(p->time, m->time);
        EXPECT_EQ(p->header_value, m->header_value);
        EXPECT_EQ(p->header_byte, m->header_byte);
    }
    EXPECT_GT(ok, 100);
}
