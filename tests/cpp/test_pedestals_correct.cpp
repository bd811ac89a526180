#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "calibration/corrected.h"
#include "calibration/pedestals.h"

using namespace brimo;

namespace {

Params params(std::uint64_t channels, std::uint64_t samples) {
    Params p;
    p.model = "pellorv3";
    p.channels = channels;
    p.windows = 512;
    p.samples = samples;
    return p;
}

EventBase event(std::vector<std::vector<std::uint16_t>> labels, std::vector<std::vector<float>> data) {
    EventBase e;
    e.window_labels = std::move(labels);
    e.data = std::move(data);
    e.time.resize(e.data.size());
    return e;
}

const Pedestals kTwoWindows{{{{10.f, 20.f}, {30.f, 40.f}}}};

}  // namespace

TEST(PedestalsCorrect, Cases) {
    using F = std::vector<std::vector<float>>;
    using L = std::vector<std::vector<std::uint16_t>>;
    struct Case {
        const char* what;
        Pedestals table;
        std::uint64_t channels, samples;
        L labels;
        F data;
        bool ok;
        F want;  // data after the call, also after a failure (earlier channels stay corrected)
    };
    const Pedestals three{{{{1.f, 2.f}}, {{10.f, 20.f}}, {{100.f, 200.f}}}};
    const std::vector<Case> cases = {
        {"label order selects the pedestal window", kTwoWindows, 1, 2, {{1, 0}}, {{100, 100, 100, 100}}, true,
         {{70, 60, 90, 80}}},
        {"window number outside the table", kTwoWindows, 1, 2, {{2}}, {{100, 100}}, false, {{100, 100}}},
        {"more samples than labels cover", kTwoWindows, 1, 2, {{1, 0}}, {{100, 100, 100, 100, 100}}, false,
         {{70, 60, 90, 80, 100}}},
        {"partial last window", kTwoWindows, 1, 2, {{0, 1}}, {{100, 100, 100}}, true, {{90, 80, 70}}},
        {"pedestal window shorter than S", Pedestals{{{{5.f}}}}, 1, 2, {{0}}, {{100, 100}}, false, {{95, 100}}},
        {"channel with labels but no samples skips the table", Pedestals{{}}, 1, 2, {{3}}, {{}}, true, {{}}},
        {"samples without labels are skipped", Pedestals{{}}, 1, 2, {{}}, {{1, 2, 3}}, true, {{1, 2, 3}}},
        {"labels but no data entry", kTwoWindows, 1, 2, {{0}}, {}, false, {}},
        {"no pedestal entry for the channel", kTwoWindows, 2, 2, {{0}, {0}}, {{100, 100}, {100, 100}}, false,
         {{90, 80}, {100, 100}}},
        {"channels beyond window_labels fail", three, 3, 2, {{0}, {0}}, {{5, 5}, {50, 50}}, false,
         {{4, 3}, {40, 30}}},
        {"channels beyond C are untouched", three, 1, 2, {{0}, {0}, {0}}, {{5, 5}, {50, 50}, {500, 500}}, true,
         {{4, 3}, {50, 50}, {500, 500}}},
        {"no channels", three, 0, 2, {}, {}, true, {}},
        {"samples 0 with a non-empty channel", kTwoWindows, 1, 0, {{0}}, {{100}}, false, {{100}}},
        {"samples 0 with empty channels", kTwoWindows, 1, 0, {{0}}, {{}}, true, {{}}},
        {"huge samples: one window covers all", kTwoWindows, 1, std::numeric_limits<std::uint64_t>::max(), {{0}},
         {{100, 100}}, true, {{90, 80}}},
    };
    for (const Case& c : cases) {
        EventBase e = event(c.labels, c.data);
        auto r = c.table.correct(e, params(c.channels, c.samples));
        EXPECT_EQ(r.ok(), c.ok) << c.what;
        EXPECT_EQ(e.data, c.want) << c.what;
    }
}

TEST(PedestalsCorrect, FloatArithmeticIsPlainSubtraction) {
    const float inf = std::numeric_limits<float>::infinity();
    const Pedestals table{{{{0.1f, inf, 1.f, std::nanf("")}}}};
    EventBase e = event({{0}}, {{0.3f, 5.f, -inf, 2.f}});
    ASSERT_TRUE(table.correct(e, params(1, 4)).ok());
    EXPECT_EQ(e.data[0][0], 0.3f - 0.1f);  // one float subtraction, no rounding to integers
    EXPECT_EQ(e.data[0][1], -inf);
    EXPECT_EQ(e.data[0][2], -inf);
    EXPECT_TRUE(std::isnan(e.data[0][3]));
}

TEST(PedestalsCorrections, CopiesShareOneImmutableTable) {
    Corrections base{params(1, 2), std::nullopt};
    EXPECT_FALSE(base.pedestals_table.has_value());
    Corrections with = Corrections(base).pedestals(kTwoWindows);
    ASSERT_TRUE(with.pedestals_table);
    EXPECT_EQ(with.pedestals_table->data, kTwoWindows.data);
    Corrections copy = with;
    EXPECT_EQ(copy.pedestals_table.shared().get(), with.pedestals_table.shared().get());
    EXPECT_EQ(copy.params.samples, 2u);
    // The builder also takes an optional, and replaces (or drops) the table.
    Corrections dropped = std::move(copy).pedestals(std::optional<Pedestals>{});
    EXPECT_TRUE(dropped.pedestals_table == std::nullopt);
    EXPECT_TRUE(with.pedestals_table);
}

namespace {
// A source of events from a list, in order.
struct ListSource {
    std::vector<Pellorv3Event> events;
    std::size_t next_index = 0;
    std::optional<Pellorv3Event> next() {
        if (next_index == events.size()) return std::nullopt;
        return events[next_index++];
    }
};

Pellorv3Event pellorv3(std::vector<std::uint16_t> labels, std::vector<float> data, std::uint32_t header) {
    Pellorv3Event e(1);
    e.window_labels[0] = std::move(labels);
    e.data[0] = std::move(data);
    e.header_value = header;
    return e;
}
}  // namespace

TEST(CorrectedAdapter, AFailureCostsExactlyOneEvent) {
    ListSource src{{pellorv3({1, 0}, {100, 100, 100, 100}, 1), pellorv3({2}, {100, 100}, 2),
                    pellorv3({0}, {15, 25}, 3)}};
    Corrected adapter(Corrections{params(1, 2), kTwoWindows}, src);
    auto a = adapter.next();
    ASSERT_TRUE(a && a->ok());
    EXPECT_EQ((*a)->data[0], (std::vector<float>{70, 60, 90, 80}));
    EXPECT_EQ((*a)->header_value, 1u);  // model fields travel with the event
    auto b = adapter.next();
    ASSERT_TRUE(b);
    EXPECT_FALSE(b->ok());
    auto c = adapter.next();
    ASSERT_TRUE(c && c->ok());
    EXPECT_EQ((*c)->data[0], (std::vector<float>{5, 5}));
    EXPECT_EQ((*c)->header_value, 3u);
    EXPECT_FALSE(adapter.next());
    EXPECT_FALSE(adapter.next());
}

TEST(CorrectedAdapter, WithoutPedestalsEventsPassUnchanged) {
    // Events that would fail correction pass too: nothing is checked without a table.
    std::vector<Pellorv3Event> events = {pellorv3({7}, {1, 2, 3}, 1), pellorv3({}, {4}, 2)};
    std::size_t i = 0;
    auto source = [&]() -> std::optional<Pellorv3Event> {
        if (i == events.size()) return std::nullopt;
        return events[i++];
    };
    Corrected adapter(Corrections{params(1, 2), std::nullopt}, source);
    for (const Pellorv3Event& want : events) {
        auto got = adapter.next();
        ASSERT_TRUE(got && got->ok());
        EXPECT_EQ((*got)->data, want.data);
        EXPECT_EQ((*got)->window_labels, want.window_labels);
    }
    EXPECT_FALSE(adapter.next());
}
