#include "export/parallel_rows.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "concurrency/first_exception.h"

namespace brimo {

class OrderedRows {
public:
    OrderedRows(CsvWriter& out, std::uint64_t samples, std::span<const EventRows> events,
                const ChannelList& channels, std::size_t workers, const RowBatching& batching)
        : out_(out), samples_(samples), events_(events), channels_(channels) {
        // Batches: consecutive events, cut by the number of values they hold (at most four cells per
        // sample).
        std::uint64_t weight = 0;
        std::size_t first = 0;
        for (std::size_t i = 0; i < events.size(); ++i) {
            for (const auto& d : events[i].event->data) weight += 4 * d.size();
            weight += 16;
            if (weight >= batching.batch_values || i + 1 - first >= batching.batch_max_events ||
                i + 1 == events.size()) {
                starts_.push_back(first);
                first = i + 1;
                weight = 0;
            }
        }
        starts_.push_back(events.size());
        window_ = std::clamp<std::size_t>(2 * workers, 4, 32);
        buffer_limit_ = std::max<std::size_t>(batching.held_text / window_, 1);
        slots_ = std::vector<RowBatch>(window_);
    }

    std::size_t batches() const { return starts_.size() - 1; }

    void run_batch(std::size_t i) noexcept {
        // Out of memory while formatting stops the export; the exception is rethrown by result().
        if (!thrown_.run([&] { format_batch(i); })) halt();
    }

    Result<void, ExportError> result() {
        thrown_.rethrow_if_any();
        if (stopped() || out_.failed()) return err(out_.error());
        return {};
    }

    bool stopped() const { return stop_.load(std::memory_order_relaxed) || out_.failed(); }
    ExportError error() const { return out_.error(); }
    std::size_t buffer_limit() const { return buffer_limit_; }

    // The batch's buffer is full: wait until every batch before it is written, then write what it
    // holds. From then on the batch keeps the turn until it is finished.
    void overflow(RowBatch& b) {
        if (!b.in_turn_) {
            std::unique_lock lock(mutex_);
            cv_.wait(lock, [&] { return (next_ == b.index_ && !writing_) || stopped(); });
            if (stopped()) {
                stop_all();
                b.pos_ = b.buf_.get();  // nothing more is written; the batch ends at its next row
                return;
            }
            writing_ = true;
            b.in_turn_ = true;
        }
        emit(b);
    }

private:
    // Formats batch i once it is within the window of batches in flight, and writes it in its turn.
    void format_batch(std::size_t i) {
        {
            std::unique_lock lock(mutex_);
            cv_.wait(lock, [&] { return i < next_ + window_ || stopped(); });
            if (stopped()) return stop_all();
        }
        RowBatch& b = slots_[i % window_];
        b.start(this, i);
        for (std::size_t e = starts_[i]; e < starts_[i + 1]; ++e) {
            if (stopped()) return halt();
            const EventRows& ev = events_[e];
            if (!write_event_rows(b, samples_, *ev.event, ev.timing, channels_, e)) {
                halt();
                return;
            }
            b.end_event();
        }
        finish(b);
    }

    // Ends the export for every thread. A write failure can first show in the writer itself (its
    // background thread), so whoever notices it wakes the threads that wait for a turn.
    void halt() {
        std::lock_guard lock(mutex_);
        stop_all();
    }
    void stop_all() {  // with mutex_ held
        stop_ = true;
        cv_.notify_all();
    }

    // Writes the batch's held lines and text, event by event; the first failed write ends the export.
    // Called by the one thread holding the turn (`writing_`), without the mutex.
    void emit(RowBatch& b) {
        std::size_t text = 0, lines = 0;
        for (const RowBatch::Mark& m : b.marks_) {
            if (stopped()) break;
            if (m.lines_end > lines) (void)write_all(1, b.lines_.data() + lines, m.lines_end - lines);
            out_.append(b.buf_.get() + text, m.text_end - text);
            text = m.text_end;
            lines = m.lines_end;
        }
        // The event being formatted when the buffer filled up: its lines and its rows so far.
        if (!stopped()) {
            if (b.lines_.size() > lines) (void)write_all(1, b.lines_.data() + lines, b.lines_.size() - lines);
            out_.append(b.buf_.get() + text, b.used() - text);
        }
        if (out_.failed()) halt();
        b.marks_.clear();
        b.lines_.clear();
        b.pos_ = b.buf_.get();
    }

    void finish(RowBatch& b) {
        std::unique_lock lock(mutex_);
        if (b.in_turn_) {
            lock.unlock();
            emit(b);
            lock.lock();
            b.in_turn_ = false;
            advance();
        } else {
            b.done_ = true;
        }
        // Write the finished batches whose turn has come, unless another thread is at it.
        while (!writing_ && !stopped() && next_ < batches()) {
            RowBatch& c = slots_[next_ % window_];
            if (!c.done_ || c.index_ != next_) break;
            writing_ = true;
            lock.unlock();
            emit(c);
            lock.lock();
            c.done_ = false;
            advance();
        }
        if (stopped()) stop_all();
    }

    void advance() {
        writing_ = false;
        ++next_;
        cv_.notify_all();
    }

    CsvWriter& out_;
    const std::uint64_t samples_;
    const std::span<const EventRows> events_;
    const ChannelList& channels_;
    std::vector<std::size_t> starts_;  // batch i holds events starts_[i] to starts_[i + 1]
    std::size_t window_ = 0;
    std::size_t buffer_limit_ = 0;
    std::vector<RowBatch> slots_;  // batch i uses slot i % window_

    std::mutex mutex_;
    std::condition_variable cv_;
    std::size_t next_ = 0;   // the batch to be written next
    bool writing_ = false;   // a thread is writing batch next_
    std::atomic<bool> stop_ = false;
    concurrency::FirstException thrown_;
};

void RowBatch::start(OrderedRows* owner, std::size_t index) {
    owner_ = owner;
    index_ = index;
    if (!buf_) grow(std::size_t(1) << 18);
    pos_ = buf_.get();
    end_ = buf_.get() + std::min(cap_, owner_->buffer_limit());
    lines_.clear();
    marks_.clear();
    in_turn_ = false;
}

void RowBatch::grow(std::size_t at_least) {
    const std::size_t size = buf_ ? used() : 0;
    const std::size_t cap = std::max(at_least, 2 * cap_);
    std::unique_ptr<char[]> bigger(new char[cap]);
    if (size > 0) std::memcpy(bigger.get(), buf_.get(), size);
    buf_ = std::move(bigger);
    cap_ = cap;
    pos_ = buf_.get() + size;
    end_ = buf_.get() + cap_;
}

// Called when the reserved room runs out: `end_` stops at the buffer limit, so that crossing it
// always comes here.
void RowBatch::make_room(std::size_t n) {
    const std::size_t limit = owner_->buffer_limit();
    if (used() + n > limit) owner_->overflow(*this);
    if (cap_ - used() < n) grow(used() + n);
    end_ = buf_.get() + std::min(cap_, std::max(limit, used() + n));
}

bool RowBatch::failed() const { return owner_->stopped(); }

ExportError RowBatch::error() const { return owner_->error(); }

void RowBatch::bad_channel(std::uint64_t channel, std::uint64_t n) {
    if (in_turn_) {
        write_bad_channel_line(channel, n);
    } else {
        lines_ += bad_channel_line(channel, n);
    }
}

Result<void, ExportError> write_events_parallel(CsvWriter& out, std::uint64_t samples,
                                                std::span<const EventRows> events, const ChannelList& channels,
                                                concurrency::WorkerPool& pool, const RowBatching& batching) {
    if (events.empty()) return {};
    OrderedRows rows(out, samples, events, channels, pool.size(), batching);
    pool.parallel_for(rows.batches(), 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) rows.run_batch(i);
    });
    return rows.result();
}

}  // namespace brimo
