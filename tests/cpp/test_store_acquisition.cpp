#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <set>
#include <type_traits>

#include "acquisition/acquisition.h"
#include "acquisition/event_reader.h"
#include "acquisition/util.h"
#include "store_test_util.h"

using namespace brimo;
using namespace brimo::test;
namespace fs = std::filesystem;

namespace {

constexpr auto kOob = AcquisitionErrorKind::IndexOutOfBounds;
constexpr auto kInvalid = AcquisitionErrorKind::InvalidPath;

Acquisition open_ok(const fs::path& p) {
    auto a = Acquisition::open(p);
    if (!a) ADD_FAILURE() << "open failed: " << p;
    return std::move(a).value();
}

// The events a walk from chunk 0 reaches, given per-chunk counts written by write_chunk.
std::vector<ByteVec> reachable(const std::vector<std::uint64_t>& counts) {
    std::vector<ByteVec> out;
    for (std::uint64_t n = 0; n < counts.size(); ++n)
        for (std::uint64_t i = 0; i < counts[n]; ++i) out.push_back(event_bytes(n, i));
    return out;
}

// Direct lookup and the bulk reader give the same event, or fail with the same kind of error.
template <class Want>
::testing::AssertionResult both_give(Acquisition& acq, EventReader& reader, std::uint64_t i, const Want& want) {
    for (auto r : {acq.get(i), reader.get(i)}) {
        if constexpr (std::is_same_v<Want, AcquisitionErrorKind>) {
            if (r) return ::testing::AssertionFailure() << "event " << i << " read, expected an error";
            if (r.error().kind != want) return ::testing::AssertionFailure() << "event " << i << ": " << r.error().message();
        } else {
            if (!r) return ::testing::AssertionFailure() << "event " << i << ": " << r.error().message();
            if (*r != want) return ::testing::AssertionFailure() << "event " << i << " has other bytes";
        }
    }
    return ::testing::AssertionSuccess();
}

}  // namespace

TEST(StoreOpen, ValidityOfDirectories) {
    TempDir root;
    const fs::path good = root / "good", no_md = root / "no_md", md_dir = root / "md_dir", dangling = root / "dangling",
                   linked = root / "linked", file = root / "file";
    for (const auto& d : {good, no_md, md_dir, dangling}) fs::create_directory(d);
    write_metadata(good);
    fs::create_directory(md_dir / "metadata.yml");
    fs::create_symlink(root / "nowhere", dangling / "metadata.yml");
    fs::create_directory_symlink(good, linked);
    write_file(file, "x");
    struct Case { fs::path path; bool valid; };
    for (const Case& c : {Case{good, true}, Case{md_dir, true}, Case{linked, true}, Case{no_md, false},
                          Case{dangling, false}, Case{file, false}, Case{root / "missing", false}, Case{"", false},
                          Case{good.string() + std::string("\0/x", 3), false}}) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(is_acquisition(c.path), c.valid);
        auto a = Acquisition::open(c.path);
        EXPECT_EQ(bool(a), c.valid);
        if (a) EXPECT_EQ(a->path(), c.path);  // kept as given
        else EXPECT_EQ(a.error().kind, kInvalid);
    }
    // metadata.yml that is a directory: an acquisition whose metadata cannot be read.
    auto a = open_ok(md_dir);
    EXPECT_EQ(a.metadata_str().error().message(), "Could not read acquisition: failed to read metadata");
    EXPECT_EQ(a.metadata().error().kind, MetadataErrorKind::Unreadable);
}

TEST(StoreOpen, Names) {
    struct Case { const char* path; const char* name; };  // name nullptr: "could not get acquisition name"
    for (const Case& c : {Case{"a/run_12", "run_12"}, Case{"a/run_12/", "run_12"}, Case{"a/run_12/.//", "run_12"},
                          Case{"run", "run"}, Case{"/x/y", "y"}, Case{"./run", "run"}, Case{"a/..", nullptr},
                          Case{"..", nullptr}, Case{".", nullptr}, Case{"./.", nullptr}, Case{"/", nullptr},
                          Case{"//", nullptr}, Case{"", nullptr}, Case{"a/../", nullptr}}) {
        SCOPED_TRACE(c.path);
        auto n = final_path_name(c.path);
        if (c.name) {
            ASSERT_TRUE(n);
            EXPECT_EQ(*n, c.name);
        } else {
            ASSERT_FALSE(n);
            EXPECT_EQ(n.error().what, "could not get acquisition name");
        }
    }
    EXPECT_EQ(final_path_name("a/caf\xc3\xa9").value(), "caf\xc3\xa9");
    for (const char* bad : {"a/\xff", "a/\xc0\xaf", "a/\xed\xa0\x80"})
        EXPECT_EQ(final_path_name(bad).error().what, "invalid acquisition name");

    TempDir root;
    fs::create_directory(root / "sub");
    write_metadata(root.path());
    EXPECT_EQ(open_ok(root.path()).name().value(), root.path().filename().string());
    EXPECT_EQ(open_ok(root / "sub/..").name().error().what, "could not get acquisition name");
}

TEST(StoreChunks, WalkAcrossChunks) {
    struct Case {
        const char* name;
        std::vector<std::uint64_t> written;  // events per chunk; absent chunks use kAbsent
        std::uint64_t chunk_count;
    };
    constexpr std::uint64_t kAbsent = UINT64_MAX;
    const Case cases[] = {
        {"no chunks", {}, 0},
        {"5 then 3", {5, 3}, 2},
        {"empty index skipped", {5, 0, 3}, 3},
        {"gap hides chunk 3", {5, 3, 2, kAbsent, 4}, 3},
        {"only empty chunks", {0, 0}, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        write_metadata(dir.path());
        std::vector<std::uint64_t> counts;
        bool gap = false;
        for (std::uint64_t n = 0; n < c.written.size(); ++n) {
            if (c.written[n] == kAbsent) {
                gap = true;
                continue;
            }
            write_chunk(dir.path(), n, c.written[n]);
            if (!gap) counts.push_back(c.written[n]);
        }
        const auto events = reachable(counts);
        auto acq = open_ok(dir.path());
        EventReader reader(acq);
        EXPECT_EQ(acq.chunk_count(), c.chunk_count);
        EXPECT_EQ(acq.len().value(), events.size());
        for (std::uint64_t i = 0; i < events.size(); ++i) EXPECT_TRUE(both_give(acq, reader, i, events[i]));
        for (std::uint64_t i : {events.size(), events.size() + 1, std::uint64_t(UINT64_MAX)})
            EXPECT_TRUE(both_give(acq, reader, i, kOob));
    }
}

TEST(StoreChunks, IncompleteChunks) {
    TempDir dir;
    write_metadata(dir.path());
    write_file(dir / "0.bin", "abc");  // data without index: no chunk at all
    write_chunk(dir.path(), 1, 4);
    auto acq = open_ok(dir.path());
    EXPECT_EQ(acq.chunk_count(), 0u);
    EXPECT_EQ(acq.len().value(), 0u);
    EXPECT_EQ(acq.get(0).error().kind, kOob);

    // An index that cannot be sized ends len() and lookups that reach it with InvalidPath; events
    // before it stay readable.
    write_chunk(dir.path(), 0, 2);
    fs::remove(dir / "1.idx");
    fs::create_directory(dir / "1.idx");
    write_chunk(dir.path(), 2, 1);
    EventReader reader(acq);
    EXPECT_EQ(acq.chunk_count(), 3u);
    EXPECT_EQ(acq.len().error().kind, kInvalid);
    EXPECT_TRUE(both_give(acq, reader, 1, event_bytes(0, 1)));
    EXPECT_TRUE(both_give(acq, reader, 2, kInvalid));

    // An entry pointing past its data file.
    write_file(dir / "3.bin", "abcd");
    write_file(dir / "3.idx", idx_entry(2, 3));
    fs::remove_all(dir / "1.idx");
    write_file(dir / "1.idx", "");
    reader.refresh();
    EXPECT_EQ(acq.len().value(), 4u);
    EXPECT_TRUE(both_give(acq, reader, 3, kOob));
}

// A chunk the walk passes over counts when both its files can be opened for reading, whatever their
// owner, mode or link: the lookup beyond it, len() and chunk_count() agree with opening them.
TEST(StoreChunks, PassedChunkCountsWhenItsFilesOpen) {
    const std::vector<std::pair<const char*, std::function<void(const fs::path&)>>> states = {
        {"plain", [](const fs::path&) {}},
        {"data missing", [](const fs::path& d) { fs::remove(d / "1.bin"); }},
        {"index missing", [](const fs::path& d) { fs::remove(d / "1.idx"); }},
        {"data unreadable", [](const fs::path& d) { ::chmod((d / "1.bin").c_str(), 0); }},
        {"index unreadable", [](const fs::path& d) { ::chmod((d / "1.idx").c_str(), 0); }},
        {"index owner-readable only, other owner",
         [](const fs::path& d) { (void)!::chown((d / "1.idx").c_str(), 65534, 65534); ::chmod((d / "1.idx").c_str(), 0400); }},
        {"data through a link", [](const fs::path& d) {
             fs::rename(d / "1.bin", d / "real.bin");
             fs::create_symlink(d / "real.bin", d / "1.bin");
         }},
        {"data a dangling link", [](const fs::path& d) {
             fs::remove(d / "1.bin");
             fs::create_symlink(d / "nowhere", d / "1.bin");
         }},
    };
    for (const auto& [name, apply] : states) {
        SCOPED_TRACE(name);
        TempDir dir;
        write_metadata(dir.path());
        for (std::uint64_t n = 0; n < 3; ++n) write_chunk(dir.path(), n, n + 1);
        apply(dir.path());
        bool opens = true;
        for (const char* f : {"1.bin", "1.idx"}) {
            const int fd = ::open((dir / f).c_str(), O_RDONLY | O_NONBLOCK);
            opens = opens && fd >= 0;
            if (fd >= 0) ::close(fd);
        }
        auto acq = open_ok(dir.path());
        EXPECT_EQ(acq.chunk_count(), opens ? 3u : 1u);
        EXPECT_EQ(acq.len().value(), opens ? 6u : 1u);
        const auto r = acq.get(3);  // first event of chunk 2
        if (opens) {
            ASSERT_TRUE(r.ok());
            EXPECT_EQ(*r, event_bytes(2, 0));
        } else {
            EXPECT_EQ(r.error().kind, kOob);
        }
    }
}

TEST(StoreChunks, ShrinkingDataFile) {
    TempDir dir;
    write_metadata(dir.path());
    write_chunk(dir.path(), 0, 6);
    auto acq = open_ok(dir.path());
    EventReader reader(acq);
    ASSERT_TRUE(reader.get(0));
    // The index still points past the end of the truncated data file.
    ASSERT_EQ(::truncate((dir / "0.bin").c_str(), 3), 0);
    EXPECT_TRUE(both_give(acq, reader, 5, kOob));
}

TEST(StoreChunks, EventReaderSeesGrowthOnlyAfterRefresh) {
    TempDir dir;
    write_metadata(dir.path());
    write_chunk(dir.path(), 0, 3);
    auto acq = open_ok(dir.path());
    EventReader reader(acq);
    EXPECT_EQ(*reader.get(2), event_bytes(0, 2));
    write_chunk(dir.path(), 1, 2);
    EXPECT_EQ(*acq.get(3), event_bytes(1, 0));       // the walk sees the new chunk at once
    EXPECT_EQ(reader.get(3).error().kind, kOob);     // the resolved layout does not
    reader.refresh();
    EXPECT_EQ(*reader.get(4), event_bytes(1, 1));
    EventReader moved = std::move(reader);
    EXPECT_EQ(*moved.get(0), event_bytes(0, 0));
}

TEST(StoreMiscData, Kinds) {
    TempDir dir;
    write_metadata(dir.path());
    write_file(dir / "pedestals_calibration", std::string("\x1f\x8b\x00rest", 7));
    write_file(dir / "readout_metadata", "");
    fs::create_directory(dir / "adc2mv_calibration");
    auto acq = open_ok(dir.path());

    auto ped = acq.misc_data(MiscDataKind::PedestalsCalibration);
    ASSERT_TRUE(ped);
    EXPECT_EQ(ped->kind, MiscDataKind::PedestalsCalibration);
    EXPECT_EQ(ped->data, (ByteVec{0x1f, 0x8b, 0x00, 'r', 'e', 's', 't'}));
    auto empty = acq.misc_data(MiscDataKind::ReadoutMetadata);
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->data.empty());
    EXPECT_EQ(acq.misc_data(MiscDataKind::TimingCalibration).error().kind, AcquisitionErrorKind::NoSuchMiscData);
    EXPECT_EQ(acq.misc_data(MiscDataKind::Adc2MvCalibration).error().message(),
              "Could not read acquisition: Is a directory (os error 21)");
}

TEST(StoreMiscData, EndlessFilesAreRefusedWithoutHanging) {
    TempDir dir;
    write_metadata(dir.path());
    auto acq = open_ok(dir.path());
    fs::create_symlink("/dev/zero", dir / "timing_calibration");
    EXPECT_EQ(acq.misc_data(MiscDataKind::TimingCalibration).error().message(),
              "Could not read acquisition: File too large (os error 27)");
    ASSERT_EQ(::mkfifo((dir / "readout_metadata").c_str(), 0600), 0);
    auto fifo = acq.misc_data(MiscDataKind::ReadoutMetadata);  // no writer: returns at once
    EXPECT_TRUE(!fifo || fifo->data.empty());
    fs::remove(dir / "metadata.yml");
    fs::create_symlink("/dev/zero", dir / "metadata.yml");
    EXPECT_EQ(acq.metadata_str().error().kind, AcquisitionErrorKind::ReadFailed);
}

TEST(StoreMiscData, PermissionDenied) {
    if (::geteuid() == 0) GTEST_SKIP() << "permission bits do not stop root";
    TempDir dir;
    write_metadata(dir.path());
    write_file(dir / "pedestals_calibration", "p");
    auto acq = open_ok(dir.path());
    fs::permissions(dir / "pedestals_calibration", fs::perms::none);
    EXPECT_EQ(acq.misc_data(MiscDataKind::PedestalsCalibration).error().message(),
              "Could not read acquisition: Permission denied (os error 13)");
}

TEST(StoreMetadata, TextMustBeUtf8) {
    TempDir dir;
    write_metadata(dir.path());
    auto acq = open_ok(dir.path());
    ASSERT_TRUE(acq.metadata_str());
    EXPECT_EQ(acq.metadata()->params.model, "pellorv3");
    write_file(dir / "metadata.yml", "params: {model: \xff}\n");
    EXPECT_EQ(acq.metadata_str().error().message(), "Could not read acquisition: failed to read metadata");
    EXPECT_EQ(acq.metadata().error().kind, MetadataErrorKind::Unreadable);
    write_file(dir / "metadata.yml", "params: [\n");
    EXPECT_EQ(acq.metadata().error().kind, MetadataErrorKind::Deserialize);
    fs::remove(dir / "metadata.yml");
    EXPECT_EQ(acq.metadata().error().kind, MetadataErrorKind::Unreadable);
    EXPECT_EQ(acq.len().value(), 0u);  // events stay accessible without metadata
}

TEST(StoreList, EnumeratesAcquisitionsOnly) {
    TempDir root;
    for (const char* n : {"a", "b", "c"}) fs::create_directory(root / n);
    write_metadata(root / "a");
    write_metadata(root / "b");
    write_file(root / "d", "not a directory");
    write_metadata(root.path());  // root itself is one, but it is not listed under itself
    std::set<fs::path> got;
    for (const auto& a : list_acquisitions(root.path())) got.insert(a.path());
    EXPECT_EQ(got, (std::set<fs::path>{root / "a", root / "b"}));
    EXPECT_TRUE(list_acquisitions(root / "missing").empty());
    EXPECT_TRUE(list_acquisitions(root / "d").empty());
}

TEST(StoreReadOnly, NothingWrittenIntoTheDirectory) {
    TempDir dir;
    write_metadata(dir.path());
    write_chunk(dir.path(), 0, 4);
    write_chunk(dir.path(), 1, 2);
    write_file(dir / "2.bin", "x");
    write_file(dir / "pedestals_calibration", "p");
    const auto before = snapshot(dir.path());
    ::usleep(20000);  // so that a write would show in the modification times
    auto acq = open_ok(dir.path());
    (void)acq.name();
    (void)acq.metadata_str();
    (void)acq.metadata();
    for (int k = 0; k < 4; ++k) (void)acq.misc_data(static_cast<MiscDataKind>(k));
    (void)acq.chunk_count();
    (void)acq.len();
    EventReader reader(acq);
    for (std::uint64_t i = 0; i < 8; ++i) {
        (void)acq.get(i);
        (void)reader.get(i);
    }
    (void)list_acquisitions(dir.path());
    EXPECT_EQ(snapshot(dir.path()), before);
}
