// The export driver on real acquisitions written to temporary directories: chunk files, skipped
// events, pedestal correction and the failures of an export.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "acquisition/acquisition.h"
#include "calibration/pedestals.h"
#include "concurrency/pool.h"
#include "export/export.h"
#include "export_test_util.h"

namespace {

namespace fs = std::filesystem;
using brimo::Acquisition;
using brimo::Corrections;
using brimo::ExportErrorKind;
using brimo::Pedestals;
using brimo_test::pellorv3_packet;
using brimo_test::read_file;
using brimo_test::TempDir;
using brimo_test::write_acquisition;
using brimo_test::write_file;

const std::string kPellorParams = "  model: pellorv3\n  channels: 4\n  windows: 256\n  samples: 2\n";
const std::string kHeader1 = "acq_num,evt_num,windnum_ch1,data_ch1,time_ch1\n";

// Event i: channel 1, one window numbered i, samples 10*i and 10*i + 1.
std::vector<std::vector<std::uint8_t>> numbered_events(unsigned n) {
    std::vector<std::vector<std::uint8_t>> packets;
    for (unsigned i = 0; i < n; ++i) packets.push_back(pellorv3_packet({{1, i, 10 * i}}, 2));
    return packets;
}

// Rows of numbered event `i` at position `n` of its file.
std::string rows_of(unsigned i, unsigned n) {
    const std::string w = std::to_string(i), p = std::to_string(n);
    return "0," + p + "," + w + "," + std::to_string(10 * i) + ",0\n0," + p + "," + w + "," +
           std::to_string(10 * i + 1) + ",1\n";
}

struct Fixture {
    TempDir tmp;
    fs::path acq_dir = tmp.path() / "run_12";
    fs::path out = tmp.path() / "out";

    explicit Fixture(const std::vector<std::vector<std::uint8_t>>& packets, const std::string& params = kPellorParams,
                     std::size_t per_chunk = 1000) {
        write_acquisition(acq_dir, params, packets, per_chunk);
        fs::create_directory(out);
        params_ = acq().metadata()->params;
    }
    brimo::Params params_;
    Acquisition acq() const { return *Acquisition::open(acq_dir); }
    brimo::Result<void, brimo::ExportFailure> run(const std::vector<std::uint64_t>& indices,
                                                  std::optional<Pedestals> ped = {}, std::uint64_t chunk = 1000) {
        Corrections c{params_, std::move(ped)};
        return brimo::export_csv_from_acq(acq(), indices, c, out, chunk);
    }
    std::string chunk_file(int k) const { return read_file(out / ("run_12 (chunk " + std::to_string(k) + ").csv")); }
    std::vector<std::string> files() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(out)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

ExportErrorKind kind_of(const brimo::Result<void, brimo::ExportFailure>& r) {
    EXPECT_FALSE(r.ok());
    EXPECT_TRUE(std::holds_alternative<brimo::ExportError>(r.error()));
    return std::get<brimo::ExportError>(r.error()).kind;
}

TEST(ExportDriver, ChunksOfAThousand) {
    Fixture f(numbered_events(7), kPellorParams, 3);  // events spread over three chunk files
    std::vector<std::uint64_t> indices;
    for (unsigned i = 0; i < 2500; ++i) indices.push_back(i % 7);
    ASSERT_TRUE(f.run(indices).ok());
    EXPECT_EQ(f.files(), (std::vector<std::string>{"run_12 (chunk 0).csv", "run_12 (chunk 1).csv",
                                                   "run_12 (chunk 2).csv"}));
    for (int k = 0; k < 3; ++k) {
        std::string expect = kHeader1;
        const unsigned count = k < 2 ? 1000 : 500;
        for (unsigned n = 0; n < count; ++n) expect += rows_of((1000 * k + n) % 7, n);
        EXPECT_EQ(f.chunk_file(k), expect) << "chunk " << k;
    }
}

TEST(ExportDriver, IndexOrderDuplicatesAndSkippedEvents) {
    auto packets = numbered_events(6);
    packets[1].pop_back();          // odd length: fails to parse
    packets[2].resize(10);          // not a whole number of windows
    packets[4] = pellorv3_packet({{1, 4, 40}, {1, 5, 50}}, 2);
    Fixture f(packets);
    ASSERT_TRUE(f.run({5, 3, 5, 1, 2, 999, 0}).ok());
    EXPECT_EQ(f.chunk_file(0), kHeader1 + rows_of(5, 0) + rows_of(3, 1) + rows_of(5, 2) + rows_of(0, 3));

    ASSERT_TRUE(f.run({4}, {}, 1).ok());
    EXPECT_EQ(f.chunk_file(0), kHeader1 + "0,0,4,40,0\n0,0,4,41,1\n0,0,5,50,2\n0,0,5,51,3\n");
}

TEST(ExportDriver, AllEventsFailingGiveHeaderOnly) {
    Fixture f(numbered_events(2));
    ASSERT_TRUE(f.run({7, 8, 1u << 31}).ok());
    EXPECT_EQ(f.chunk_file(0), "acq_num,evt_num\n");
}

TEST(ExportDriver, PedestalCorrection) {
    // Event 2's window 2 is beyond the two-window table of channel 1: left out with correction on.
    Fixture f(numbered_events(4));
    Pedestals ped;
    ped.data.resize(2);
    ped.data[1] = {{0.5f, 1.0f}, {2.0f, 0.25f}};
    ASSERT_TRUE(f.run({0, 2, 1}, ped).ok());
    EXPECT_EQ(f.chunk_file(0), kHeader1 + "0,0,0,-0.5,0\n0,0,0,0,1\n0,1,1,8,0\n0,1,1,10.75,1\n");
    ASSERT_TRUE(f.run({0, 2, 1}).ok());
    EXPECT_EQ(f.chunk_file(0), kHeader1 + rows_of(0, 0) + rows_of(2, 1) + rows_of(1, 2));
}

TEST(ExportDriver, LanweTimingColumns) {
    // One lanwe window packet: channel word, timing high and low words, window word, 32 samples, stop word.
    std::vector<std::uint8_t> packet;
    auto word = [&](unsigned w) {
        packet.push_back(static_cast<std::uint8_t>(w >> 8));
        packet.push_back(static_cast<std::uint8_t>(w));
    };
    for (unsigned w : {2u, 0x001u, 0x234u, 7u}) word(w);
    for (unsigned s = 0; s < 32; ++s) word(100 + s);
    word(0xFA5A);
    Fixture f({packet}, "  model: lanwev2_evalr2\n  channels: 4\n  windows: 64\n  samples: 32\n");
    ASSERT_TRUE(f.run({0}).ok());
    std::string expect = "acq_num,evt_num,windnum_ch2,data_ch2,time_ch2,timing_ch2\n";
    for (unsigned s = 0; s < 32; ++s) expect += "0,0,7," + std::to_string(100 + s) + "," + std::to_string(s) + ",4660\n";
    EXPECT_EQ(f.chunk_file(0), expect);
}

// Whatever is in the way of the final name is replaced by the complete file, never written through:
// a link's target is left as it was, a FIFO is not opened (the export would block on it), a longer
// old file leaves no tail. No temporary file stays behind.
TEST(ExportDriver, ExistingFinalNamesAreReplaced) {
    struct Case {
        const char* what;
        void (*plant)(const fs::path& final_name, const fs::path& outside);
    };
    const Case cases[] = {
        {"existing longer file", [](const fs::path& p, const fs::path&) { write_file(p, std::string(100000, 'x')); }},
        {"link to a file outside", [](const fs::path& p, const fs::path& o) {
             write_file(o, "keep");
             fs::create_symlink(o, p);
         }},
        {"dangling link", [](const fs::path& p, const fs::path& o) { fs::create_symlink(o, p); }},
        {"link to a device", [](const fs::path& p, const fs::path&) { fs::create_symlink("/dev/full", p); }},
        {"FIFO", [](const fs::path& p, const fs::path&) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Fixture f(numbered_events(1));
        const fs::path final_name = f.out / "run_12 (chunk 0).csv", outside = f.tmp.path() / "outside";
        c.plant(final_name, outside);
        const bool had_outside = fs::exists(outside);
        ASSERT_TRUE(f.run({0}).ok());
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(final_name)));
        EXPECT_EQ(f.chunk_file(0), kHeader1 + rows_of(0, 0));
        EXPECT_EQ(f.files(), std::vector<std::string>{"run_12 (chunk 0).csv"});
        EXPECT_EQ(fs::exists(outside), had_outside);
        if (had_outside) {
            EXPECT_EQ(read_file(outside), "keep");
        }
    }
}

// Two exports into one directory at the same time: every file is the complete output of one of them.
TEST(ExportDriver, ConcurrentExportsLeaveWholeFiles) {
    Fixture f(numbered_events(3000));
    std::vector<std::uint64_t> first(2000), second(1500);
    for (std::uint64_t i = 0; i < first.size(); ++i) first[i] = i;
    for (std::uint64_t i = 0; i < second.size(); ++i) second[i] = 2999 - i;
    Corrections c{f.params_, {}};
    auto run = [&](const std::vector<std::uint64_t>& indices, const fs::path& out) {
        EXPECT_TRUE(brimo::export_csv_from_acq(f.acq(), indices, c, out, 1000, static_cast<brimo::concurrency::WorkerPool*>(nullptr)).ok());
    };
    const fs::path alone = f.tmp.path() / "alone";
    std::vector<std::string> expected[2];
    for (int e = 0; e < 2; ++e) {
        fs::create_directory(alone);
        run(e == 0 ? first : second, alone);
        for (int k = 0; k < 2; ++k) expected[e].push_back(read_file(alone / ("run_12 (chunk " + std::to_string(k) + ").csv")));
        fs::remove_all(alone);
    }
    for (int trial = 0; trial < 8; ++trial) {
        std::thread a([&] { run(first, f.out); });
        std::thread b([&] { run(second, f.out); });
        a.join();
        b.join();
        EXPECT_EQ(f.files(), (std::vector<std::string>{"run_12 (chunk 0).csv", "run_12 (chunk 1).csv"}));
        for (int k = 0; k < 2; ++k) {
            const std::string got = f.chunk_file(k);
            EXPECT_TRUE(got == expected[0][k] || got == expected[1][k]) << "trial " << trial << " chunk " << k;
        }
    }
}

// A cancelled export stops: the files finished before stay complete, the one in progress is removed.
TEST(ExportDriver, CancelledExportKeepsOnlyFinishedFiles) {
    Fixture f(numbered_events(3000));
    std::vector<std::uint64_t> all(3000);
    for (std::uint64_t i = 0; i < all.size(); ++i) all[i] = i;
    const auto name = [](std::size_t k) { return "run_12 (chunk " + std::to_string(k) + ").csv"; };
    ASSERT_TRUE(f.run(all, {}, 500).ok());
    std::vector<std::string> complete;
    for (std::size_t k = 0; k < 6; ++k) complete.push_back(read_file(f.out / name(k)));

    brimo::concurrency::WorkerPool pool(2);
    // The check says stop at its n-th call; asked at every chance (no interval). Serially it is asked
    // per event, so 700 calls end the export inside the second file; with workers the second call
    // comes within the first file.
    struct Case { brimo::concurrency::WorkerPool* pool; int stop_at; std::size_t files; };
    for (const Case& c : {Case{nullptr, 1, 0}, Case{nullptr, 700, 1}, Case{&pool, 1, 0}, Case{&pool, 2, 0}}) {
        SCOPED_TRACE(std::to_string(c.pool != nullptr) + " " + std::to_string(c.stop_at));
        fs::remove_all(f.out);
        fs::create_directory(f.out);
        int calls = 0;
        std::pair<int*, int> ctx{&calls, c.stop_at};
        brimo::Cancellation cancel([](void* p) {
            auto* x = static_cast<std::pair<int*, int>*>(p);
            return ++*x->first >= x->second;
        }, &ctx, std::chrono::milliseconds(0));
        Corrections corr{f.params_, {}};
        const auto r = brimo::export_csv_from_acq(f.acq(), all, corr, f.out, 500, c.pool, &cancel);
        ASSERT_FALSE(r.ok());
        EXPECT_TRUE(std::holds_alternative<brimo::ExportCancelled>(r.error()));
        EXPECT_EQ(calls, c.stop_at);  // never asked again once it said stop
        std::vector<std::string> names;
        for (std::size_t k = 0; k < c.files; ++k) names.push_back(name(k));
        EXPECT_EQ(f.files(), names);
        for (std::size_t k = 0; k < c.files; ++k) EXPECT_EQ(read_file(f.out / name(k)), complete[k]);
    }
}

TEST(ExportDriver, NothingToExport) {
    Fixture f(numbered_events(1), "  model: nonesuch\n  channels: 4\n  windows: 256\n  samples: 2\n");
    ASSERT_TRUE(f.run({}).ok());
    EXPECT_TRUE(f.files().empty());
}

TEST(ExportFailure, BeforeAnyFile) {
    Fixture unknown(numbered_events(1), "  model: Pellorv3\n  channels: 4\n  windows: 256\n  samples: 2\n");
    EXPECT_EQ(kind_of(unknown.run({0})), ExportErrorKind::Parsing);
    EXPECT_EQ(std::get<brimo::ExportError>(unknown.run({0}).error()).parsing, brimo::ParsingError::UnsupportedModel);
    EXPECT_TRUE(unknown.files().empty());

    Fixture f(numbered_events(1));
    Corrections c{f.params_, {}};
    EXPECT_EQ(std::get<brimo::ExportError>(brimo::export_csv_from_acq(f.acq(), std::vector<std::uint64_t>{0}, c, f.out, 0).error()).kind,
              ExportErrorKind::InvalidOptions);
    EXPECT_EQ(kind_of(brimo::export_csv_from_acq(f.acq(), std::vector<std::uint64_t>{0}, c, f.tmp.path() / "missing", 1000)),
              ExportErrorKind::InvalidPath);
    // The output directory is the acquisition itself under any name: refused before anything is
    // written.
    fs::create_directory(f.acq_dir / "sub");
    fs::create_directory_symlink(f.acq_dir, f.tmp.path() / "link");
    const auto before = brimo_test::read_dir(f.acq_dir);
    for (const fs::path& into : {f.acq_dir, f.tmp.path() / "link", f.acq_dir / "sub" / "..", f.acq_dir / "."}) {
        SCOPED_TRACE(into.string());
        EXPECT_EQ(kind_of(brimo::export_csv_from_acq(f.acq(), std::vector<std::uint64_t>{0}, c, into, 1000)),
                  ExportErrorKind::InvalidOptions);
    }
    EXPECT_EQ(brimo_test::read_dir(f.acq_dir), before);
    // A NUL names no file: the path must not be cut there, which would create "stray" instead.
    const fs::path with_nul((f.tmp.path() / "stray").string() + std::string("\0dir", 4));
    EXPECT_EQ(kind_of(brimo::export_csv_from_acq(f.acq(), std::vector<std::uint64_t>{0}, c, with_nul, 1000)),
              ExportErrorKind::InvalidPath);
    EXPECT_FALSE(fs::exists(f.tmp.path() / "stray"));

    write_file(f.acq_dir / "metadata.yml", "params: [1, 2\n");
    EXPECT_EQ(kind_of(f.run({0}, {}, 1000)), ExportErrorKind::AcquisitionAccess);
    EXPECT_TRUE(f.files().empty());
}

TEST(ExportFailure, OpeningAndWritingFiles) {
    Fixture f(numbered_events(3));
    // A directory in the way of chunk 1's file: chunk 0 is written and stays; chunk 1 leaves nothing.
    fs::create_directory(f.out / "run_12 (chunk 1).csv");
    EXPECT_EQ(kind_of(f.run({0, 1, 2}, {}, 2)), ExportErrorKind::Unknown);
    EXPECT_EQ(f.chunk_file(0), kHeader1 + rows_of(0, 0) + rows_of(1, 1));
    EXPECT_EQ(f.files(), (std::vector<std::string>{"run_12 (chunk 0).csv", "run_12 (chunk 1).csv"}));
    fs::remove(f.out / "run_12 (chunk 1).csv");
    fs::remove(f.out / "run_12 (chunk 0).csv");

    // A write fails (the file size limit of a child process): Csv, and no file at all is left.
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{50, 50};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(200);
        const auto r = f.run({0, 1, 2});
        if (r.ok() || !std::holds_alternative<brimo::ExportError>(r.error())) ::_exit(201);
        if (std::get<brimo::ExportError>(r.error()).csv_error.empty()) ::_exit(202);
        ::_exit(static_cast<int>(std::get<brimo::ExportError>(r.error()).kind));
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), static_cast<int>(ExportErrorKind::Csv));
    EXPECT_TRUE(f.files().empty());
}

// An output directory the process may not write to. Permission bits do not stop root, so as root the
// export runs in a child process that has given up its privileges.
TEST(ExportFailure, AccessDenied) {
    Fixture f(numbered_events(1));
    if (::geteuid() != 0) {
        fs::permissions(f.out, fs::perms::owner_read | fs::perms::owner_exec);
        EXPECT_EQ(kind_of(f.run({0})), ExportErrorKind::AccessDenied);
        fs::permissions(f.out, fs::perms::owner_all);
        return;
    }
    fs::permissions(f.tmp.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                      fs::perms::others_read | fs::perms::others_exec);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(200);
        const auto r = f.run({0});
        if (r.ok()) ::_exit(100);
        if (!std::holds_alternative<brimo::ExportError>(r.error())) ::_exit(101);
        ::_exit(static_cast<int>(std::get<brimo::ExportError>(r.error()).kind));
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), static_cast<int>(ExportErrorKind::AccessDenied));
    EXPECT_TRUE(f.files().empty());
}

TEST(ExportFailure, AcquisitionWithoutName) {
    Fixture f(numbered_events(1));
    fs::create_directory(f.acq_dir / "sub");
    auto acq = Acquisition::open(f.acq_dir / "sub" / "..");
    ASSERT_TRUE(acq.ok());
    Corrections c{f.params_, {}};
    const auto r = brimo::export_csv_from_acq(*acq, std::vector<std::uint64_t>{0}, c, f.out, 1000);
    ASSERT_FALSE(r.ok());
    EXPECT_TRUE(std::holds_alternative<brimo::InternalError>(r.error()));
    EXPECT_TRUE(f.files().empty());
}

}  // namespace
