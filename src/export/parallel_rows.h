// Event rows formatted on worker threads and written in file order.
//
// The events of a file are cut into batches of a few events. Workers format batches into memory,
// each with the "Bad channel" lines of its events held beside the text; a batch is written to the
// file, and its lines to standard output, once every batch before it has been. The file's bytes and
// the lines, in their order among themselves, are those of writing the events one after the other on
// one thread.
//
// Memory stays bounded: at most `window` batches are formatted ahead of the one being written, and a
// batch whose text outgrows its buffer (a huge event) waits for its turn and then writes on directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "acquisition/metadata.h"
#include "concurrency/pool.h"
#include "error/errors.h"
#include "error/result.h"
#include "export/csv.h"
#include "export/layout.h"
#include "parsing/events.h"

namespace brimo {

// One event as the row writer takes it: the record's common fields, and the lanwe per-window timing
// (nullptr for the other records).
struct EventRows {
    const EventBase* event;
    const std::vector<std::vector<std::uint32_t>>* timing;
};

class OrderedRows;

// The text and the "Bad channel" lines of the batch of events one worker is formatting. It offers
// write_event_rows the same reserve/commit interface as the CsvWriter.
class RowBatch {
public:
    RowBatch() = default;
    RowBatch(const RowBatch&) = delete;
    RowBatch& operator=(const RowBatch&) = delete;

    char* reserve(std::size_t n) {
        if (static_cast<std::size_t>(end_ - pos_) < n) make_room(n);
        return pos_;
    }
    void commit(char* end) { pos_ = end; }
    // The CsvWriter's: rows are laid out alike whichever of the two receives them.
    std::size_t capacity() const { return CsvWriter::kDefaultCapacity; }
    // The export has stopped (a write failed, or another batch threw): formatting may end early.
    bool failed() const;
    ExportError error() const;

    void bad_channel(std::uint64_t channel, std::uint64_t n);

private:
    friend class OrderedRows;

    // One event's end in the text and in the held lines.
    struct Mark {
        std::size_t text_end;
        std::size_t lines_end;
    };

    void start(OrderedRows* owner, std::size_t index);
    void end_event() { marks_.push_back({used(), lines_.size()}); }
    std::size_t used() const { return static_cast<std::size_t>(pos_ - buf_.get()); }
    void make_room(std::size_t n);
    void grow(std::size_t at_least);

    OrderedRows* owner_ = nullptr;
    std::size_t index_ = 0;  // batch number within the file
    std::unique_ptr<char[]> buf_;
    std::size_t cap_ = 0;
    char* pos_ = nullptr;
    char* end_ = nullptr;
    std::string lines_;
    std::vector<Mark> marks_;
    // This batch's turn has come: everything before it is written, so what it formats from now on
    // goes out as soon as its buffer fills, and its "Bad channel" lines go out at once.
    bool in_turn_ = false;
    bool done_ = false;  // formatted, waiting for its turn; guarded by OrderedRows::mutex_
};

// How events are grouped and how much text may wait in memory. Tests shrink both to reach every path
// with small events.
struct RowBatching {
    // A batch is cut once its events hold this many values (two pellorv3 events of 4 channels and 512
    // samples): large enough that handing batches around costs little, small enough that the
    // last batch of a file keeps the other workers waiting only briefly.
    std::uint64_t batch_values = 64 * 1024;
    std::size_t batch_max_events = 64;
    // Text held by all batches in flight together stays near this bound.
    std::size_t held_text = std::size_t(64) << 20;
};

// Writes the rows of `events` (positions 0, 1, ... of the file) through `out`, formatting on the
// workers of `pool`. Returns ExportError::Csv after the first write failure; the file then holds the
// rows of the events before the failing one and what of it was flushed, like a sequential run.
// An exception thrown while formatting (out of memory) stops the export and is rethrown here.
Result<void, ExportError> write_events_parallel(CsvWriter& out, std::uint64_t samples,
                                                std::span<const EventRows> events, const ChannelList& channels,
                                                concurrency::WorkerPool& pool, const RowBatching& batching = {});

// ExportCsv with the rows formatted on the workers of `pool`: the same file and "Bad channel" lines as
// export_csv (export/layout.h).
template <class Event>
Result<void, ExportError> export_csv_parallel(std::span<const Event> events, CsvWriter& out, const Params& params,
                                              concurrency::WorkerPool& pool, const RowBatching& batching = {}) {
    const ChannelList chans = channels(events);
    BRIMO_TRY(write_header(out, events, chans));
    std::vector<EventRows> rows;
    rows.reserve(events.size());
    for (const Event& e : events) {
        if constexpr (Event::has_timing) {
            rows.push_back({&e, &e.timing});
        } else {
            rows.push_back({&e, nullptr});
        }
    }
    return write_events_parallel(out, params.samples, rows, chans, pool, batching);
}

}  // namespace brimo
