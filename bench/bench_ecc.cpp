// Timing of the vombel96 packet check: a full clean packet, a full packet with scattered errors, and
// the dispatch cost of a 2-byte packet (no channels), on the process-wide pool and on the caller's
// thread alone. A plain per-word loop over the same packet, timed in the same run, is the baseline
// that the figures are given against.
//
// Output: one "name value unit" line per figure (read by bench_ecc.py), then the ratios.
#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string_view>
#include <vector>

#include "concurrency/pool.h"
#include "ecc/vombel96.h"

using namespace brimo::ecc;
using namespace brimo::concurrency;

namespace {

using Clock = std::chrono::steady_clock;

template <class F>
double median_seconds(int runs, F&& f) {
    std::vector<double> t(static_cast<std::size_t>(runs));
    for (auto& s : t) {
        const auto a = Clock::now();
        f();
        s = std::chrono::duration<double>(Clock::now() - a).count();
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

std::uint16_t encode(std::uint16_t data, bool bit15) {
    auto w = static_cast<std::uint16_t>((data & 0x3FF) | (bit15 ? 0x8000 : 0));
    const auto s = syndrome(w);
    for (int k = 0; k < 4; ++k)
        if (s[k]) w = static_cast<std::uint16_t>(w | (1u << (10 + k)));
    if (global_parity(w)) w = static_cast<std::uint16_t>(w | 0x4000);
    return w;
}

std::vector<std::uint8_t> clean_packet(std::mt19937_64& rng) {
    std::vector<std::uint8_t> p(FULL_PACKET_BYTES);
    for (auto& b : p) b = static_cast<std::uint8_t>(rng());
    for (const auto& r : channel_offsets())
        for (std::uint64_t o = r.start; o < r.end; o += 2) {
            const std::uint16_t w = encode(static_cast<std::uint16_t>(rng()), rng() & 1);
            p[o] = static_cast<std::uint8_t>(w);
            p[o + 1] = static_cast<std::uint8_t>(w >> 8);
        }
    return p;
}

// The straightforward check: every word, four masked popcounts and a parity, one thread.
std::size_t plain_loop(const std::vector<std::uint8_t>& p) {
    std::size_t dirty = 0;
    for (const auto& r : channel_offsets())
        for (std::uint64_t o = r.start; o < r.end; o += 2) {
            const unsigned w = p[o] | (p[o + 1] << 8);
            unsigned s = 0;
            for (int k = 0; k < 4; ++k) s |= (std::popcount(w & SYNDROME_MASKS[k]) & 1u) << k;
            dirty += (s | (std::popcount(w) & 1u)) != 0;
        }
    return dirty;
}

// A full clean packet from a file, so that another benchmark can time its check on the same bytes.
std::vector<std::uint8_t> read_packet(const char* path) {
    std::vector<std::uint8_t> p(FULL_PACKET_BYTES);
    std::FILE* f = std::fopen(path, "rb");
    if (f == nullptr || std::fread(p.data(), 1, p.size(), f) != p.size()) {
        std::fprintf(stderr, "cannot read a %zu-byte packet from %s\n", p.size(), path);
        std::exit(2);
    }
    std::fclose(f);
    return p;
}

}  // namespace

// Usage: bench_ecc [--packet FILE] [RUNS]
int main(int argc, char** argv) {
    int runs = 2000;
    const char* packet_file = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::string_view(argv[i]) == "--packet" && i + 1 < argc)
            packet_file = argv[++i];
        else
            runs = std::max(1, std::atoi(argv[i]));
    }
    std::mt19937_64 rng(1);
    const auto clean = packet_file != nullptr ? read_packet(packet_file) : clean_packet(rng);
    if (ecc_check(clean).value().size() != 0) {
        std::fprintf(stderr, "the packet is not clean\n");
        return 2;
    }
    auto errors = clean;
    for (int i = 0; i < 1000; ++i) {
        const auto r = channel_offsets()[rng() % CHANNEL_COUNT];
        errors[r.start + 2 * (rng() % 4096) + (rng() & 1)] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
    }
    const std::vector<std::uint8_t> tiny(2, 0);
    const double bytes = static_cast<double>(FULL_PACKET_BYTES);

    WorkerPool& pool = global_pool();
    WorkerPool inline_only(0);
    std::size_t sink = 0;
    auto check_on = [&](const std::vector<std::uint8_t>& p, WorkerPool& on) {
        const auto r = ecc_check(p, on);
        if (!r.ok()) std::abort();
        sink += r.value().size();
    };
    check_on(clean, pool);  // start the pool outside the timings

    const double t_clean = median_seconds(runs, [&] { check_on(clean, pool); });
    const double t_clean_1 = median_seconds(runs, [&] { check_on(clean, inline_only); });
    const double t_errors = median_seconds(runs, [&] { check_on(errors, pool); });
    const double t_tiny = median_seconds(runs * 10, [&] { check_on(tiny, pool); });
    const double t_plain = median_seconds(std::max(runs / 20, 5), [&] { sink += plain_loop(clean); });
    const auto r = ecc_check(errors);

    std::printf("workers %zu\n", pool.size());
    std::printf("packet_bytes %.0f\n", bytes);
    std::printf("error_records %zu\n", r.ok() ? r.value().size() : 0);
    std::printf("clean_ms %.4f ms\n", t_clean * 1e3);
    std::printf("clean_gbps %.2f GB/s\n", bytes / t_clean / 1e9);
    std::printf("clean_caller_only_ms %.4f ms\n", t_clean_1 * 1e3);
    std::printf("clean_caller_only_gbps %.2f GB/s\n", bytes / t_clean_1 / 1e9);
    std::printf("errors_ms %.4f ms\n", t_errors * 1e3);
    std::printf("errors_gbps %.2f GB/s\n", bytes / t_errors / 1e9);
    std::printf("dispatch_2_bytes_us %.3f us\n", t_tiny * 1e6);
    std::printf("plain_loop_ms %.4f ms\n", t_plain * 1e3);
    std::printf("ratio_clean_vs_plain_loop %.1f x\n", t_plain / t_clean);
    std::printf("ratio_errors_vs_plain_loop %.1f x\n", t_plain / t_errors);
    std::printf("ratio_caller_only_vs_plain_loop %.1f x\n", t_plain / t_clean_1);
    return sink == 0 ? 1 : 0;
}
