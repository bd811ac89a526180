// One chunk of an acquisition: the data file "<n>.bin" holding raw event packets back to back, and
// the index file "<n>.idx" of 8-byte little-endian entries (offset: low 32 bits, length: high 32 bits).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include "error/errors.h"
#include "error/result.h"
#include "io/unique_fd.h"

namespace brimo {

class ReadChunkFile {
public:
    // Opens "<n>.bin" and "<n>.idx" read-only in `dir`. Any failure is InvalidPath.
    static Result<ReadChunkFile, AcquisitionError> open_with_index(const std::filesystem::path& dir, std::uint64_t n);
    // Opens chunk n relative to an open directory handle (the descriptor stays owned by the caller).
    static Result<ReadChunkFile, AcquisitionError> open_at(int dir_fd, std::uint64_t n);


    // Number of whole entries in the index file at this moment (size / 8), or InvalidPath when the
    // size cannot be queried.
    Result<std::uint64_t, AcquisitionError> event_count() const;
    // Copy of the bytes of event `index` of this chunk, read at the files' current sizes.
    Result<std::vector<std::uint8_t>, AcquisitionError> get(std::uint64_t index) const;

    // The event count of chunk n as open_at(dir_fd, n) followed by event_count() would give it, found
    // without opening anything when that answer is certain from the two files' metadata: both are
    // regular files owned by `euid` with the owner's read permission (an open for reading then cannot
    // be refused, and the count is the index file's size / 8). nullopt in every other case (missing
    // or unreadable files, other owners, other file types): the caller then opens the chunk, which
    // gives the exact result and error for them.
    static std::optional<std::uint64_t> stat_event_count(int dir_fd, std::uint64_t n, uid_t euid);

    int data_fd() const { return data_.get(); }
    int index_fd() const { return index_.get(); }

private:
    ReadChunkFile(UniqueFd data, UniqueFd index) : data_(std::move(data)), index_(std::move(index)) {}
    // Opens both files with `open(name)`; any failure is InvalidPath.
    template <class Open>
    static Result<ReadChunkFile, AcquisitionError> open_files(std::uint64_t n, Open open);
    // Both files are regular files; learnt on the first get() (the type of an open file never changes).
    bool regular_files() const;
    UniqueFd data_;
    UniqueFd index_;
    mutable bool regular_ = false;
};

}  // namespace brimo
