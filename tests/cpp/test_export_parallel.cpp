// Rows formatted on worker threads: the files and the "Bad channel" lines must be exactly those of
// formatting on the calling thread, whatever the batching, the number of workers, or a failing device.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "acquisition/acquisition.h"
#include "calibration/pedestals.h"
#include "concurrency/pool.h"
#include "export/csv.h"
#include "export/export.h"
#include "export/layout.h"
#include "export/parallel_rows.h"
#include "export_test_util.h"

namespace {

namespace fs = std::filesystem;
using brimo::CsvWriter;
using brimo::ExportErrorKind;
using brimo::Lanwev1Event;
using brimo::Params;
using brimo::Pellorv3Event;
using brimo::RowBatching;
using brimo::concurrency::WorkerPool;
using brimo_test::read_file;
using brimo_test::StdoutCapture;
using brimo_test::TempDir;

// What one export produced: the file and the lines on standard output.
struct Output {
    std::string file;
    std::string lines;
    bool ok = true;
};

// Runs `body` on a CsvWriter over a fresh file (or over `device`), capturing standard output.
template <class F>
Output capture(F&& body, const char* device = nullptr) {
    TempDir dir;
    const fs::path p = device ? fs::path(device) : dir.path() / "out.csv";
    Output o;
    StdoutCapture cap;
    {
        CsvWriter out(brimo::UniqueFd(::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)));
        o.ok = body(out);
        o.ok = out.finish().ok() && o.ok;
    }
    o.lines = cap.text();
    if (!device) o.file = read_file(p);
    return o;
}

float random_value(std::mt19937& rng) {
    switch (rng() % 10) {
        case 0: return std::numeric_limits<float>::quiet_NaN();
        case 1: return (rng() & 1) ? std::numeric_limits<float>::infinity() : -std::numeric_limits<float>::infinity();
        case 2: return (rng() & 1) ? -0.0f : 0.0f;
        case 3: return static_cast<float>(static_cast<int>(rng() % 8192) - 4096);
        case 4: return static_cast<float>(static_cast<int>(rng() % 400000) - 200000) / 100.0f;
        default: {
            const float f = std::bit_cast<float>(static_cast<std::uint32_t>(rng()));
            return f;  // any pattern, NaN payloads and subnormals included
        }
    }
}

// A window-label list of `n` numbers: ascending, wrapped around the ring, repeated (the channel's
// samples then run past the event's rows), or arbitrary.
std::vector<std::uint16_t> random_labels(std::mt19937& rng, std::size_t n) {
    std::vector<std::uint16_t> l(n);
    const unsigned kind = rng() % 4;
    const auto first = static_cast<std::uint16_t>(rng() % 512);
    for (std::size_t i = 0; i < n; ++i) {
        switch (kind) {
            case 0: l[i] = static_cast<std::uint16_t>(first + i); break;
            case 1: l[i] = static_cast<std::uint16_t>((510 + i) % 512); break;
            case 2: l[i] = first; break;
            default: l[i] = static_cast<std::uint16_t>(rng() % 16); break;
        }
    }
    return l;
}

// Events of every shape the row writer handles: empty and missing channels, channels outside the
// file's list, fields too short for their samples, wrapped and repeated windows, events without
// rows, special values. Some events are much larger than the others.
template <class E>
std::vector<E> random_events(std::mt19937& rng, std::size_t count, std::uint64_t samples) {
    std::vector<E> events;
    for (std::size_t n = 0; n < count; ++n) {
        E e(1 + rng() % 6);
        for (std::size_t c = 0; c < e.data.size(); ++c) {
            const unsigned shape = rng() % 8;
            if (shape == 0) continue;  // no samples
            const std::size_t windows = (n % 37 == 5) ? 40 + rng() % 40 : 1 + rng() % 4;
            e.window_labels[c] = random_labels(rng, windows);
            if (shape == 1) continue;  // window labels only
            std::size_t len = windows * samples;
            if (shape == 2) len = len + 1 + rng() % 3;  // more samples than the windows hold
            if (len == 0) len = 1;
            for (std::size_t k = 0; k < len; ++k) e.data[c].push_back(random_value(rng));
            const std::size_t tlen = shape == 3 ? 1 : shape == 4 ? len / 2 : len;
            for (std::size_t k = 0; k < tlen; ++k) e.time[c].push_back(static_cast<std::uint16_t>(rng()));
            if constexpr (std::is_same_v<E, Lanwev1Event>) {
                const std::size_t mlen = shape == 5 ? 1 : shape == 6 ? 0 : windows;
                for (std::size_t k = 0; k < mlen; ++k) e.timing[c].push_back(static_cast<std::uint32_t>(rng()));
            }
        }
        events.push_back(std::move(e));
    }
    return events;
}

Params with_samples(std::uint64_t s) {
    Params p;
    p.model = "pellorv3";
    p.samples = s;
    return p;
}

template <class E>
void expect_same_as_sequential(const std::vector<E>& events, std::uint64_t samples) {
    const Params params = with_samples(samples);
    const Output seq = capture([&](CsvWriter& out) { return brimo::export_csv<E>(events, out, params).ok(); });
    ASSERT_TRUE(seq.ok);
    ASSERT_NE(seq.lines, "") << "the events should include bad channels";

    const RowBatching batchings[] = {
        {},                                                     // as exported
        {.batch_values = 1, .batch_max_events = 1, .held_text = 1},  // every row written in turn
        {.batch_values = 300, .batch_max_events = 3, .held_text = 64 * 1024},
    };
    for (const std::size_t workers : {2, 4}) {
        WorkerPool pool(workers);
        for (const RowBatching& b : batchings) {
            const Output par = capture([&](CsvWriter& out) {
                return brimo::export_csv_parallel<E>(events, out, params, pool, b).ok();
            });
            SCOPED_TRACE("workers " + std::to_string(workers) + ", batch values " + std::to_string(b.batch_values));
            EXPECT_TRUE(par.ok);
            EXPECT_TRUE(par.file == seq.file) << "files differ";
            EXPECT_EQ(par.lines, seq.lines);
        }
    }
}

TEST(ParallelRows, SameFileAndLinesAsSequential) {
    std::mt19937 rng(20240607);
    for (const std::uint64_t samples : {1, 3}) {
        expect_same_as_sequential(random_events<Pellorv3Event>(rng, 300, samples), samples);
        expect_same_as_sequential(random_events<Lanwev1Event>(rng, 300, samples), samples);
    }
}

// On a full device the export fails with ExportError::Csv, like the sequential one, and the lines
// printed are the sequential run's first ones: none of a later event comes out of turn.
TEST(ParallelRows, WriteFailure) {
    std::mt19937 rng(7);
    const auto events = random_events<Pellorv3Event>(rng, 400, 2);
    const Params params = with_samples(2);
    const Output all = capture([&](CsvWriter& out) { return brimo::export_csv<Pellorv3Event>(events, out, params).ok(); });
    WorkerPool pool(3);
    for (const RowBatching& b : {RowBatching{}, RowBatching{.batch_values = 50, .batch_max_events = 2, .held_text = 4096}}) {
        brimo::ExportErrorKind kind = ExportErrorKind::Unknown;
        const Output par = capture(
            [&](CsvWriter& out) {
                auto r = brimo::export_csv_parallel<Pellorv3Event>(events, out, params, pool, b);
                if (!r) kind = r.error().kind;
                return r.ok();
            },
            "/dev/full");
        EXPECT_FALSE(par.ok);
        // The failure may also surface only when the file is closed, after a successful return.
        if (kind != ExportErrorKind::Unknown) {
            EXPECT_EQ(kind, ExportErrorKind::Csv);
        }
        EXPECT_EQ(all.lines.compare(0, par.lines.size(), par.lines), 0) << par.lines;
    }
}

// The driver end to end: chunk files of a pellorv3 acquisition with unreadable, repeated and
// bad-channel events, with pedestal correction, on the calling thread and on a pool.
TEST(ParallelRows, DriverSameFiles) {
    std::vector<std::vector<std::uint8_t>> packets;
    std::mt19937 rng(99);
    for (unsigned i = 0; i < 120; ++i) {
        std::vector<brimo_test::PellorWindow> windows;
        const unsigned w0 = rng() % 256;
        for (unsigned c = 0; c < 4; ++c) {
            if (rng() % 5 == 0) continue;
            // Every seventh event repeats a window on channel 2: a bad channel.
            const unsigned second = (c == 2 && i % 7 == 0) ? w0 : (w0 + 1) % 256;
            windows.push_back({c, w0, static_cast<unsigned>(rng() % 4096)});
            windows.push_back({c, second, static_cast<unsigned>(rng() % 4096)});
        }
        packets.push_back(brimo_test::pellorv3_packet(windows, 3));
    }
    TempDir tmp;
    const fs::path acq_dir = tmp.path() / "run";
    brimo_test::write_acquisition(acq_dir, "  model: pellorv3\n  channels: 4\n  windows: 256\n  samples: 3\n", packets,
                                  50);
    const auto acq = *brimo::Acquisition::open(acq_dir);
    const Params params = acq.metadata()->params;
    std::vector<std::vector<std::vector<float>>> table(4, std::vector<std::vector<float>>(256, std::vector<float>(3)));
    for (auto& ch : table)
        for (auto& w : ch)
            for (auto& v : w) v = static_cast<float>(rng() % 30000) / 100.0f;
    brimo::Corrections corrections{params, std::optional<brimo::Pedestals>(brimo::Pedestals{std::move(table)})};

    std::vector<std::uint64_t> indices;
    for (unsigned i = 0; i < 300; ++i) indices.push_back(rng() % 130);  // some beyond the acquisition

    auto run = [&](const fs::path& out, WorkerPool* pool) {
        fs::create_directory(out);
        StdoutCapture cap;
        EXPECT_TRUE(brimo::export_csv_from_acq(acq, indices, corrections, out, 64, pool).ok());
        return cap.text();
    };
    WorkerPool pool(3);
    const std::string seq_lines = run(tmp.path() / "seq", nullptr);
    const std::string par_lines = run(tmp.path() / "par", &pool);
    EXPECT_NE(seq_lines, "");
    EXPECT_EQ(par_lines, seq_lines);
    for (int k = 0; k < 5; ++k) {
        const std::string name = "run (chunk " + std::to_string(k) + ").csv";
        const std::string seq = read_file(tmp.path() / "seq" / name);
        EXPECT_FALSE(seq.empty()) << name;
        EXPECT_TRUE(read_file(tmp.path() / "par" / name) == seq) << name;
    }
    EXPECT_FALSE(fs::exists(tmp.path() / "par" / "run (chunk 5).csv"));
}

}  // namespace
