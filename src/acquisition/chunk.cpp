#include "acquisition/chunk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <limits>
#include <optional>

#include "acquisition/util.h"

namespace brimo {

namespace {

enum class ReadStatus { Ok, Short, Failed };

// Events up to this length are read without asking the data file's size first: the read itself
// tells whether the bytes are there, and a buffer this small costs nothing when they are not.
constexpr std::uint64_t kUncheckedLength = std::uint64_t(1) << 20;

// Reads exactly `len` bytes at `offset`. A file that ends early (it shrank after its size was
// queried: the board or a user may be rewriting the acquisition) is Short, not a fault.
ReadStatus pread_exact(int fd, std::uint8_t* buf, std::size_t len, std::uint64_t offset) {
    while (len > 0) {
        const ssize_t got = ::pread(fd, buf, len, static_cast<off_t>(offset));
        if (got < 0) {
            if (errno == EINTR) continue;
            return ReadStatus::Failed;
        }
        if (got == 0) return ReadStatus::Short;
        buf += got;
        len -= static_cast<std::size_t>(got);
        offset += static_cast<std::uint64_t>(got);
    }
    return ReadStatus::Ok;
}

// Current size of an open chunk file. Only regular files hold chunk data; anything else (a
// directory or a device under a chunk name) cannot be sized and is refused like an unmappable file.
std::optional<std::uint64_t> regular_file_size(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) return std::nullopt;
    return static_cast<std::uint64_t>(st.st_size);
}

}  // namespace

ChunkFileName chunk_file_name(std::uint64_t n, ChunkFileKind kind) {
    ChunkFileName name;
    char* end = name.buf + sizeof name.buf;
    auto [p, ec] = std::to_chars(name.buf, end, n);
    (void)ec;  // 20 digits always fit
    const char* suffix = kind == ChunkFileKind::Data ? ".bin" : ".idx";
    std::memcpy(p, suffix, 5);  // with the terminating NUL
    return name;
}

template <class Open>
Result<ReadChunkFile, AcquisitionError> ReadChunkFile::open_files(std::uint64_t n, Open open) {
    auto data = open(chunk_file_name(n, ChunkFileKind::Data).c_str());
    if (!data) return err(acq_error(AcquisitionErrorKind::InvalidPath));
    auto index = open(chunk_file_name(n, ChunkFileKind::Index).c_str());
    if (!index) return err(acq_error(AcquisitionErrorKind::InvalidPath));
    return ReadChunkFile(std::move(*data), std::move(*index));
}

Result<ReadChunkFile, AcquisitionError> ReadChunkFile::open_with_index(const std::filesystem::path& dir,
                                                                       std::uint64_t n) {
    if (has_nul(dir)) return err(acq_error(AcquisitionErrorKind::InvalidPath));
    return open_files(n, [&](const char* name) { return open_read(dir / name); });
}

Result<ReadChunkFile, AcquisitionError> ReadChunkFile::open_at(int dir_fd, std::uint64_t n) {
    return open_files(n, [dir_fd](const char* name) { return open_read(dir_fd, name); });
}

namespace {

// The size of `name` in `dir_fd` when it is a regular file owned by `euid` and readable by its owner.
std::optional<std::uint64_t> owned_readable_size(int dir_fd, const char* name, uid_t euid) {
    struct stat st;
    if (::fstatat(dir_fd, name, &st, 0) != 0 || !S_ISREG(st.st_mode) || st.st_uid != euid ||
        (st.st_mode & S_IRUSR) == 0 || st.st_size < 0)
        return std::nullopt;
    return static_cast<std::uint64_t>(st.st_size);
}

}  // namespace

std::optional<std::uint64_t> ReadChunkFile::stat_event_count(int dir_fd, std::uint64_t n, uid_t euid) {
    if (!owned_readable_size(dir_fd, chunk_file_name(n, ChunkFileKind::Data).c_str(), euid)) return std::nullopt;
    const auto index_size = owned_readable_size(dir_fd, chunk_file_name(n, ChunkFileKind::Index).c_str(), euid);
    if (!index_size) return std::nullopt;
    return *index_size / 8;
}

Result<std::uint64_t, AcquisitionError> ReadChunkFile::event_count() const {
    const auto size = regular_file_size(index_.get());
    if (!size) return err(acq_error(AcquisitionErrorKind::InvalidPath));
    // A trailing remainder of 1 to 7 bytes is not an entry.
    return *size / 8;
}

bool ReadChunkFile::regular_files() const {
    if (!regular_) regular_ = regular_file_size(data_.get()) && regular_file_size(index_.get());
    return regular_;
}

// The sizes of both files are those of this moment, learnt from the reads themselves: entry i exists
// when 8 bytes can be read at 8*i, and an event lies inside the data file when its bytes can be read.
// A read that ends early is the same finding as a size query that comes out too small, and it stays
// correct when a file shrinks between the two (where a copy out of a memory mapping would fault).
Result<std::vector<std::uint8_t>, AcquisitionError> ReadChunkFile::get(std::uint64_t index) const {
    constexpr std::uint64_t kMaxEntry = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) / 8 - 1;
    if (index > kMaxEntry) return err(acq_error(AcquisitionErrorKind::IndexOutOfBounds));
    // Only regular files hold chunks. A device under a chunk name (a link to /dev/zero) would
    // otherwise serve endless made-up events, a FIFO would hand out whatever a writer feeds it.
    if (!regular_files()) return err(acq_error(AcquisitionErrorKind::InvalidPath));

    std::uint8_t entry[8];
    switch (pread_exact(index_.get(), entry, sizeof entry, index * 8)) {
        case ReadStatus::Ok: break;
        case ReadStatus::Short: return err(acq_error(AcquisitionErrorKind::IndexOutOfBounds));
        case ReadStatus::Failed: return err(acq_error(AcquisitionErrorKind::InvalidPath));
    }
    // Little-endian on every host: offset in the low half, length in the high half.
    std::uint64_t word = 0;
    for (int i = 7; i >= 0; --i) word = (word << 8) | entry[i];
    const std::uint64_t offset = word & 0xffffffffu;
    const std::uint64_t length = word >> 32;

    std::vector<std::uint8_t> out;
    if (length == 0 || length > kUncheckedLength) {
        // An empty event reads nothing, so its offset is checked against the size (at the end is
        // fine). A long one is checked before its buffer is allocated: a corrupt entry must not
        // make us allocate gigabytes the file does not hold.
        const auto data_size = regular_file_size(data_.get());
        if (!data_size) return err(acq_error(AcquisitionErrorKind::InvalidPath));
        // Both halves are below 2^32: the sum cannot overflow.
        if (offset + length > *data_size) return err(acq_error(AcquisitionErrorKind::IndexOutOfBounds));
        if (length == 0) return out;
    }
    out.resize(static_cast<std::size_t>(length));
    switch (pread_exact(data_.get(), out.data(), out.size(), offset)) {
        case ReadStatus::Ok: return out;
        case ReadStatus::Short: return err(acq_error(AcquisitionErrorKind::IndexOutOfBounds));
        case ReadStatus::Failed: break;
    }
    return err(acq_error(AcquisitionErrorKind::InvalidPath));
}

}  // namespace brimo
