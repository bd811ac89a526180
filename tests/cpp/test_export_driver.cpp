// The export driver on real acquisitions written to temporary directories: chunk files, skipped
// events, pedestal correction and the failures of an export.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "acquisition/acquisition.h"
#include "calibration/pedestals.h"
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

TEST(ExportDriver, ExistingFileIsTruncated) {
    Fixture f(numbered_events(1));
    write_file(f.out / "run_12 (chunk 0).csv", std::string(100000, 'x'));
    ASSERT_TRUE(f.run({0}).ok());
    EXPECT_EQ(f.chunk_file(0), kHeader1 + rows_of(0, 0));
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
    // A directory in the way of chunk 1's file: chunk 0 is written and stays.
    fs::create_directory(f.out / "run_12 (chunk 1).csv");
    EXPECT_EQ(kind_of(f.run({0, 1, 2}, {}, 2)), ExportErrorKind::Unknown);
    EXPECT_EQ(f.chunk_file(0), kHeader1 + rows_of(0, 0) + rows_of(1, 1));
    fs::remove(f.out / "run_12 (chunk 1).csv");
    fs::remove(f.out / "run_12 (chunk 0).csv");

    // The last flush fails: the file is a link to a full device.
    fs::create_symlink("/dev/full", f.out / "run_12 (chunk 0).csv");
    const auto r = f.run({0});
    EXPECT_EQ(kind_of(r), ExportErrorKind::Csv);
    EXPECT_FALSE(std::get<brimo::ExportError>(r.error()).csv_error.empty());
    fs::remove(f.out / "run_12 (chunk 0).csv");

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
