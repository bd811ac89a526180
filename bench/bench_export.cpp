// Throughput of the CSV export on a pellorv3 acquisition: 20,000 events (4 channels, 8 windows of 64
// samples each, pedestal correction on) built in a temporary directory, exported in files of 1000
// events. The figures are printed as MB/s and ns per cell, and as ratios against two baselines
// measured in the same run on the same table:
//   - iostream: the identical rows written from memory through std::ofstream and operator<<,
//   - write(2): the already formatted bytes of the export written again (the file-system floor).
//
// Usage: bench_export [events] [--export-only]   (the second form skips the baselines, for profiling)
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <random>
#include <string>
#include <vector>

#include "acquisition/acquisition.h"
#include "calibration/pedestals.h"
#include "export/export.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr unsigned kChannels = 4;
constexpr unsigned kWindows = 8;
constexpr unsigned kSamples = 64;
constexpr unsigned kRing = 256;

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

void put_word(std::string& out, unsigned w) {
    out.push_back(static_cast<char>(w >> 8));
    out.push_back(static_cast<char>(w));
}

// Default pellorv3 layout: 3 header words; windows of a header word (channel in bits 9-10, window in
// bits 1-8) and 64 sample words (12-bit value in bits 1-12); one footer word. Channels take turns.
void write_acquisition(const fs::path& dir, unsigned events, std::mt19937& rng) {
    fs::create_directories(dir);
    std::ofstream(dir / "metadata.yml") << "params:\n  model: pellorv3\n  channels: " << kChannels
                                        << "\n  windows: " << kRing << "\n  samples: " << kSamples
                                        << "\nregisters: {}\n";
    std::string bin, idx;
    for (unsigned e = 0; e < events; ++e) {
        const std::uint64_t offset = bin.size();
        put_word(bin, 0x1234);
        put_word(bin, 0x5678);
        put_word(bin, 0x9ABC);
        const unsigned first = (e * 37) % kRing;  // some events wrap around the window ring
        for (unsigned w = 0; w < kWindows; ++w) {
            for (unsigned c = 0; c < kChannels; ++c) {
                put_word(bin, (c << 9) | (((first + w) % kRing) << 1));
                for (unsigned s = 0; s < kSamples; ++s) put_word(bin, (rng() & 0xFFF) << 1);
            }
        }
        put_word(bin, 0xFFFF);
        const std::uint64_t entry = ((bin.size() - offset) << 32) | offset;
        for (int b = 0; b < 8; ++b) idx.push_back(static_cast<char>(entry >> (8 * b)));
    }
    std::ofstream(dir / "0.bin", std::ios::binary) << bin;
    std::ofstream(dir / "0.idx", std::ios::binary) << idx;
}

std::uintmax_t total_size(const fs::path& dir) {
    std::uintmax_t n = 0;
    for (const auto& e : fs::directory_iterator(dir)) n += e.file_size();
    return n;
}

}  // namespace

int main(int argc, char** argv) {
    const unsigned events = argc > 1 ? static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10)) : 20000;
    std::string tmpl = (fs::temp_directory_path() / "brimo_bench_export_XXXXXX").string();
    const fs::path root = ::mkdtemp(tmpl.data());
    const fs::path acq_dir = root / "bench_run";
    const fs::path out_dir = root / "out";
    fs::create_directories(out_dir);

    std::mt19937 rng(12345);
    write_acquisition(acq_dir, events, rng);

    brimo::Pedestals ped;
    ped.data.assign(kChannels, std::vector<std::vector<float>>(kRing, std::vector<float>(kSamples)));
    std::uniform_real_distribution<float> pedestal(380.0f, 420.0f);
    for (auto& ch : ped.data)
        for (auto& win : ch)
            for (float& v : win) v = pedestal(rng);

    auto acq = brimo::Acquisition::open(acq_dir);
    if (!acq) {
        std::fprintf(stderr, "cannot open the benchmark acquisition\n");
        return 1;
    }
    const brimo::Params params = acq->metadata()->params;
    const brimo::Corrections corrections{params, ped};
    std::vector<std::uint64_t> indices(events);
    for (unsigned i = 0; i < events; ++i) indices[i] = i;

    // Export (best of three).
    double t_export = 1e30;
    for (int rep = 0; rep < 3; ++rep) {
        const auto t0 = Clock::now();
        auto r = brimo::export_csv_from_acq(*acq, indices, corrections, out_dir, 1000);
        const double t = seconds_since(t0);
        if (!r) {
            std::fprintf(stderr, "export failed\n");
            return 1;
        }
        t_export = std::min(t_export, t);
    }
    const double bytes = static_cast<double>(total_size(out_dir));
    const double rows = double(events) * kWindows * kSamples;
    const double cells = rows * (2 + 3 * kChannels);
    if (argc > 2 && std::string(argv[2]) == "--export-only") {
        std::printf("export %.3f s  %.1f MB/s  %.2f ns/cell\n", t_export, bytes / 1e6 / t_export, t_export * 1e9 / cells);
        fs::remove_all(root);
        return 0;
    }

    // Baseline 1: the same table from memory through iostreams (the rows' values recomputed from the
    // exported files would cost more than the writing; a table of the same shape and value kinds is
    // enough for a throughput baseline).
    std::vector<float> data(static_cast<std::size_t>(rows) * kChannels);
    for (float& v : data) v = static_cast<float>(rng() & 0xFFF) - pedestal(rng);
    double t_iostream = 0;
    {
        const auto t0 = Clock::now();
        std::ofstream f(root / "iostream.csv");
        f << std::setprecision(9);
        std::size_t k = 0;
        for (unsigned e = 0; e < events; ++e) {
            for (unsigned r = 0; r < kWindows * kSamples; ++r) {
                f << 0 << ',' << e % 1000;
                for (unsigned c = 0; c < kChannels; ++c) {
                    f << ',' << (e * 37 + r / kSamples) % kRing << ',' << data[k++] << ',' << r;
                }
                f << '\n';
            }
        }
        f.close();
        t_iostream = seconds_since(t0);
        fs::remove(root / "iostream.csv");
    }

    // Baseline 2: writing the export's bytes again with plain write(2) calls of 1 MiB.
    double t_write = 0;
    {
        std::string all;
        for (const auto& e : fs::directory_iterator(out_dir)) {
            std::ifstream in(e.path(), std::ios::binary);
            all.append(std::istreambuf_iterator<char>(in), {});
        }
        const auto t0 = Clock::now();
        const int fd = ::open((root / "raw.csv").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        for (std::size_t off = 0; off < all.size();) {
            const ssize_t n = ::write(fd, all.data() + off, std::min<std::size_t>(1 << 20, all.size() - off));
            if (n <= 0) break;
            off += static_cast<std::size_t>(n);
        }
        ::close(fd);
        t_write = seconds_since(t0);
    }

    std::printf("events %u, rows %.0f, cells %.0f, CSV %.1f MB\n", events, rows, cells, bytes / 1e6);
    std::printf("export          %8.3f s  %8.1f MB/s  %6.2f ns/cell\n", t_export, bytes / 1e6 / t_export,
                t_export * 1e9 / cells);
    std::printf("iostream        %8.3f s  (export is %.2fx faster)\n", t_iostream, t_iostream / t_export);
    std::printf("write(2) floor  %8.3f s  (export takes %.2fx the raw write time)\n", t_write, t_export / t_write);

    fs::remove_all(root);
    return 0;
}
