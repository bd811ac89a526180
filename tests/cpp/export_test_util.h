// Helpers shared by the CSV export tests: temporary directories, reading files back, and capturing
// what is written to file descriptor 1.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
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
