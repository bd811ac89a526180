// Layout of exported CSV files: dialect, window merge, header, event rows and "Bad channel" lines.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "export/csv.h"
#include "export/layout.h"
#include "export_test_util.h"

namespace {

using brimo::ChannelList;
using brimo::CsvWriter;
using brimo::ExportErrorKind;
using brimo::Lanwev1Event;
using brimo::Params;
using brimo::Pellorv3Event;
using brimo_test::read_file;
using brimo_test::StdoutCapture;
using brimo_test::TempDir;
using Labels = std::vector<std::vector<std::uint16_t>>;

// ---------------------------------------------------------------------------------------------
// Window merge

// The merge steps taken literally (copies of the lists, erase from the front), to check the
// implementation against on random inputs.
std::vector<std::uint16_t> reference_merge(const Labels& in) {
    Labels lists;
    for (const auto& l : in) {
        if (!l.empty()) lists.push_back(l);
    }
    std::vector<std::uint16_t> merged;
    auto nonempty = [&] {
        for (const auto& l : lists) {
            if (!l.empty()) return true;
        }
        return false;
    };
    while (nonempty()) {
        std::vector<std::size_t> wrapped, ascending, all;
        for (std::size_t i = 0; i < lists.size(); ++i) {
            const auto& l = lists[i];
            if (l.empty()) continue;
            all.push_back(i);
            if (l.back() < l.front()) wrapped.push_back(i);
            if (l.front() < l.back()) ascending.push_back(i);
        }
        std::vector<std::size_t> cand;
        if (!wrapped.empty() && !ascending.empty()) {
            const auto& a = lists[ascending.front()];
            for (std::size_t i : wrapped) {
                if (std::find(a.begin(), a.end(), lists[i].front()) == a.end()) cand.push_back(i);
            }
        }
        if (cand.empty()) cand = all;
        std::size_t best = cand.front();
        for (std::size_t i : cand) {
            if (lists[i].front() < lists[best].front()) best = i;
        }
        const std::uint16_t u = lists[best].front();
        if (merged.empty() || merged.back() != u) merged.push_back(u);
        std::erase_if(lists, [](const auto& l) { return l.empty(); });
        for (auto& l : lists) {
            if (l.front() == u) l.erase(l.begin());
        }
    }
    return merged;
}

struct MergeCase {
    const char* name;
    Labels lists;
    std::vector<std::uint16_t> merged;
};

class MergeExamples : public ::testing::TestWithParam<MergeCase> {};

TEST_P(MergeExamples, Merge) {
    EXPECT_EQ(brimo::merge_window_labels(GetParam().lists), GetParam().merged);
    EXPECT_EQ(reference_merge(GetParam().lists), GetParam().merged);
}

INSTANTIATE_TEST_SUITE_P(
    Merge, MergeExamples,
    ::testing::Values(
        MergeCase{"ring_wrap", {{510, 511, 0, 1}, {0, 1, 2, 3}}, {510, 511, 0, 1, 2, 3}},
        MergeCase{"overlap", {{4, 5}, {5, 6}}, {4, 5, 6}},
        MergeCase{"wrapped_first", {{5, 1}, {1, 2}, {5, 6}}, {5, 1, 2, 6}},
        MergeCase{"wrapped_head_in_ascending", {{2, 0}, {1, 2}}, {1, 2, 0}},
        MergeCase{"only_wrapped_candidate", {{7, 3}, {3, 4}}, {7, 3, 4}},
        MergeCase{"repeat_suppressed", {{3, 3}}, {3}},
        MergeCase{"nothing", {}, {}},
        MergeCase{"empty_lists_ignored", {{}, {2, 3}, {}}, {2, 3}},
        MergeCase{"single_windows_tie", {{9}, {9}, {4}}, {4, 9}},
        MergeCase{"disjoint", {{1, 2}, {2, 3}}, {1, 2, 3}},
        MergeCase{"wrapped_only", {{6, 7, 0}, {7, 0, 1}}, {6, 7, 0, 1}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MergeRandom, MatchesLiteralSteps) {
    std::mt19937 rng(7);
    for (int round = 0; round < 20000; ++round) {
        Labels lists(rng() % 5);
        const std::uint16_t range = static_cast<std::uint16_t>(2 + rng() % 12);
        for (auto& l : lists) {
            const std::size_t len = rng() % 6;
            // Mostly runs of consecutive windows around a ring, sometimes arbitrary numbers.
            std::uint16_t w = static_cast<std::uint16_t>(rng() % range);
            const bool arbitrary = rng() % 4 == 0;
            for (std::size_t i = 0; i < len; ++i) {
                l.push_back(arbitrary ? static_cast<std::uint16_t>(rng() % range) : w);
                w = static_cast<std::uint16_t>((w + 1) % range);
            }
        }
        ASSERT_EQ(brimo::merge_window_labels(lists), reference_merge(lists)) << "round " << round;
    }
}

// ---------------------------------------------------------------------------------------------
// Writer and layout

// Writes through a CsvWriter into a temporary file and returns the file's content.
template <class F>
std::string written(F&& body, std::size_t capacity = CsvWriter::kDefaultCapacity) {
    TempDir dir;
    const auto p = dir.path() / "out.csv";
    CsvWriter out(brimo::UniqueFd(::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)), capacity);
    body(out);
    EXPECT_TRUE(out.finish().ok());
    return read_file(p);
}

Params params_with_samples(std::uint64_t s) {
    Params p;
    p.model = "pellorv3";
    p.samples = s;
    return p;
}

template <class E>
void set_channel(E& e, std::size_t c, std::vector<std::uint16_t> labels, std::vector<float> data,
                 std::vector<std::uint16_t> time) {
    e.window_labels[c] = std::move(labels);
    e.data[c] = std::move(data);
    e.time[c] = std::move(time);
}

template <class E>
std::string export_file(const std::vector<E>& events, std::uint64_t samples) {
    return written([&](CsvWriter& out) {
        EXPECT_TRUE(brimo::export_csv<E>(events, out, params_with_samples(samples)).ok());
    });
}

TEST(CsvDialect, QuotesOnlyWhereNeeded) {
    const std::string text = written([](CsvWriter& out) {
        const std::string_view rec1[] = {"plain", "a,b", "say \"hi\"", "cr\r", "lf\n", ""};
        const std::string_view rec2[] = {"x", "", "", "", "", "y"};
        out.write_record(rec1);
        out.write_record(rec2);
    });
    EXPECT_EQ(text, "plain,\"a,b\",\"say \"\"hi\"\"\",\"cr\r\",\"lf\n\",\nx,,,,,y\n");
}

TEST(CsvDialect, FieldLongerThanBuffer) {
    const std::string big(10000, 'q');
    const std::string text = written(
        [&](CsvWriter& out) {
            const std::string_view rec[] = {big, "\"1\""};
            out.write_record(rec);
        },
        4096);
    EXPECT_EQ(text, big + ",\"\"\"1\"\"\"\n");
}

TEST(CsvHeader, Groups) {
    EXPECT_EQ(written([](CsvWriter& out) { ASSERT_TRUE(brimo::write_header_record(out, {0, 5}, false).ok()); }),
              "acq_num,evt_num,windnum_ch0,data_ch0,time_ch0,windnum_ch5,data_ch5,time_ch5\n");
    EXPECT_EQ(written([](CsvWriter& out) { ASSERT_TRUE(brimo::write_header_record(out, {2}, true).ok()); }),
              "acq_num,evt_num,windnum_ch2,data_ch2,time_ch2,timing_ch2\n");
    EXPECT_EQ(export_file(std::vector<Pellorv3Event>{}, 4), "acq_num,evt_num\n");
}

TEST(CsvChannels, AnyEventWithSamples) {
    std::vector<Pellorv3Event> events(3, Pellorv3Event(6));
    events[0].data[5] = {1};
    events[1].data[0] = {1};
    events[1].window_labels[3] = {1};  // labels alone do not give a channel columns
    events[2] = Pellorv3Event(2);
    events[2].data[1] = {1};
    EXPECT_EQ(brimo::channels<Pellorv3Event>(events), (ChannelList{0, 1, 5}));
}

TEST(CsvRows, TwoWindowEvent) {
    Pellorv3Event e(1);
    set_channel(e, 0, {3, 4}, {10, 11, 12, 13}, {0, 1, 2, 3});
    EXPECT_EQ(export_file(std::vector{e}, 2),
              "acq_num,evt_num,windnum_ch0,data_ch0,time_ch0\n"
              "0,0,3,10,0\n0,0,3,11,1\n0,0,4,12,2\n0,0,4,13,3\n");
}

TEST(CsvRows, ChannelsAlignedByWindowAndEventPositions) {
    Pellorv3Event a(2);
    set_channel(a, 0, {1, 2}, {5, 6}, {0, 1});
    set_channel(a, 1, {2, 3}, {7, 8}, {0, 1});
    // Second event: channel 0 only; channel 1 cells are empty in its rows.
    Pellorv3Event b(2);
    set_channel(b, 0, {9}, {-0.5f}, {0});
    EXPECT_EQ(export_file(std::vector{a, b}, 1),
              "acq_num,evt_num,windnum_ch0,data_ch0,time_ch0,windnum_ch1,data_ch1,time_ch1\n"
              "0,0,1,5,0,,,\n"
              "0,0,2,6,1,2,7,0\n"
              "0,0,,,,3,8,1\n"
              "0,1,9,-0.5,0,,,\n");
}

TEST(CsvRows, LanweTimingColumn) {
    Lanwev1Event e(3);
    set_channel(e, 2, {7, 8}, {1, 2, 3, 4}, {0, 1, 2, 3});
    e.timing[2] = {100, 16777217};  // passes through a 32-bit float like every cell
    EXPECT_EQ(export_file(std::vector{e}, 2),
              "acq_num,evt_num,windnum_ch2,data_ch2,time_ch2,timing_ch2\n"
              "0,0,7,1,0,100\n0,0,7,2,1,100\n0,0,8,3,2,16777216\n0,0,8,4,3,16777216\n");
}

TEST(CsvRows, EmptyCellsAndSpecialValues) {
    Pellorv3Event e(1);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    set_channel(e, 0, {0}, {nan, -0.0f, 0.1f, std::numeric_limits<float>::infinity()}, {0, 1, 2, 3});
    // Window labels of a channel outside the channel list still give rows (channel 3 of a wider event).
    Pellorv3Event labels_only(4);
    labels_only.window_labels[3] = {5};
    EXPECT_EQ(export_file(std::vector{e, labels_only}, 4),
              "acq_num,evt_num,windnum_ch0,data_ch0,time_ch0\n"
              "0,0,0,,0\n0,0,0,-0,1\n0,0,0,0.1,2\n0,0,0,inf,3\n"
              "0,1,,,\n0,1,,,\n0,1,,,\n0,1,,,\n");
    // No channel has samples anywhere in the file: rows hold only acq_num and evt_num; an event
    // without window labels has no rows.
    EXPECT_EQ(export_file(std::vector{Pellorv3Event(2), labels_only}, 2), "acq_num,evt_num\n0,1\n0,1\n");
}

// Channels whose samples cannot be placed: the line on standard output, empty cells, export goes on.
struct BadCase {
    const char* name;
    std::uint64_t samples;
    std::vector<std::uint16_t> labels;
    std::size_t n_data;
    std::vector<std::uint16_t> time;
    std::string rows;  // expected rows of the event (second in its file), channel 0 then channel 5
    std::string out;   // expected standard output
};

class CsvBadChannel : public ::testing::TestWithParam<BadCase> {};

TEST_P(CsvBadChannel, Rows) {
    const BadCase& bc = GetParam();
    Pellorv3Event first(6);
    const std::size_t n_first = bc.samples == 2 ? 2 : 1;
    set_channel(first, 0, {0}, std::vector<float>(n_first, 1.0f), std::vector<std::uint16_t>(n_first, 0));
    Pellorv3Event e(6);
    set_channel(e, 5, bc.labels, std::vector<float>(bc.n_data, 2.0f), bc.time);
    StdoutCapture cap;
    const std::string text = export_file(std::vector{first, e}, bc.samples);
    const std::string out = cap.text();
    EXPECT_EQ(out, bc.out);
    const std::string header = "acq_num,evt_num,windnum_ch0,data_ch0,time_ch0,windnum_ch5,data_ch5,time_ch5\n";
    ASSERT_EQ(text.substr(0, header.size()), header);
    const std::size_t second = text.find("\n0,1,");
    EXPECT_EQ(second == std::string::npos ? "" : text.substr(second + 1), bc.rows);
}

INSTANTIATE_TEST_SUITE_P(
    CsvBadChannel, CsvBadChannel,
    ::testing::Values(
        // Window 3 twice merges into one window: 2 x S samples run past the S rows.
        BadCase{"past_last_row", 2, {3, 3}, 4, {0, 1, 0, 1}, "0,1,,,,,,\n0,1,,,,,,\n", "Bad channel 5 at Event 1\n"},
        BadCase{"fits", 2, {3, 4}, 4, {0, 1, 2, 3}, "0,1,,,,3,2,0\n0,1,,,,3,2,1\n0,1,,,,4,2,2\n0,1,,,,4,2,3\n",
                ""},
        BadCase{"no_labels", 2, {}, 2, {0, 1}, "", "Bad channel 5 at Event 1\n"},
        BadCase{"time_short", 2, {3}, 2, {0}, "0,1,,,,3,2,0\n0,1,,,,3,2,0\n", ""},
        BadCase{"time_missing", 2, {3, 4}, 4, {0, 1}, "0,1,,,,,,\n0,1,,,,,,\n0,1,,,,,,\n0,1,,,,,,\n",
                "Bad channel 5 at Event 1\n"},
        BadCase{"labels_short", 1, {3}, 3, {0, 1, 2}, "0,1,,,,,,\n", "Bad channel 5 at Event 1\n"},
        BadCase{"zero_samples", 0, {3}, 1, {0}, "", "Bad channel 0 at Event 0\nBad channel 5 at Event 1\n"},
        // An absurd "samples" value would give endless rows from a tiny event: nothing is written.
        BadCase{"absurd_samples", std::uint64_t(1) << 40, {1, 2}, 2, {0, 1}, "", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CsvRows, EventsTooLargeToLayOut) {
    // 20000 channels with one window each: 4e8 merge steps, beyond what a real event needs.
    Pellorv3Event e(20000);
    for (std::size_t c = 0; c < 20000; ++c) set_channel(e, c, {static_cast<std::uint16_t>(c)}, {1}, {0});
    Pellorv3Event small(20000);
    set_channel(small, 7, {1}, {2}, {0});
    const std::string text = export_file(std::vector{e, small}, 1);
    EXPECT_EQ(text.substr(text.find('\n') + 1), "0,1" + std::string(3 * 7, ',') + ",1,2,0" + std::string(3 * 19992, ',') + "\n");
}

TEST(CsvRows, ChannelBeyondEventFields) {
    // The file's channel list comes from the first event; the second has fewer channel entries.
    Pellorv3Event wide(4);
    set_channel(wide, 3, {0}, {1}, {0});
    Pellorv3Event narrow(1);
    set_channel(narrow, 0, {0}, {2}, {0});
    narrow.time.clear();  // inconsistent record: data without a time entry
    Lanwev1Event lanwe(1);
    set_channel(lanwe, 0, {0}, {2}, {0});
    lanwe.timing.clear();
    StdoutCapture cap;
    EXPECT_EQ(export_file(std::vector{wide, narrow}, 1),
              "acq_num,evt_num,windnum_ch0,data_ch0,time_ch0,windnum_ch3,data_ch3,time_ch3\n"
              "0,0,,,,0,1,0\n0,1,,,,,,\n");
    EXPECT_EQ(export_file(std::vector{lanwe}, 1), "acq_num,evt_num,windnum_ch0,data_ch0,time_ch0,timing_ch0\n0,0,,,,\n");
    EXPECT_EQ(cap.text(), "Bad channel 0 at Event 1\nBad channel 0 at Event 0\n");
}

TEST(CsvRows, WideRowsLargerThanBuffer) {
    // 3000 channels x 3 columns: a row longer than half the writer's buffer is reserved group by group.
    Pellorv3Event e(3000);
    for (std::size_t c = 0; c < 3000; ++c) set_channel(e, c, {1}, {1.0f / 3.0f}, {0});
    TempDir dir;
    const auto p = dir.path() / "wide.csv";
    CsvWriter out(brimo::UniqueFd(::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)), 4096);
    ASSERT_TRUE(brimo::export_csv<Pellorv3Event>(std::vector{e}, out, params_with_samples(1)).ok());
    ASSERT_TRUE(out.finish().ok());
    const std::string text = read_file(p);
    std::string row = "0,0";
    for (int c = 0; c < 3000; ++c) row += ",1,0.33333334,0";
    EXPECT_EQ(text.substr(text.find('\n') + 1), row + "\n");
}

// Writing to a full device: the error comes from the row that overflows the buffer, or from finish().
TEST(CsvWriteError, FullDevice) {
    Pellorv3Event e(1);
    set_channel(e, 0, {0}, std::vector<float>(100000, 1.5f), std::vector<std::uint16_t>(100000, 7));
    {
        CsvWriter out(brimo::UniqueFd(::open("/dev/full", O_WRONLY)), 4096);
        auto r = brimo::export_csv<Pellorv3Event>(std::vector{e}, out, params_with_samples(100000));
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().kind, ExportErrorKind::Csv);
        EXPECT_FALSE(r.error().csv_error.empty());
        EXPECT_FALSE(out.finish().ok());
    }
    {
        CsvWriter out(brimo::UniqueFd(::open("/dev/full", O_WRONLY)));
        ASSERT_TRUE(brimo::write_header_record(out, {0}, false).ok());  // still in the buffer
        auto r = out.finish();
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().kind, ExportErrorKind::Csv);
    }
}

}  // namespace
