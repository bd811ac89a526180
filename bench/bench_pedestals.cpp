// Pedestal benchmark.
//   bench_pedestals decode FILE...   seconds per Pedestals::from_bytes of each file (best of runs),
//                                    one line "decode <file> <seconds>" each; bench_pedestals.py
//                                    compares them with Python's pickle.loads(gzip.decompress(...)).
//   bench_pedestals correct          correction of full events against two baselines measured in the
//                                    same run: a memcpy of the raw packet, and a minimal parse (16-bit
//                                    words read from the packet, masked into the event's sample and
//                                    label vectors, time axis derived).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "calibration/pedestals.h"
#include "parsing/framework.h"
#include "parsing/util.h"

using namespace brimo;
using Clock = std::chrono::steady_clock;

namespace {

// Best time of one call of f, over repeated batches for about `budget` seconds.
template <class F>
double best_seconds(F&& f, double budget = 0.5) {
    double best = 1e300;
    const auto start = Clock::now();
    int batch = 1;
    do {
        const auto t0 = Clock::now();
        for (int i = 0; i < batch; ++i) f();
        const double dt = std::chrono::duration<double>(Clock::now() - t0).count() / batch;
        best = std::min(best, dt);
        if (dt * batch < 0.01) batch *= 2;
    } while (std::chrono::duration<double>(Clock::now() - start).count() < budget);
    return best;
}

volatile std::size_t g_sink;

int decode(int argc, char** argv) {
    for (int i = 2; i < argc; ++i) {
        std::ifstream f(argv[i], std::ios::binary);
        const std::vector<std::uint8_t> bytes(std::istreambuf_iterator<char>(f), {});
        auto check = Pedestals::from_bytes(bytes);
        if (!check) {
            std::fprintf(stderr, "%s: %s\n", argv[i], check.error().what.c_str());
            return 1;
        }
        const double t = best_seconds([&] {
            auto r = Pedestals::from_bytes(bytes);
            g_sink = r->data.size();
        });
        std::printf("decode %s %.9f\n", argv[i], t);
    }
    return 0;
}

struct Shape {
    const char* name;
    std::uint64_t channels, table_windows, samples, event_windows;
};

int correct() {
    const Shape shapes[] = {
        {"96ch x 8 windows x 512 samples", 96, 8, 512, 8},
        {"4ch x 512 windows x 64 samples, 32 windows read", 4, 512, 64, 32},
    };
    std::printf("%-50s %12s %12s %12s %10s %10s\n", "event", "correct", "memcpy", "min.parse", "/memcpy",
                "/min.parse");
    for (const Shape& s : shapes) {
        Params params;
        params.model = "pellorv3";
        params.channels = s.channels;
        params.windows = s.table_windows;
        params.samples = s.samples;

        Pedestals table;
        table.data.assign(s.channels, std::vector<std::vector<float>>(s.table_windows, std::vector<float>(s.samples)));
        for (std::size_t c = 0; c < s.channels; ++c)
            for (std::size_t w = 0; w < s.table_windows; ++w)
                for (std::size_t j = 0; j < s.samples; ++j) table.data[c][w][j] = float(1000 + (c * 7 + w * 3 + j) % 97);

        // A raw packet of the event: per channel and window one label word then the sample words.
        const std::size_t words = s.channels * s.event_windows * (1 + s.samples);
        std::vector<std::uint8_t> packet(2 * words + 16);
        for (std::size_t i = 0; i < packet.size(); ++i) packet[i] = static_cast<std::uint8_t>(i * 31 + 7);
        std::vector<std::uint8_t> copy(packet.size());

        auto minimal_parse = [&] {
            const std::vector<std::uint16_t> w = words_be(packet);
            EventBase e(s.channels);
            std::size_t k = 0;
            for (std::size_t c = 0; c < s.channels; ++c) {
                e.data[c].reserve(s.event_windows * s.samples);
                for (std::size_t win = 0; win < s.event_windows; ++win) {
                    e.window_labels[c].push_back(static_cast<std::uint16_t>(w[k++] % s.table_windows));
                    for (std::size_t j = 0; j < s.samples; ++j) e.data[c].push_back(float(w[k++] & 0x0FFF));
                }
            }
            (void)set_time_axis(e.time, e.window_labels, params);
            return e;
        };
        const EventBase parsed = minimal_parse();
        EventBase work = parsed;

        const double t_copy = best_seconds([&] {
            std::memcpy(copy.data(), packet.data(), packet.size());
            g_sink = copy[copy.size() / 2];
        });
        const double t_parse = best_seconds([&] { g_sink = minimal_parse().data.size(); });
        // Correcting the same event over and over drifts its values but not the work done.
        const double t_correct = best_seconds([&] {
            auto r = table.correct(work, params);
            g_sink = r.ok();
        });
        if (!table.correct(work, params)) {
            std::fprintf(stderr, "correction failed for %s\n", s.name);
            return 1;
        }
        std::printf("%-50s %10.2fus %10.2fus %10.2fus %10.2f %10.2f\n", s.name, t_correct * 1e6, t_copy * 1e6,
                    t_parse * 1e6, t_correct / t_copy, t_correct / t_parse);
        std::printf("RESULT\tpedestal correction, %s\t%.3g us\t%.3g us (memcpy of the packet)\t%.3g\t-\t-\n", s.name,
                    t_correct * 1e6, t_copy * 1e6, t_correct / t_copy);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "decode") == 0) return decode(argc, argv);
    if (argc >= 2 && std::strcmp(argv[1], "correct") == 0) return correct();
    std::fprintf(stderr, "usage: %s decode FILE... | correct\n", argv[0]);
    return 2;
}
