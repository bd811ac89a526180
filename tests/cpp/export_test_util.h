// Helpers shared by the CSV export tests: temporary directories, reading files back, and capturing
// what is written to file descriptor 1.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace brimo_test {

class TempDir {
public:
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "brimo_export_XXXXXX").string();
        path_ = ::mkdtemp(tmpl.data());
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

inline std::string read_file(const std::filesystem::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

inline void write_file(const std::filesystem::path& p, const std::string& content) {
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f << content;
}

// The names in a directory with the content of each regular file, sorted by name.
inline std::map<std::string, std::string> read_dir(const std::filesystem::path& dir) {
    std::map<std::string, std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        out[e.path().filename().string()] = e.is_regular_file() ? read_file(e.path()) : std::string("<other>");
    return out;
}

// Redirects file descriptor 1 into a temporary file for its lifetime; text() returns what was written.
class StdoutCapture {
public:
    StdoutCapture() {
        std::fflush(stdout);
        file_ = dir_.path() / "stdout";
        const int fd = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        saved_ = ::dup(1);
        ::dup2(fd, 1);
        ::close(fd);
    }
    ~StdoutCapture() { restore(); }
    std::string text() {
        restore();
        return read_file(file_);
    }

private:
    void restore() {
        if (saved_ >= 0) {
            std::fflush(stdout);
            ::dup2(saved_, 1);
            ::close(saved_);
            saved_ = -1;
        }
    }
    TempDir dir_;
    std::filesystem::path file_;
    int saved_ = -1;
};

}  // namespace brimo_test

#include <cstdint>
#include <vector>

namespace brimo_test {

// A pellorv3 packet with the default layout: 3 header words, then windows of one header word (channel
// in bits 9-10, window number in bits 1-8) and `samples` sample words (value in bits 1-12), then one
// footer word. Words are big-endian. windows[i] = {channel, window number, first sample value};
// the samples of a window count up from that value.
struct PellorWindow {
    unsigned channel;
    unsigned window;
    unsigned first_value;
};

inline std::vector<std::uint8_t> pellorv3_packet(const std::vector<PellorWindow>& windows, unsigned samples) {
    std::vector<std::uint8_t> out;
    auto word = [&](unsigned w) {
        out.push_back(static_cast<std::uint8_t>(w >> 8));
        out.push_back(static_cast<std::uint8_t>(w));
    };
    word(0x1234);
    word(0x5678);
    word(0x9ABC);
    for (const auto& w : windows) {
        word((w.channel << 9) | (w.window << 1));
        for (unsigned s = 0; s < samples; ++s) word(((w.first_value + s) & 0xFFF) << 1);
    }
    word(0xFFFF);
    return out;
}

// Writes an acquisition: metadata.yml with the given params block, and chunk files holding the
// packets, `per_chunk` packets to a chunk.
inline void write_acquisition(const std::filesystem::path& dir, const std::string& params_yaml,
                              const std::vector<std::vector<std::uint8_t>>& packets, std::size_t per_chunk = 1000) {
    std::filesystem::create_directories(dir);
    write_file(dir / "metadata.yml", "params:\n" + params_yaml + "registers: {}\n");
    for (std::size_t first = 0, chunk = 0; first < packets.size() || chunk == 0; first += per_chunk, ++chunk) {
        std::string bin, idx;
        for (std::size_t i = first; i < std::min(packets.size(), first + per_chunk); ++i) {
            const std::uint64_t entry = (std::uint64_t(packets[i].size()) << 32) | bin.size();
            for (int b = 0; b < 8; ++b) idx.push_back(static_cast<char>(entry >> (8 * b)));
            bin.append(packets[i].begin(), packets[i].end());
        }
        write_file(dir / (std::to_string(chunk) + ".bin"), bin);
        write_file(dir / (std::to_string(chunk) + ".idx"), idx);
        if (first >= packets.size()) break;
    }
}

}  // namespace brimo_test
