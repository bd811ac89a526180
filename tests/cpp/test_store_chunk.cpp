#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <optional>
#include <thread>

#include "acquisition/chunk.h"
#include "store_test_util.h"

using namespace brimo;
using namespace brimo::test;

namespace {

constexpr auto kOob = AcquisitionErrorKind::IndexOutOfBounds;
constexpr auto kInvalid = AcquisitionErrorKind::InvalidPath;

std::string data_of(std::size_t size) {
    std::string d(size, '\0');
    for (std::size_t i = 0; i < size; ++i) d[i] = static_cast<char>(i);
    return d;
}

ByteVec range(std::size_t offset, std::size_t length) {
    ByteVec b(length);
    for (std::size_t i = 0; i < length; ++i) b[i] = static_cast<std::uint8_t>(offset + i);
    return b;
}

struct ChunkCase {
    const char* name;
    std::string index;
    std::size_t data_size;
    std::uint64_t event_count;
    std::uint64_t get;
    std::optional<ByteVec> bytes;  // expected event, or nullopt for IndexOutOfBounds
};

}  // namespace

TEST(ChunkFile, IndexEntries) {
    const std::string raw_le("\x10\x00\x00\x00\x04\x00\x00\x00", 8);
    const ChunkCase cases[] = {
        {"little-endian entry", raw_le, 32, 1, 0, range(16, 4)},
        {"empty event at end of data", idx_entry(20, 0), 20, 1, 0, ByteVec{}},
        {"empty event past end of data", idx_entry(21, 0), 20, 1, 0, std::nullopt},
        {"event ending at end of data", idx_entry(12, 8), 20, 1, 0, range(12, 8)},
        {"event one byte past end", idx_entry(12, 9), 20, 1, 0, std::nullopt},
        {"empty data, empty event", idx_entry(0, 0), 0, 1, 0, ByteVec{}},
        {"empty index", "", 20, 0, 0, std::nullopt},
        {"7-byte index holds no entry", idx_entry(0, 4).substr(0, 7), 20, 0, 0, std::nullopt},
        {"15-byte index holds one entry", idx_entry(2, 3) + "1234567", 20, 1, 0, range(2, 3)},
        {"15-byte index, second entry", idx_entry(2, 3) + "1234567", 20, 1, 1, std::nullopt},
        {"entries out of order", idx_entry(10, 5) + idx_entry(0, 5), 20, 2, 1, range(0, 5)},
        {"overlapping entries", idx_entry(0, 10) + idx_entry(5, 10), 20, 2, 1, range(5, 10)},
        {"offset and length at 32-bit limits", idx_entry(0xffffffffu, 0xffffffffu), 20, 1, 0, std::nullopt},
        {"long event past end of data", idx_entry(4, 1u << 21), 20, 1, 0, std::nullopt},
        {"index far beyond the file", idx_entry(0, 1), 20, 1, std::uint64_t(1) << 62, std::nullopt},
        {"largest index", idx_entry(0, 1), 20, 1, UINT64_MAX, std::nullopt},
    };
    for (const ChunkCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        write_file(dir / "0.bin", data_of(c.data_size));
        write_file(dir / "0.idx", c.index);
        auto chunk = ReadChunkFile::open_with_index(dir.path(), 0);
        ASSERT_TRUE(chunk);
        auto count = chunk->event_count();
        ASSERT_TRUE(count);
        EXPECT_EQ(*count, c.event_count);
        auto got = chunk->get(c.get);
        if (c.bytes) {
            ASSERT_TRUE(got) << got.error().message();
            EXPECT_EQ(*got, *c.bytes);
        } else {
            ASSERT_FALSE(got);
            EXPECT_EQ(got.error().kind, kOob);
        }
    }
}

TEST(ChunkFile, OpeningNeedsBothFiles) {
    struct Case { bool bin, idx, ok; };
    for (const Case c : {Case{true, true, true}, Case{true, false, false}, Case{false, true, false}, Case{false, false, false}}) {
        SCOPED_TRACE(std::to_string(c.bin) + std::to_string(c.idx));
        TempDir dir;
        if (c.bin) write_file(dir / "12.bin", "abc");
        if (c.idx) write_file(dir / "12.idx", idx_entry(0, 3));
        auto by_path = ReadChunkFile::open_with_index(dir.path(), 12);
        const int dfd = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
        auto by_fd = ReadChunkFile::open_at(dfd, 12);
        ::close(dfd);  // the chunk keeps its own handles
        for (auto* r : {&by_path, &by_fd}) {
            EXPECT_EQ(bool(*r), c.ok);
            if (*r) EXPECT_EQ(*(*r)->get(0), (ByteVec{'a', 'b', 'c'}));
            else EXPECT_EQ(r->error().kind, kInvalid);
        }
        // Chunk 1 never exists; names carry no padding ("012.bin" is not chunk 12).
        EXPECT_FALSE(ReadChunkFile::open_with_index(dir.path(), 1));
    }
}

// Only regular files hold chunks, whatever the event length: a directory, a FIFO (never waited on)
// or a device (a link to /dev/zero would serve endless zeros) under either name is InvalidPath.
TEST(ChunkFile, NonRegularFilesAreInvalidPath) {
    enum class Kind { Directory, Fifo, DevZero };
    auto make = [](const std::filesystem::path& p, Kind k) {
        switch (k) {
            case Kind::Directory: std::filesystem::create_directory(p); break;
            case Kind::Fifo: ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); break;
            case Kind::DevZero: std::filesystem::create_symlink("/dev/zero", p); break;
        }
    };
    for (const Kind kind : {Kind::Directory, Kind::Fifo, Kind::DevZero}) {
        for (const bool data : {true, false}) {
            for (const std::uint32_t length : {4u, 1u << 21}) {
                SCOPED_TRACE(std::to_string(int(kind)) + (data ? " data " : " index ") + std::to_string(length));
                TempDir dir;
                if (data) {
                    make(dir / "0.bin", kind);
                    write_file(dir / "0.idx", idx_entry(0, length));
                } else {
                    write_file(dir / "0.bin", data_of(length));
                    make(dir / "0.idx", kind);
                }
                auto chunk = ReadChunkFile::open_with_index(dir.path(), 0);
                ASSERT_TRUE(chunk);
                auto got = chunk->get(0);
                ASSERT_FALSE(got);
                EXPECT_EQ(got.error().kind, kInvalid);
                if (!data) {
                    EXPECT_EQ(chunk->event_count().error().kind, kInvalid);
                }
            }
        }
    }
}

TEST(ChunkFile, FilesReadAtTheirCurrentSize) {
    TempDir dir;
    write_file(dir / "0.bin", data_of(8));
    write_file(dir / "0.idx", idx_entry(0, 8));
    auto chunk = ReadChunkFile::open_with_index(dir.path(), 0);
    ASSERT_TRUE(chunk);
    // The data file shrinks below the entry after the chunk was opened: no SIGBUS, no stale bytes.
    ASSERT_EQ(::truncate((dir / "0.bin").c_str(), 4), 0);
    EXPECT_EQ(chunk->get(0).error().kind, kOob);
    // It grows again, and the index gains an entry.
    write_file(dir / "0.bin", data_of(16));
    {
        std::ofstream(dir / "0.idx", std::ios::binary | std::ios::app) << idx_entry(8, 8);
    }
    EXPECT_EQ(*chunk->event_count(), 2u);
    EXPECT_EQ(*chunk->get(1), range(8, 8));
    // The index file shrinks to a partial entry.
    ASSERT_EQ(::truncate((dir / "0.idx").c_str(), 5), 0);
    EXPECT_EQ(*chunk->event_count(), 0u);
    EXPECT_EQ(chunk->get(0).error().kind, kOob);
}

TEST(ChunkFile, ConcurrentTruncationNeverCrashesOrMisreads) {
    TempDir dir;
    const std::size_t size = 1 << 16;
    const std::string data = data_of(size);
    write_file(dir / "0.bin", data);
    write_file(dir / "0.idx", idx_entry(0, size));
    auto chunk = ReadChunkFile::open_with_index(dir.path(), 0);
    ASSERT_TRUE(chunk);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        const int fd = ::open((dir / "0.bin").c_str(), O_WRONLY);
        while (!stop.load()) {
            if (::ftruncate(fd, 100) != 0) break;
            if (::pwrite(fd, data.data(), data.size(), 0) != static_cast<ssize_t>(data.size())) break;
        }
        ::close(fd);
    });
    int ok = 0, oob = 0;
    for (int i = 0; i < 2000; ++i) {
        auto got = chunk->get(0);
        if (got) {
            ASSERT_EQ(got->size(), size);
            ++ok;
        } else {
            ASSERT_EQ(got.error().kind, kOob);
            ++oob;
        }
    }
    stop = true;
    writer.join();
    EXPECT_EQ(ok + oob, 2000);
}

TEST(ChunkFile, MovedFromOwnsNothing) {
    TempDir dir;
    write_file(dir / "0.bin", "xy");
    write_file(dir / "0.idx", idx_entry(0, 2));
    auto a = ReadChunkFile::open_with_index(dir.path(), 0);
    ASSERT_TRUE(a);
    ReadChunkFile b = std::move(a).value();
    EXPECT_EQ(a->data_fd(), -1);
    EXPECT_EQ(*b.get(0), (ByteVec{'x', 'y'}));
    auto c = ReadChunkFile::open_with_index(dir.path(), 0);
    b = std::move(c).value();  // closes b's old handles, takes c's
    EXPECT_EQ(*b.get(0), (ByteVec{'x', 'y'}));
}
