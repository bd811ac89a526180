// The CSV writer of the export: "," between fields, "\n" after every record (the last one included),
// ASCII, a field quoted only when it holds ',', '"', '\r' or '\n' (quotes inside doubled).
//
// Output goes through large buffers straight to a file descriptor with write(2); no stdio or
// iostream sits in between. Two buffers take turns: once the first one is full, a background thread
// writes each full buffer while the next one is being filled, so formatting and file-system time
// overlap. The bytes and their order are those of a single buffer written in sequence. A write
// failure is sticky: the file keeps what reached it, everything after is dropped, and the writer
// reports ExportError::Csv from then on.
//
// A writer given a Cancellation asks it at every buffer flush and counts as failed once it is
// cancelled, so that whatever is formatting into it stops at its next row.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>

#include "error/errors.h"
#include "error/result.h"
#include "export/cancel.h"
#include "io/unique_fd.h"

namespace brimo {

class CsvWriter {
public:
    static constexpr std::size_t kDefaultCapacity = std::size_t(1) << 20;

    // Takes ownership of `fd` (closed by finish() or by the destructor).
    explicit CsvWriter(UniqueFd fd, std::size_t capacity = kDefaultCapacity);
    CsvWriter(const CsvWriter&) = delete;
    CsvWriter& operator=(const CsvWriter&) = delete;
    // Closes the descriptor without flushing the buffer being filled when finish() was not called
    // (an abandoned file keeps only what was flushed so far).
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
    // Bytes formatted elsewhere (whole records, or the first part of a record whose rest follows).
    void append(const char* data, std::size_t size) {
        while (size > 0) {
            const std::size_t n = std::min(size, capacity_);
            char* p = reserve(n);
            std::memcpy(p, data, n);
            commit(p + n);
            data += n;
            size -= n;
        }
    }
    std::size_t capacity() const { return capacity_; }

    // A write has failed, or the export was cancelled; either stays until the end.
    bool failed() const {
        return failed_.load(std::memory_order_relaxed) || (cancel_ != nullptr && cancel_->cancelled());
    }
    // The export's cancellation, asked at every flush (null: none).
    void set_cancellation(Cancellation* cancel) { cancel_ = cancel; }
    // ExportError::Csv carrying the description of the first failure.
    ExportError error() const;

    // Writes out the buffer and closes the file. Reports a failure of any write so far, of this
    // last flush, and of close(), as ExportError::Csv.
    Result<void, ExportError> finish();

private:
    // Hands the filled buffer to the background writer; `last` writes it in place when no writer was
    // needed so far (a file smaller than the buffer starts no thread).
    void flush_buffer(bool last = false);
    void fail(int err);
    void writer_loop();
    void stop_writer();

    UniqueFd fd_;
    std::size_t capacity_;
    std::unique_ptr<char[]> buf_;    // being filled
    std::unique_ptr<char[]> spare_;  // written by the background thread, or free
    char* pos_;
    char* cap_end_;
    std::atomic<bool> failed_ = false;
    Cancellation* cancel_ = nullptr;

    // Hand-over to the background writer: `pending_` is the full buffer it is to write (or is
    // writing); it goes back to nullptr when that buffer is free again.
    std::thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    const char* pending_ = nullptr;
    std::size_t pending_size_ = 0;
    bool stop_ = false;
    bool synchronous_ = false;  // the background thread could not be started
    std::string why_;  // guarded by mutex_
};

// Writes all of `text` to file descriptor `fd` with write(2), retrying partial writes and EINTR.
// The error is the errno of the failure.
Result<void, int> write_all(int fd, const char* text, std::size_t size);

}  // namespace brimo
