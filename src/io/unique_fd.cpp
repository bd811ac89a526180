#include "io/unique_fd.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace brimo {

namespace {

constexpr int kReadFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

Result<UniqueFd, SysError> owned(int fd) {
    if (fd < 0) return err(SysError{errno});
    return UniqueFd(fd);
}

bool has_nul(const std::filesystem::path& path) { return path.native().find('\0') != std::string::npos; }

}  // namespace

void UniqueFd::reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

int UniqueFd::close() {
    if (fd_ < 0) return 0;
    return ::close(std::exchange(fd_, -1));
}

void UniqueDir::reset() {
    if (dir_ != nullptr) ::closedir(std::exchange(dir_, nullptr));
}

Result<UniqueFd, SysError> open_read(int dir_fd, const char* name) { return owned(::openat(dir_fd, name, kReadFlags)); }

Result<UniqueFd, SysError> open_read(const std::filesystem::path& path) {
    if (has_nul(path)) return err(SysError{EINVAL});
    return owned(::open(path.c_str(), kReadFlags));
}

Result<UniqueFd, SysError> open_directory(const std::filesystem::path& path) {
    return owned(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

}  // namespace brimo
