// Layout of one exported CSV file: the channel list, the header, and the block of rows of each event.
//
// Columns: "acq_num" (always 0), "evt_num" (the event's position in the file), then per channel of
// the file's channel list the group windnum_ch<c>, data_ch<c>, time_ch<c> (and timing_ch<c> for
// lanwe boards). An event has one row per sample position of its merged window sequence; channels
// that read different windows are aligned by window number.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "acquisition/metadata.h"
#include "error/errors.h"
#include "error/result.h"
#include "export/csv.h"
#include "parsing/events.h"

namespace brimo {

using ChannelList = std::vector<std::uint64_t>;

// Events whose merged windows times "samples" give more rows than this, and more rows than the event
// has samples, are not written (see write_event_rows).
inline constexpr std::uint64_t kMaxEventRows = std::uint64_t(1) << 24;
// The window merge costs up to (channels with windows) x (windows of all channels) steps. Real events
// stay below a few million; an event beyond this bound comes from a corrupt file and is not written
// rather than stalling the export for minutes.
inline constexpr std::uint64_t kMaxMergeWork = std::uint64_t(1) << 28;

// One sequence of window numbers, the row order of an event, from the event's per-channel window
// numbers. Each channel's order is kept; a channel whose numbers wrap around the end of the board's
// window ring (510, 511, 0, 1) puts its numbers before the ones they wrapped to.
std::vector<std::uint16_t> merge_window_labels(const std::vector<std::vector<std::uint16_t>>& labels);

// The ascending channel numbers for which at least one of `events` has samples.
ChannelList channels_of(std::span<const EventBase* const> events);

template <class Event>
ChannelList channels(std::span<const Event> events) {
    std::vector<const EventBase*> bases;
    bases.reserve(events.size());
    for (const Event& e : events) bases.push_back(&e);
    return channels_of(bases);
}

// The header record. `timing` adds the timing_ch column to every channel group.
Result<void, ExportError> write_header_record(CsvWriter& out, const ChannelList& channels, bool timing);

template <class Event>
Result<void, ExportError> write_header(CsvWriter& out, std::span<const Event>, const ChannelList& channels) {
    return write_header_record(out, channels, Event::has_timing);
}

// "Bad channel <c> at Event <n>\n", and that line written straight to standard output (file
// descriptor 1, not a stdio buffer: the line appears when it is written, whatever the embedding
// interpreter does with its own stdout object).
std::string bad_channel_line(std::uint64_t channel, std::uint64_t n);
void write_bad_channel_line(std::uint64_t channel, std::uint64_t n);

class RowBatch;

// The rows of one event at position `n` of its file, with `samples` samples per window. `timing` is
// the lanwe per-window timing (nullptr for other records; the file then has three columns per channel).
//
// A channel whose samples cannot be placed in the event's rows gets the line
// "Bad channel <c> at Event <n>\n" on standard output (file descriptor 1) and empty cells; the export
// goes on. Besides a channel that would run past the last row, this covers channels whose record
// fields do not fit together: samples without window numbers, fewer window numbers, times or timing
// values than the samples need (a field with exactly one value is repeated over the channel's rows).
//
// `out` is the file's CsvWriter, or a RowBatch (export/parallel_rows.h) that holds the text and the
// "Bad channel" lines of events formatted ahead of their turn on a worker thread.
template <class Out>
Result<void, ExportError> write_event_rows(Out& out, std::uint64_t samples, const EventBase& event,
                                           const std::vector<std::vector<std::uint32_t>>* timing,
                                           const ChannelList& channels, std::uint64_t n);

template <class Event>
Result<void, ExportError> write_event(CsvWriter& out, const Params& params, const Event& event,
                                      const ChannelList& channels, std::uint64_t n) {
    if constexpr (Event::has_timing) {
        return write_event_rows(out, params.samples, event, &event.timing, channels, n);
    } else {
        return write_event_rows(out, params.samples, event, nullptr, channels, n);
    }
}

// ExportCsv: the CSV content of one file, the header and then every event in order.
template <class Event>
Result<void, ExportError> export_csv(std::span<const Event> events, CsvWriter& out, const Params& params) {
    const ChannelList chans = channels(events);
    BRIMO_TRY(write_header(out, events, chans));
    std::uint64_t n = 0;
    for (const Event& e : events) {
        BRIMO_TRY(write_event(out, params, e, chans, n++));
    }
    return {};
}

}  // namespace brimo
