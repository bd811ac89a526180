// The CSV writer of the export: "," between fields, "\n" after every record (the last one included),
// ASCII, a field quoted only when it holds ',', '"', '\r' or '\n' (quotes inside doubled).
//
// Output goes through one large buffer straight to a file descriptor with write(2); no stdio or
// iostream sits in between. A write failure is sticky: the writer keeps what reached the file, drops
// everything after it, and reports ExportError::Csv from then on.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "error/errors.h"
#include "error/result.h"

namespace brimo {

class CsvWriter {
public:
    static constexpr std::size_t kDefaultCapacity = std::size_t(1) << 20;

    // Takes ownership of `fd` (closed by finish() or by the destructor).
    explicit CsvWriter(int fd, std::size_t capacity = kDefaultCapacity);
    CsvWriter(const CsvWriter&) = delete;
    CsvWriter& operator=(const CsvWriter&) = delete;
    // Closes the descriptor without flushing when finish() was not called (an abandoned file keeps
    // only what was flushed so far).
    ~CsvWriter();

    // One record of plain text fields, quoted where needed.
    void write_record(std::span<const std::string_view> fields);

    // Raw access for the row writer, which formats numbers in place: reserve() returns room for at
    // least `n` bytes (n <= capacity), flushing first when needed; commit() marks the bytes up to
    // `end` as written. The caller guarantees that each record it builds has the field count of
    // the file and ends with '\n'.
    char* reserve(std::size_t n) {
        if (static_cast<std::size_t>(cap_end_ - pos_) < n) flush_buffer();
        return pos_;
    }
    void commit(char* end) { pos_ = end; }
    std::size_t capacity() const { return capacity_; }

    // A write has failed; the error stays until the end.
    bool failed() const { return failed_; }
    // ExportError::Csv carrying the description of the first failure.
    ExportError error() const;

    // Writes out the buffer and closes the file. Reports a failure of any write so far, of this
    // last flush, and of close(), as ExportError::Csv.
    Result<void, ExportError> finish();

private:
    void flush_buffer();
    void fail(int err);

    int fd_;
    std::size_t capacity_;
    std::unique_ptr<char[]> buf_;
    char* pos_;
    char* cap_end_;
    bool failed_ = false;
    std::string why_;
};

// Writes all of `text` to file descriptor `fd` with write(2), retrying partial writes and EINTR.
// Returns 0 or the errno of the failure.
int write_all(int fd, const char* text, std::size_t size);

}  // namespace brimo
