#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

#include "packet_test_support.h"
#include "parsing/util.h"

using namespace brimo;
using namespace brimo::testing;

TEST(Framework, LayoutKeyLookupAcceptsOnlyNonNegativeIntegers) {
    struct Case {
        const char* what;
        YamlValue value;
        std::optional<std::uint64_t> expected;
    };
    const Case cases[] = {
        {"integer", u(7), 7},
        {"zero", u(0), 0},
        {"largest", u(UINT64_MAX), UINT64_MAX},
        {"negative zero", YamlValue::from_int(0), 0},
        {"negative", YamlValue::from_int(-1), std::nullopt},
        {"float", YamlValue::from_float(1.5), std::nullopt},
        {"whole float", YamlValue::from_float(3.0), std::nullopt},
        {"string", YamlValue::from_string("3"), std::nullopt},
        {"boolean", YamlValue::from_bool(true), std::nullopt},
        {"null", YamlValue::null(), std::nullopt},
        {"tagged", YamlValue::make_tagged("!a", u(9)), 9},
        {"tagged twice", YamlValue::make_tagged("!a", YamlValue::make_tagged("!b", u(11))), 11},
        {"tagged negative", YamlValue::make_tagged("!a", YamlValue::from_int(-4)), std::nullopt},
    };
    for (const Case& c : cases) {
        const Params p = make_params("pellorv3", 1, 1, 1, {{"k", c.value}});
        EXPECT_EQ(lookup_uint(p, "k"), c.expected) << c.what;
        EXPECT_EQ(lookup_u64(p, {"k", 42}), c.expected.value_or(42)) << c.what;
        EXPECT_EQ(lookup_u16(p, {"k", 42}), c.expected ? static_cast<std::uint16_t>(*c.expected) : 42) << c.what;
    }
    const Params p = make_params("pellorv3", 1, 1, 1, {{"mask", u(0x12345)}});
    EXPECT_EQ(lookup_u16(p, {"mask", 0}), 0x2345);
    EXPECT_EQ(lookup_u64(p, {"missing", 5}), 5u);
}

TEST(Framework, ModelTableIsExact) {
    const std::pair<const char*, Model> rows[] = {
        {"pellorv3", Model::Pellorv3},      {"pellorv3s", Model::Pellorv3S},    {"quarvelv3", Model::Quarvelv3},
        {"lanwev1_evalr2", Model::Lanwev1}, {"lanwev2_eval", Model::Lanwev1},   {"lanwev2_evalr1", Model::Lanwev1},
        {"lanwev2_evalr2", Model::Lanwev1}, {"ovisk_mirran", Model::Ovisk},     {"ovisk_pellor", Model::Ovisk},
        {"skerd16", Model::Skerd16},        {"kivro", Model::Kivrov1},          {"vombel96", Model::Vombel96},
        {"mirranv2", Model::Mirranv2},
    };
    for (const auto& [name, model] : rows) EXPECT_EQ(model_from_name(name), model) << name;
    for (std::size_t m = 0; m < kModelCount; ++m) {
        EXPECT_EQ(model_from_name(model_name(Model(m))), Model(m)) << m;
        EXPECT_FALSE(layout_keys(Model(m)).empty()) << m;
    }
    using namespace std::literals;
    for (std::string_view name : {"Pellorv3"sv, "pellorv3 "sv, " pellorv3"sv, "pellor"sv, "kivrov1"sv, "lanwev1"sv,
                                  "ovisk"sv, "quarvelv"sv, "MIRRANV2"sv, ""sv, "vombel96\n"sv, "skerd16\0"sv})
        EXPECT_EQ(model_from_name(name), std::nullopt) << name;
}

TEST(Framework, WordReadersDropTrailingByte) {
    const std::uint8_t bytes[] = {0x12, 0x34, 0xAB, 0xCD, 0x77};
    EXPECT_EQ(words_be(Bytes(bytes, 5)), (std::vector<std::uint16_t>{0x1234, 0xABCD}));
    EXPECT_EQ(words_le(Bytes(bytes, 5)), (std::vector<std::uint16_t>{0x3412, 0xCDAB}));
    EXPECT_TRUE(words_be(Bytes(bytes, 1)).empty());
    EXPECT_TRUE(words_le(Bytes(bytes, 0)).empty());
}

namespace {
std::vector<std::uint16_t> seq(std::uint32_t from, std::uint32_t count) {
    std::vector<std::uint16_t> v;
    for (std::uint32_t i = 0; i < count; ++i) v.push_back(static_cast<std::uint16_t>(from + i));
    return v;
}
std::vector<std::uint16_t> cat(std::initializer_list<std::vector<std::uint16_t>> parts) {
    std::vector<std::uint16_t> v;
    for (const auto& p : parts) v.insert(v.end(), p.begin(), p.end());
    return v;
}
}  // namespace

TEST(Framework, SetTimeAxisCases) {
    struct Case {
        const char* what;
        std::uint64_t windows, samples;
        std::vector<std::uint16_t> labels;
        std::vector<std::uint16_t> expected;
    };
    const Case cases[] = {
        {"wrap to relative window 2", 8, 4, {6, 7, 0}, seq(0, 12)},
        {"repeated label", 8, 4, {3, 3}, cat({seq(0, 4), seq(0, 4)})},
        {"values wrap modulo 65536", 128, 1024, {0, 64}, cat({seq(0, 1024), seq(0, 1024)})},
        {"no samples", 8, 0, {1, 2}, {}},
        // W is taken modulo 2^32: 2^32 + 8 behaves as 8.
        {"windows modulo 2^32", (std::uint64_t(1) << 32) + 8, 1, {7, 1}, {0, 2}},
        {"wrapped label placed after the buffer end", 8, 3, {2, 1}, {0, 1, 2, 21, 22, 23}},
        // 0 + 70000 - 1 = 69999, of which the low 16 bits are 4463
        {"relative window keeps 16 bits", 70000, 1, {1, 0}, {0, 4463}},
    };
    for (const Case& c : cases) {
        std::vector<std::vector<std::uint16_t>> time(1), labels{c.labels};
        const Params p = make_params("pellorv3", 1, c.windows, c.samples);
        ASSERT_TRUE(set_time_axis(time, labels, p).ok()) << c.what;
        EXPECT_EQ(time[0], c.expected) << c.what;
    }
}

TEST(Framework, SetTimeAxisChannelHandling) {
    using Axes = std::vector<std::vector<std::uint16_t>>;
    struct Case {
        const char* what;
        std::uint64_t channels, samples;
        Axes time, labels;
        std::optional<ParsingError> error;
        Axes expected;  // time afterwards, when no error
    };
    const Case cases[] = {
        // existing values are kept
        {"an empty channel is skipped, later ones filled", 3, 2, {{}, {}, {9}}, {{1}, {}, {5, 6}}, std::nullopt,
         {{0, 1}, {}, {9, 0, 1, 2, 3}}},
        {"fewer label entries than channels", 3, 2, Axes(3), {{1}, {2}}, ParsingError::MissingData, {}},
        {"fewer time entries than channels with windows", 3, 2, Axes(1), {{1}, {2}, {}}, ParsingError::MissingData, {}},
        {"no channels, no entries", 0, 2, {}, {}, std::nullopt, {}},
        {"absurd samples are refused, not allocated", 1, UINT64_MAX, Axes(1), {{1}}, ParsingError::InvalidParameters, {}},
    };
    for (const Case& c : cases) {
        Axes time = c.time, labels = c.labels;
        const auto r = set_time_axis(time, labels, make_params("pellorv3", c.channels, 8, c.samples));
        if (c.error) {
            ASSERT_FALSE(r.ok()) << c.what;
            EXPECT_EQ(r.error(), *c.error) << c.what;
        } else {
            ASSERT_TRUE(r.ok()) << c.what;
            EXPECT_EQ(time, c.expected) << c.what;
        }
    }
}

// The per-length entry must equal the one of the full table built the board's way, for small
// parameter sets, including the degenerate block sizes.
TEST(Framework, LengthEntryMatchesTabulatedTable) {
    std::mt19937_64 rng(7);
    for (int it = 0; it < 300; ++it) {
        LengthTable t;
        t.channels = rng() % 6;
        t.windows = rng() % 7;
        t.base_words = rng() % 6;
        t.block_extra = rng() % 3;
        t.channel_block_words = rng() % 6;
        t.fit_words = rng() % 8;
        std::map<std::uint64_t, std::vector<ChanWinds>> table;
        for (std::uint64_t i = 1; i + 1 <= t.windows; ++i)
            for (std::uint64_t J = 1; J <= t.channels; ++J)
                table[2 * (t.base_words + i * (t.block_extra + J * *t.channel_block_words))].push_back({J, i});
        for (auto& [len, pairs] : table)
            std::stable_sort(pairs.begin(), pairs.end(),
                             [](const ChanWinds& a, const ChanWinds& b) { return a.channels > b.channels; });
        for (std::uint64_t len = 0; len < 200; ++len) {
            const auto it2 = table.find(len);
            const std::vector<ChanWinds> want = it2 == table.end() ? std::vector<ChanWinds>{} : it2->second;
            ASSERT_EQ(length_entry(len, t, SIZE_MAX), want) << "len " << len << " iteration " << it;
            std::optional<ChanWinds> sel;
            if (want.size() == 1) sel = want[0];
            for (std::size_t k = 0; want.size() > 1 && k < want.size() && !sel; ++k)
                if (len >= 2 * (*t.fit_words + want[k].channels * *t.channel_block_words)) sel = want[k];
            ASSERT_EQ(select_chan_winds(len, t), sel) << "len " << len << " iteration " << it;
        }
    }
}

TEST(Framework, LengthEntryIsBoundedForAbsurdCounts) {
    LengthTable t;
    t.channels = UINT64_MAX;
    t.windows = UINT64_MAX;
    t.base_words = 4;
    t.block_extra = 1;
    t.channel_block_words = 5;
    t.fit_words = 4;
    // 92 bytes: T = 42 = i * (1 + 5J): (J, i) = (4, 2) and (1, 7), whatever the counts allow.
    EXPECT_EQ(length_entry(92, t, SIZE_MAX), (std::vector<ChanWinds>{{4, 2}, {1, 7}}));
    EXPECT_EQ(select_chan_winds(92, t), (ChanWinds{4, 2}));
    t.channel_block_words = 0;  // every channel count matches: only the first ones are produced
    EXPECT_EQ(length_entry(92, t, 2), (std::vector<ChanWinds>{{UINT64_MAX, 42}, {UINT64_MAX - 1, 42}}));
    EXPECT_EQ(select_chan_winds(92, t), (ChanWinds{UINT64_MAX, 42}));
    t.channel_block_words = std::nullopt;  // B beyond 64 bits: no length matches
    EXPECT_TRUE(length_entry(92, t, SIZE_MAX).empty());
    t.channel_block_words = UINT64_MAX / 3;  // J * B would wrap: 3 * B + 1 = 2^64 - 1 + 1 = 0
    EXPECT_TRUE(length_entry(8, t, SIZE_MAX).empty());
}

// Every parser, placeholders included, on random fuzz inputs: errors or events that hold.
TEST(Framework, FuzzEntryOnRandomInputsForAllModels) {
    std::mt19937_64 rng(11);
    std::vector<std::uint8_t> in;
    for (std::size_t model = 0; model < kModelCount; ++model) {
        const Model m = Model(model);
        for (int it = 0; it < 400; ++it) {
            in.resize(rng() % 200);
            for (auto& b : in) b = static_cast<std::uint8_t>(rng());
            // keep channel counts small most of the time so the run stays quick
            if (in.size() >= 2 && it % 16 != 0) in[1] = 0;
            const std::string why = fuzz_parse(m, in.data(), in.size());
            ASSERT_TRUE(why.empty()) << why << " model " << int(m) << " input " << hex(Bytes(in));
        }
    }
}

TEST(Framework, FuzzInputDecoding) {
    const std::uint8_t in[] = {4, 0, 8, 0, 0xFF, 0xFF, 2, 1, 0, 5, 0, 4, 2, 1, 0, 0xAA, 0xBB};
    const FuzzInput f = decode_fuzz_input(Model::Quarvelv3, in, sizeof in);
    EXPECT_EQ(f.params.model, "quarvelv3");
    EXPECT_EQ(f.params.channels, 4u);
    EXPECT_EQ(f.params.windows, 8u);
    EXPECT_EQ(f.params.samples, 0xFFFFFFFFu);  // 0xFFFF selects the last extreme value
    EXPECT_EQ(lookup_uint(f.params, "chanmask"), 5u);
    EXPECT_EQ(lookup_uint(f.params, "n_last_bits"), std::nullopt);  // negative integer
    EXPECT_EQ(f.packet.size(), 2u);
    EXPECT_EQ(f.packet[0], 0xAA);
}
