// Owners of operating-system handles: a file descriptor and a directory stream, each closed exactly
// once, by the destructor unless released or closed earlier. Move-only; a moved-from owner holds
// nothing (-1, nullptr).
#pragma once

#include <dirent.h>

#include <filesystem>
#include <utility>

#include "error/result.h"

namespace brimo {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& o) noexcept {
        if (this != &o) {
            reset();
            fd_ = std::exchange(o.fd_, -1);
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Gives up ownership: the caller closes the returned descriptor.
    int release() { return std::exchange(fd_, -1); }
    // Closes the held descriptor, if any; its close error is ignored.
    void reset(int fd = -1);
    // Closes the held descriptor and returns close(2)'s result (0 when nothing was held); the
    // descriptor is released whatever the result, and errno tells the error.
    int close();

private:
    int fd_ = -1;
};

// The errno value of a failed system call.
struct SysError {
    int err_no;
};

// Files are only ever read through these. O_NONBLOCK keeps a FIFO that happens to carry a file name
// from blocking the open; it has no effect on regular files.
Result<UniqueFd, SysError> open_read(int dir_fd, const char* name);
// The same for a path; a path holding a NUL byte is EINVAL (the system would cut it short there).
Result<UniqueFd, SysError> open_read(const std::filesystem::path& path);
// A directory opened for use as the base of *at() calls.
Result<UniqueFd, SysError> open_directory(const std::filesystem::path& path);

class UniqueDir {
public:
    UniqueDir() = default;
    explicit UniqueDir(DIR* dir) : dir_(dir) {}
    UniqueDir(UniqueDir&& o) noexcept : dir_(std::exchange(o.dir_, nullptr)) {}
    UniqueDir& operator=(UniqueDir&& o) noexcept {
        if (this != &o) {
            reset();
            dir_ = std::exchange(o.dir_, nullptr);
        }
        return *this;
    }
    UniqueDir(const UniqueDir&) = delete;
    UniqueDir& operator=(const UniqueDir&) = delete;
    ~UniqueDir() { reset(); }

    DIR* get() const { return dir_; }
    explicit operator bool() const { return dir_ != nullptr; }
    void reset();

private:
    DIR* dir_ = nullptr;
};

}  // namespace brimo
