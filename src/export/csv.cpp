#include "export/csv.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace brimo {

Result<void, int> write_all(int fd, const char* text, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, text, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return err(errno);
        }
        if (n == 0) return err(EIO);
        text += n;
        size -= static_cast<std::size_t>(n);
    }
    return {};
}

CsvWriter::CsvWriter(UniqueFd fd, std::size_t capacity)
    : fd_(std::move(fd)),
      capacity_(std::max<std::size_t>(capacity, 4096)),
      buf_(new char[capacity_]),
      pos_(buf_.get()),
      cap_end_(buf_.get() + capacity_) {}

CsvWriter::~CsvWriter() {
    stop_writer();
    fd_.reset();
}

void CsvWriter::fail(int err) {
    std::lock_guard lock(mutex_);
    if (!failed_) {
        why_ = os_error_text(err);
        failed_ = true;
    }
}

void CsvWriter::writer_loop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        cv_.wait(lock, [this] { return pending_ != nullptr || stop_; });
        if (pending_ == nullptr) return;
        const char* data = pending_;
        const std::size_t size = pending_size_;
        lock.unlock();
        if (!failed()) {
            if (auto written = write_all(fd_.get(), data, size); !written) fail(written.error());
        }
        lock.lock();
        pending_ = nullptr;
        cv_.notify_all();
    }
}

void CsvWriter::stop_writer() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    cv_.notify_all();
    thread_.join();  // the thread finishes the buffer in hand first
}

void CsvWriter::flush_buffer(bool last) {
    const std::size_t size = static_cast<std::size_t>(pos_ - buf_.get());
    pos_ = buf_.get();
    if (cancel_ != nullptr) cancel_->poll();
    if (failed() || size == 0) return;
    if (!thread_.joinable() && !last && !synchronous_) {
        try {
            spare_.reset(new char[capacity_]);
            thread_ = std::thread([this] { writer_loop(); });
        } catch (const std::system_error&) {
            synchronous_ = true;  // no thread to be had: write in place, same bytes
        }
    }
    if (!thread_.joinable()) {
        if (auto written = write_all(fd_.get(), buf_.get(), size); !written) fail(written.error());
        return;
    }
    {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [this] { return pending_ == nullptr; });
        pending_ = buf_.get();
        pending_size_ = size;
    }
    cv_.notify_all();
    buf_.swap(spare_);
    pos_ = buf_.get();
    cap_end_ = buf_.get() + capacity_;
}

ExportError CsvWriter::error() const {
    std::lock_guard lock(mutex_);
    if (!failed_ && cancel_ != nullptr && cancel_->cancelled()) return ExportError::csv("export cancelled");
    return ExportError::csv(why_);
}

void CsvWriter::write_record(std::span<const std::string_view> fields) {
    bool first = true;
    for (std::string_view f : fields) {
        // Worst case every character is a doubled quote, plus two quotes and a separator.
        const std::size_t need = 2 * f.size() + 3;
        if (!first) {
            *reserve(1) = ',';
            commit(pos_ + 1);
        }
        first = false;
        const bool quote = f.find_first_of(",\"\r\n") != std::string_view::npos;
        if (need <= capacity_) {
            char* p = reserve(need);
            if (quote) *p++ = '"';
            for (char c : f) {
                if (quote && c == '"') *p++ = '"';
                *p++ = c;
            }
            if (quote) *p++ = '"';
            commit(p);
        } else {
            // Longer than the whole buffer: one character at a time.
            auto put = [this](char c) {
                *reserve(1) = c;
                commit(pos_ + 1);
            };
            if (quote) put('"');
            for (char c : f) {
                if (quote && c == '"') put('"');
                put(c);
            }
            if (quote) put('"');
        }
    }
    *reserve(1) = '\n';
    commit(pos_ + 1);
}

Result<void, ExportError> CsvWriter::finish() {
    flush_buffer(true);
    stop_writer();
    if (fd_.valid()) {
        const int rc = fd_.close();
        // The descriptor is released even when close reports an error; a deferred write error
        // (NFS, quota) surfaces here and means the file is not complete.
        if (rc != 0 && errno != EINTR) fail(errno);
    }
    if (failed()) return err(error());
    return {};
}

}  // namespace brimo
