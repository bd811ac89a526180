// Temporary acquisition directories for the store tests.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace brimo::test {

using ByteVec = std::vector<std::uint8_t>;

class TempDir {
public:
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "brimo-store-XXXXXX").string();
        if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
        path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

inline void write_file(const std::filesystem::path& p, const std::string& bytes) {
    std::ofstream(p, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}
inline void write_file(const std::filesystem::path& p, const ByteVec& bytes) {
    write_file(p, std::string(bytes.begin(), bytes.end()));
}

// One 8-byte little-endian index entry: offset in the low half, length in the high half.
inline std::string idx_entry(std::uint32_t offset, std::uint32_t length) {
    std::string e(8, '\0');
    for (int i = 0; i < 4; ++i) {
        e[i] = static_cast<char>(offset >> (8 * i));
        e[4 + i] = static_cast<char>(length >> (8 * i));
    }
    return e;
}

// Event `i` of chunk `n`: distinct content of varying length (some empty).
inline ByteVec event_bytes(std::uint64_t n, std::uint64_t i) {
    ByteVec b((i * 7 + n) % 23);
    for (std::size_t k = 0; k < b.size(); ++k) b[k] = static_cast<std::uint8_t>(n * 31 + i * 5 + k);
    return b;
}

// Writes chunk n with `count` events laid out back to back.
inline void write_chunk(const std::filesystem::path& dir, std::uint64_t n, std::uint64_t count) {
    std::string data, index;
    for (std::uint64_t i = 0; i < count; ++i) {
        ByteVec e = event_bytes(n, i);
        index += idx_entry(static_cast<std::uint32_t>(data.size()), static_cast<std::uint32_t>(e.size()));
        data.append(e.begin(), e.end());
    }
    write_file(dir / (std::to_string(n) + ".bin"), data);
    write_file(dir / (std::to_string(n) + ".idx"), index);
}

inline void write_metadata(const std::filesystem::path& dir) {
    write_file(dir / "metadata.yml",
               "params:\n  model: pellorv3\n  channels: 4\n  windows: 64\n  samples: 32\nregisters: {}\n");
}

// Names, sizes and modification times of every entry below `dir`: equal before and after an
// operation means the operation wrote nothing there.
inline std::map<std::string, std::pair<std::uintmax_t, std::int64_t>> snapshot(const std::filesystem::path& dir) {
    std::map<std::string, std::pair<std::uintmax_t, std::int64_t>> out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) {
        struct stat st;
        if (::lstat(e.path().c_str(), &st) != 0) continue;
        out[e.path().string()] = {static_cast<std::uintmax_t>(st.st_size),
                                  std::int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
    }
    struct stat st;
    ::lstat(dir.c_str(), &st);
    out["."] = {0, std::int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
    return out;
}

}  // namespace brimo::test
