#include <gtest/gtest.h>

#include <limits>

#include "packet_test_support.h"

using namespace brimo;
using namespace brimo::testing;

namespace {

struct Window {
    std::uint16_t channel_word;
    std::uint32_t timing;  // split into two 12-bit words
    std::uint16_t window_word;
    std::vector<std::uint16_t> samples;
};

// One default-layout window packet: four header words, the samples, the stop word.
void window(Packet& pk, const Window& w, std::uint16_t stop = 0xFA5A) {
    pk.be({w.channel_word, std::uint16_t(w.timing >> 12 & 0xFFF), std::uint16_t(w.timing & 0xFFF), w.window_word})
        .be(w.samples)
        .be(stop);
}

std::vector<std::uint16_t> samples32(std::uint16_t from) { return iota16(32, from); }

Params lanwe_params(std::uint64_t channels = 8, std::uint64_t samples = 32) {
    return make_params("lanwev2_evalr1", channels, 64, samples);
}

}  // namespace

TEST(Lanwev1, TwoChannelsTimeAxesFromFirstTimingValues) {
    // First timing values 100 and 102, S = 32, two windows each: 0..63 and 64..127.
    Packet pk;
    window(pk, {0x0003, 100, 7, samples32(1)});
    window(pk, {0x0005, 102, 9, samples32(100)});
    window(pk, {0x0003, 101, 8, samples32(33)});
    window(pk, {0x0045, 500, 0x0050, samples32(200)});  // channel word 0x45 -> channel 5; window 0x50 & 0x3F
    const auto r = parse<Lanwev1Event>(pk, lanwe_params());
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->timing.size(), 8u);
    EXPECT_EQ(r->data[3], as_floats(iota16(64, 1)));
    EXPECT_EQ(r->window_labels[3], (std::vector<std::uint16_t>{7, 8}));
    EXPECT_EQ(r->timing[3], (std::vector<std::uint32_t>{100, 101}));
    EXPECT_EQ(r->time[3], iota16(64));
    EXPECT_EQ(r->window_labels[5], (std::vector<std::uint16_t>{9, 0x10}));
    EXPECT_EQ(r->timing[5], (std::vector<std::uint32_t>{102, 500}));
    EXPECT_EQ(r->time[5], iota16(64, 64));  // later timing values play no part
    EXPECT_TRUE(r->data[0].empty() && r->time[0].empty() && r->timing[0].empty());
}

TEST(Lanwev1, WorkedFieldValues) {
    // Bytes 0x12 0x34 form 0x1234; timing words 0x0ABC, 0x0DEF give 0xABCDEF; channel word 0x0041 is channel 1.
    Packet pk;
    pk.be({0x0041, 0x0ABC, 0x0DEF, 0x0002}).byte(0x12).byte(0x34).be(iota16(31, 1)).be(0xFA5A);
    const auto r = parse<Lanwev1Event>(pk, lanwe_params());
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->timing[1], std::vector<std::uint32_t>{0xABCDEF});
    EXPECT_EQ(r->data[1][0], 4660.f);
    EXPECT_EQ(r->data[1][31], 31.f);
    EXPECT_EQ(r->window_labels[1], std::vector<std::uint16_t>{2});
}

TEST(Lanwev1, RunsOfTheWrongLengthAreDropped) {
    Packet good;
    window(good, {0x0001, 5, 1, samples32(1)});
    struct Case { const char* what; Packet prefix; };
    Packet short_run, long_run, split;
    short_run.be(iota16(35, 1)).be(0xFA5A);  // 36 words
    long_run.be(iota16(37, 1)).be(0xFA5A);   // 38 words
    // A sample equal to the stop word splits its window packet into two runs of the wrong length.
    std::vector<std::uint16_t> s = samples32(1);
    s[10] = 0xFA5A;
    window(split, {0x0002, 1, 1, s});
    for (const Case& c : {Case{"36 words", short_run}, Case{"38 words", long_run}, Case{"split", split}}) {
        Packet pk = c.prefix;
        pk.bytes.insert(pk.bytes.end(), good.bytes.begin(), good.bytes.end());
        pk.be({1, 2, 3});  // words after the last stop word are dropped
        const auto r = parse<Lanwev1Event>(pk, lanwe_params());
        ASSERT_TRUE(r.ok()) << c.what;
        EXPECT_EQ(r->data[1], as_floats(samples32(1))) << c.what;
        EXPECT_TRUE(r->data[2].empty()) << c.what;
        EXPECT_TRUE(fails_with(parse<Lanwev1Event>(c.prefix, lanwe_params()), ParsingError::EmptyPackage)) << c.what;
    }
}

TEST(Lanwev1, AllZeroWindowsAreSkipped) {
    Packet zero_bad_channel;
    window(zero_bad_channel, {0x003F, 5, 1, std::vector<std::uint16_t>(32, 0)});  // channel 63 of 8
    EXPECT_TRUE(fails_with(parse<Lanwev1Event>(zero_bad_channel, lanwe_params()), ParsingError::MissingData));
    Packet pk = zero_bad_channel;
    window(pk, {0x0002, 9, 1, samples32(0)});  // first sample 0, the rest not
    const auto r = parse<Lanwev1Event>(pk, lanwe_params());
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->timing[2], std::vector<std::uint32_t>{9});
    EXPECT_EQ(r->time[2], iota16(32));
}

TEST(Lanwev1, OrderOfChecks) {
    Packet bad_channel;
    window(bad_channel, {0x0009, 5, 1, samples32(1)});
    struct Case { const char* what; Packet pk; Params p; ParsingError e; };
    const Case cases[] = {
        {"odd without stop word", Packet{}.fill(3), lanwe_params(), ParsingError::UnexpectedLength},
        {"empty", Packet{}, lanwe_params(), ParsingError::EmptyPackage},
        {"no stop word", Packet{}.be(iota16(37, 1)), lanwe_params(), ParsingError::EmptyPackage},
        {"channel 9 of 8", bad_channel, lanwe_params(), ParsingError::InvalidChannel},
        {"absurd channels", bad_channel, lanwe_params(std::uint64_t(1) << 40), ParsingError::InvalidParameters},
        // More samples than the packet holds: the stop word is non-zero, so the window is not skipped,
        // but the samples cannot be decoded.
        {"samples beyond the packet", bad_channel, lanwe_params(16, 40), ParsingError::UnexpectedLength},
        {"samples beyond, bad channel first", bad_channel, lanwe_params(8, 40), ParsingError::InvalidChannel},
        // Without samples there is nothing non-zero to see: every window is skipped.
        {"samples 0", bad_channel, lanwe_params(16, 0), ParsingError::MissingData},
    };
    for (const Case& c : cases) EXPECT_TRUE(fails_with(parse<Lanwev1Event>(c.pk, c.p), c.e)) << c.what;
}

TEST(Lanwev1, StopWordStrings) {
    struct Case { YamlValue value; std::uint16_t stop; };
    const Case cases[] = {
        {YamlValue::from_string("fa5a"), 0xFA5A},
        {YamlValue::from_string("+FA5A"), 0xFA5A},
        {YamlValue::from_string("0xFA5A"), 0xFA5A},
        {YamlValue::from_uint(64090), 0xFA5A},
        {YamlValue::from_string(""), 0xFA5A},
        {YamlValue::from_string("+"), 0xFA5A},
        {YamlValue::from_string("-"), 0xFA5A},
        {YamlValue::from_string("-1"), 0xFA5A},
        {YamlValue::from_string("++1234"), 0xFA5A},
        {YamlValue::from_string("12 34"), 0xFA5A},
        {YamlValue::from_string("10000000000001234"), 0xFA5A},  // beyond 64 bits
        {YamlValue::from_string("000000000000000000001234"), 0x1234},
        {YamlValue::from_string("1234"), 0x1234},
        {YamlValue::from_string("ABCDbeef"), 0xBEEF},
        {YamlValue::from_string("FFFFFFFFFFFF0999"), 0x0999},
        {YamlValue::make_tagged("!hex", YamlValue::from_string("c0de")), 0xC0DE},
    };
    for (const Case& c : cases) {
        Params p = lanwe_params();
        set_key(p, "stop_word", c.value);
        Packet pk;
        window(pk, {0x0001, 5, 1, samples32(1)}, c.stop);
        const auto r = parse<Lanwev1Event>(pk, p);
        ASSERT_TRUE(r.ok()) << std::hex << c.stop;
        EXPECT_EQ(r->data[1].size(), 32u);
    }
}

TEST(Lanwev1, NonDefaultLayoutKeys) {
    // "packet_size" 10 gives window packets of 6 words: four header words, one sample, the stop word.
    Params p = make_params("lanwev1_evalr2", 1024, 64, 1,
                           {{"packet_size", u(10)}, {"chanmask", u(0x0300)}, {"abs_wind_mask", tagged(0xF0)},
                            {"timing_mask", u(0x100FF)}, {"timing_shift", u(40)}});  // shift 40 acts as 8
    Packet pk;
    pk.be({0x0200, 0x1234, 0x5678, 0x00AB, 77, 0xFA5A});
    pk.be({0x0100, 0x0000, 0x0001, 0x00CD, 88, 0xFA5A});
    const auto r = parse<Lanwev1Event>(pk, p);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->data[512], std::vector<float>{77});
    EXPECT_EQ(r->window_labels[512], std::vector<std::uint16_t>{0xA0});
    EXPECT_EQ(r->timing[512], std::vector<std::uint32_t>{0x3478});
    EXPECT_EQ(r->time[512], std::vector<std::uint16_t>{0x3477});  // (0x3478 - 1) windows of one sample
    EXPECT_EQ(r->data[256], std::vector<float>{88});
    EXPECT_EQ(r->timing[256], std::vector<std::uint32_t>{1});
    EXPECT_EQ(r->time[256], std::vector<std::uint16_t>{0});
}

TEST(Lanwev1, HeaderCountMovesSamples) {
    // Two header words: the samples start at word 2, words 1..3 still hold timing and window.
    Params p = make_params("lanwev1_evalr2", 4, 64, 3, {{"headers", u(2)}, {"packet_size", u(10)}});
    const auto r = parse<Lanwev1Event>(Packet{}.be({0x0001, 0x0002, 0x0003, 0x0004, 0x0005, 0xFA5A}), p);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->data[1], (std::vector<float>{3, 4, 5}));
    EXPECT_EQ(r->window_labels[1], std::vector<std::uint16_t>{4});
    EXPECT_EQ(r->timing[1], std::vector<std::uint32_t>{(2u << 12) | 3u});

    // Windows too short to hold four header words cannot be decoded; more headers than words skip it.
    Params tiny = make_params("lanwev1_evalr2", 4, 64, 1, {{"headers", u(1)}, {"packet_size", u(4)}});
    EXPECT_TRUE(fails_with(parse<Lanwev1Event>(Packet{}.be({0x0001, 0x0009, 0xFA5A}), tiny), ParsingError::UnexpectedLength));
    Params many = make_params("lanwev1_evalr2", 4, 64, 1, {{"headers", u(40)}});
    Packet pk;
    window(pk, {0x0001, 5, 1, samples32(1)});
    EXPECT_TRUE(fails_with(parse<Lanwev1Event>(pk, many), ParsingError::MissingData));
}

TEST(Lanwev1, UnusableLayoutKeysFallBackToDefaults) {
    Packet pk;
    window(pk, {0x0041, 0xABCDEF, 0x0042, samples32(1)});
    std::vector<KeyChange> changes = unusable_for({"chanmask", "abs_wind_mask", "timing_mask", "timing_shift",
                                                   "packet_size", "headers", "stop_word"});
    // A text stop word is read as hexadecimal: StopWordStrings covers those.
    std::erase_if(changes, [](const KeyChange& c) { return c.key == "stop_word" && c.value.kind == YamlValue::Kind::String; });
    expect_same_parse<Lanwev1Event>(pk, lanwe_params(), changes);
}

// The time axis of a channel always has one value per sample. Where start + n*S runs past 65535 the
// values wrap modulo 65536 like every time axis, instead of the axis coming out empty or short.
TEST(Lanwev1, TimeAxisWrapsInsteadOfVanishing) {
    Packet pk;
    window(pk, {0x0000, 1000, 0, samples32(1)});
    window(pk, {0x0001, 1000 + 2047, 0, samples32(1)});  // starts at 2047 * 32 = 65504
    window(pk, {0x0001, 1000 + 2048, 1, samples32(1)});
    const auto r = parse<Lanwev1Event>(pk, lanwe_params());
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->time[1].size(), r->data[1].size());
    std::vector<std::uint16_t> expected = iota16(32, 65504);
    const auto tail = iota16(32, 0);
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(r->time[1], expected);
    EXPECT_EQ(r->time[0], iota16(32));
}
