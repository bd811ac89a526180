#include "acquisition/util.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "acquisition/acquisition.h"
#include "io/unique_fd.h"

namespace brimo {

Result<std::string, InternalError> final_path_component(const std::filesystem::path& path) {
    const std::string& s = path.native();
    std::size_t end = s.size();
    while (end > 0) {
        while (end > 0 && s[end - 1] == '/') --end;
        std::size_t begin = end;
        while (begin > 0 && s[begin - 1] != '/') --begin;
        const std::string_view comp(s.data() + begin, end - begin);
        if (comp.empty()) break;
        if (comp == ".") {
            end = begin;
            continue;
        }
        if (comp == "..") break;
        return std::string(comp);
    }
    return err(InternalError{"could not get acquisition name"});
}

Result<std::string, InternalError> final_path_name(const std::filesystem::path& path) {
    auto name = final_path_component(path);
    if (name && !is_valid_utf8(*name)) return err(InternalError{"invalid acquisition name"});
    return name;
}

bool is_valid_utf8(std::string_view s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const auto* e = p + s.size();
    while (p < e) {
        const unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        int extra;
        std::uint32_t cp;
        if (c >= 0xc2 && c <= 0xdf) {
            extra = 1;
            cp = c & 0x1f;
        } else if (c >= 0xe0 && c <= 0xef) {
            extra = 2;
            cp = c & 0x0f;
        } else if (c >= 0xf0 && c <= 0xf4) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (e - p <= extra) return false;
        for (int i = 1; i <= extra; ++i) {
            if ((p[i] & 0xc0) != 0x80) return false;
            cp = (cp << 6) | (p[i] & 0x3f);
        }
        // Overlong forms, UTF-16 surrogates and values beyond U+10FFFF are not UTF-8.
        if ((extra == 2 && (cp < 0x800 || (cp >= 0xd800 && cp <= 0xdfff))) || (extra == 3 && (cp < 0x10000 || cp > 0x10ffff)))
            return false;
        p += extra + 1;
    }
    return true;
}

namespace {

constexpr std::size_t kMaxNonRegularBytes = std::size_t(1) << 20;

template <class Buffer>
Result<void, SysError> read_whole_file_into(const std::filesystem::path& file, std::size_t limit, Buffer& out) {
    out.clear();
    BRIMO_ASSIGN_OR_RETURN(const UniqueFd opened, open_read(file));
    const int fd = opened.get();
    struct stat st;
    std::size_t expect = 0;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        if (st.st_size > 0)
            expect = static_cast<std::size_t>(std::min<std::uint64_t>(static_cast<std::uint64_t>(st.st_size), limit));
    } else {
        // A device or a FIFO may never end; what it yields is not a stored file anyway.
        limit = std::min(limit, kMaxNonRegularBytes);
    }
    // One read beyond the expected size sees the end of the file (or growth since the fstat).
    std::size_t used = 0;
    out.resize(expect + 1);
    for (;;) {
        if (used == out.size()) {
            if (out.size() > limit) {
                out.clear();
                return err(SysError{EFBIG});
            }
            out.resize(std::min<std::size_t>(out.size() * 2 + 4096, limit + 1));
        }
        const ssize_t got = ::read(fd, out.data() + used, out.size() - used);
        if (got < 0) {
            if (errno == EINTR) continue;
            const int err_no = errno;
            out.clear();
            return err(SysError{err_no});
        }
        if (got == 0) break;
        used += static_cast<std::size_t>(got);
    }
    out.resize(used);
    return {};
}

}  // namespace

Result<void, SysError> read_whole_file(const std::filesystem::path& file, std::size_t limit, std::string& out) {
    return read_whole_file_into(file, limit, out);
}

Result<void, SysError> read_whole_file(const std::filesystem::path& file, std::size_t limit,
                                       std::vector<std::uint8_t>& out) {
    return read_whole_file_into(file, limit, out);
}

// ---------------------------------------------------------------------------------------------

bool has_nul(const std::filesystem::path& path) { return path.native().find('\0') != std::string::npos; }

bool is_acquisition(const std::filesystem::path& path) {
    // The system calls would see the path cut at its first NUL: a different directory.
    if (has_nul(path)) return false;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    // Any kind of entry counts; stat follows symbolic links, so a dangling one does not.
    return ::stat((path / "metadata.yml").c_str(), &st) == 0;
}

std::vector<Acquisition> list_acquisitions(const std::filesystem::path& root) {
    std::vector<Acquisition> out;
    if (has_nul(root)) return out;
    const UniqueDir dir(::opendir(root.c_str()));
    if (!dir) return out;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir.get());
        // A failing enumeration cannot be resumed reliably: keep what was found so far.
        if (entry == nullptr) break;
        const std::string_view name(entry->d_name);
        if (name == "." || name == "..") continue;
        auto acq = Acquisition::open(root / entry->d_name);
        if (acq) out.push_back(std::move(acq).value());
    }
    return out;
}

}  // namespace brimo
