#include "export/layout.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "export/float_format.h"
#include "export/parallel_rows.h"

namespace brimo {

// ---------------------------------------------------------------------------------------------
// Window merge.
//
// Each channel's list is consumed from the front. At every step one number u is chosen among the
// list heads, appended (unless it repeats the last appended number), and removed from the head of
// every list that starts with it. A list is "wrapped" when its last number is smaller than its first
// (the readout went round the ring), "ascending" when larger. A wrapped list's head is preferred when
// it does not occur in the first ascending list: those numbers were read before the ring wrapped to
// the numbers the ascending list starts with. Otherwise the smallest head wins, the earlier list on
// a tie. The last number of a list never changes while it is consumed, only its head does.
std::vector<std::uint16_t> merge_window_labels(const std::vector<std::vector<std::uint16_t>>& labels) {
    struct List {
        const std::uint16_t* head;
        const std::uint16_t* end;
        std::uint16_t last;
    };
    std::vector<List> lists;
    std::size_t total = 0;
    for (const auto& l : labels) {
        if (l.empty()) continue;
        lists.push_back({l.data(), l.data() + l.size(), l.back()});
        total += l.size();
    }
    std::vector<std::uint16_t> merged;
    merged.reserve(total);

    while (!lists.empty()) {
        bool any_wrapped = false;
        const List* first_ascending = nullptr;
        for (const List& l : lists) {
            if (l.last < *l.head) {
                any_wrapped = true;
            } else if (*l.head < l.last && first_ascending == nullptr) {
                first_ascending = &l;
            }
        }

        bool found = false;
        std::uint16_t u = 0;
        if (any_wrapped && first_ascending != nullptr) {
            for (const List& l : lists) {
                const std::uint16_t h = *l.head;
                if (!(l.last < h) || (found && h >= u)) continue;
                if (std::find(first_ascending->head, first_ascending->end, h) != first_ascending->end) continue;
                u = h;
                found = true;
            }
        }
        if (!found) {
            u = *lists.front().head;
            for (const List& l : lists) u = std::min(u, *l.head);
        }

        if (merged.empty() || merged.back() != u) merged.push_back(u);

        std::size_t kept = 0;
        for (List& l : lists) {
            if (*l.head == u) ++l.head;
            if (l.head != l.end) lists[kept++] = l;
        }
        lists.resize(kept);
    }
    return merged;
}

// ---------------------------------------------------------------------------------------------
// Channel list and header.

ChannelList channels_of(std::span<const EventBase* const> events) {
    std::vector<bool> used;
    for (const EventBase* e : events) {
        if (e->data.size() > used.size()) used.resize(e->data.size(), false);
        for (std::size_t c = 0; c < e->data.size(); ++c) {
            if (!e->data[c].empty()) used[c] = true;
        }
    }
    ChannelList out;
    for (std::size_t c = 0; c < used.size(); ++c) {
        if (used[c]) out.push_back(c);
    }
    return out;
}

Result<void, ExportError> write_header_record(CsvWriter& out, const ChannelList& channels, bool timing) {
    static constexpr std::string_view kGroup[] = {"windnum_ch", "data_ch", "time_ch", "timing_ch"};
    const std::size_t group = timing ? 4 : 3;
    std::vector<std::string> names;
    names.reserve(channels.size() * group);
    for (std::uint64_t c : channels) {
        const std::string num = std::to_string(c);
        for (std::size_t g = 0; g < group; ++g) names.push_back(std::string(kGroup[g]) + num);
    }
    std::vector<std::string_view> fields = {"acq_num", "evt_num"};
    fields.insert(fields.end(), names.begin(), names.end());
    out.write_record(fields);
    if (out.failed()) return err(out.error());
    return {};
}

// ---------------------------------------------------------------------------------------------
// Event rows.

std::string bad_channel_line(std::uint64_t channel, std::uint64_t n) {
    return "Bad channel " + std::to_string(channel) + " at Event " + std::to_string(n) + "\n";
}

void write_bad_channel_line(std::uint64_t channel, std::uint64_t n) {
    const std::string line = bad_channel_line(channel, n);
    // Nothing sensible can be done when standard output is closed; the export goes on.
    (void)write_all(1, line.data(), line.size());
}

namespace {

// Rows written in turn report at once; a RowBatch keeps the line until its events are written.
void report_bad_channel(CsvWriter&, std::uint64_t channel, std::uint64_t n) {
    write_bad_channel_line(channel, n);
}
void report_bad_channel(RowBatch& batch, std::uint64_t channel, std::uint64_t n) {
    batch.bad_channel(channel, n);
}

// One channel's part of an event's rows.
struct ChannelRows {
    bool filled = false;          // false: empty cells in every row of the event
    std::uint64_t start = 0;      // first row
    std::uint64_t end = 0;        // one past the last row
    const float* data = nullptr;
    const std::uint16_t* labels = nullptr;
    const std::uint16_t* time = nullptr;
    const std::uint32_t* timing = nullptr;
    bool one_label = false;       // a single value is repeated over the channel's rows
    bool one_time = false;
    bool one_timing = false;
    // Position of the current row within the channel: sample k, window w, sample s of the window.
    std::uint64_t k = 0;
    std::uint64_t w = 0;
    std::uint64_t s = 0;
};

template <class T>
const std::vector<T>* entry(const std::vector<std::vector<T>>& v, std::uint64_t c) {
    return c < v.size() ? &v[c] : nullptr;
}

// A per-sample (or per-window) field fits when it has a value for each of the `needed` positions, or
// exactly one value to repeat.
template <class T>
bool fits(const std::vector<T>* v, std::uint64_t needed) {
    return v != nullptr && (v->size() >= needed || v->size() == 1);
}

struct EventRowCount {
    std::vector<std::uint16_t> merged;  // the event's window numbers, merged over its channels
    std::uint64_t rows = 0;
};

// The event's rows: its merged window numbers times the samples per window. Nothing when the event
// is refused (it writes no rows at all): bounds that only an inconsistent record exceeds.
std::optional<EventRowCount> count_rows(std::uint64_t S, const EventBase& event) {
    EventRowCount count;
    // With no samples per window there are no rows, and no window positions to look up.
    std::uint64_t lists = 0, labels = 0;
    for (const auto& l : event.window_labels) {
        lists += !l.empty();
        labels += l.size();
    }
    if (lists * labels > kMaxMergeWork) return std::nullopt;
    if (S != 0) count.merged = merge_window_labels(event.window_labels);

    // Rows: merged windows times samples. An event from a consistent record has at most as many rows
    // as samples; absurd "samples" values must not turn a small event into an endless file.
    std::uint64_t total_samples = 0;
    for (const auto& d : event.data) total_samples += d.size();
    if (!count.merged.empty()) {
        if (S > ~std::uint64_t(0) / count.merged.size()) return std::nullopt;
        count.rows = count.merged.size() * S;
        if (count.rows > std::max(kMaxEventRows, total_samples)) return std::nullopt;
    }
    return count;
}

// Where each listed channel's samples lie among the R rows. A channel whose fields do not fit is
// reported as a bad channel and left empty.
template <class Out>
std::vector<ChannelRows> place_channels(Out& out, std::uint64_t S, const EventBase& event,
                                        const std::vector<std::vector<std::uint32_t>>* timing,
                                        const ChannelList& channels, std::uint64_t n,
                                        const std::vector<std::uint16_t>& merged, std::uint64_t R) {
    std::vector<ChannelRows> rows(channels.size());
    for (std::size_t i = 0; i < channels.size(); ++i) {
        const std::uint64_t c = channels[i];
        const auto* d = entry(event.data, c);
        if (d == nullptr || d->empty()) continue;
        const auto* l = entry(event.window_labels, c);
        const auto* t = entry(event.time, c);
        const auto* tm = timing ? entry(*timing, c) : nullptr;

        bool ok = l != nullptr && !l->empty() && S != 0;
        std::uint64_t start = 0;
        if (ok) {
            const auto it = std::find(merged.begin(), merged.end(), (*l)[0]);
            const std::uint64_t p = it == merged.end() ? 0 : static_cast<std::uint64_t>(it - merged.begin());
            start = p * S;
            const std::uint64_t windows_needed = (d->size() - 1) / S + 1;
            ok = start + d->size() <= R && fits(l, windows_needed) && fits(t, d->size()) &&
                 (timing == nullptr || fits(tm, windows_needed));
        }
        if (!ok) {
            report_bad_channel(out, c, n);
            continue;
        }
        ChannelRows& cr = rows[i];
        cr.filled = true;
        cr.start = start;
        cr.end = start + d->size();
        cr.data = d->data();
        cr.labels = l->data();
        cr.one_label = l->size() == 1;
        cr.time = t->data();
        cr.one_time = t->size() == 1;
        if (timing) {
            cr.timing = tm->data();
            cr.one_timing = tm->size() == 1;
        }
    }
    return rows;
}

// Formats the R rows: "0,<n>", then per channel its group of `group` cells (window, sample, time and,
// for records with timing, the timing value), empty outside the channel's rows.
template <class Out>
Result<void, ExportError> format_rows(Out& out, std::vector<ChannelRows>& rows, std::uint64_t S, std::uint64_t R,
                                      std::size_t group, std::uint64_t n) {
    // "0,<n>" starts every row of the event.
    char prefix[kMaxFloatChars + 2];
    char* pe = prefix;
    *pe++ = '0';
    *pe++ = ',';
    pe = format_float(pe, static_cast<float>(n));
    const std::size_t prefix_len = static_cast<std::size_t>(pe - prefix);

    constexpr std::size_t kShortPrefix = 16;
    static_assert(sizeof prefix >= kShortPrefix);
    const std::size_t group_max = group * (kMaxFloatChars + 1);
    // At least the fixed-size block of the prefix copy, also for a row without channel groups.
    const std::size_t row_max = std::max(prefix_len + 1 + rows.size() * group_max, kShortPrefix);
    // Rows wider than the buffer reserve room group by group.
    const bool by_group = row_max > out.capacity() / 2;

    for (std::uint64_t r = 0; r < R; ++r) {
        char* p = out.reserve(by_group ? std::max(prefix_len, kShortPrefix) : row_max);
        // A short prefix is copied as a fixed-size block (the bytes past it are overwritten next).
        if (prefix_len <= kShortPrefix) {
            std::memcpy(p, prefix, kShortPrefix);
        } else {
            std::memcpy(p, prefix, prefix_len);
        }
        p += prefix_len;
        for (ChannelRows& cr : rows) {
            if (by_group) {
                out.commit(p);
                p = out.reserve(group_max + 1);
            }
            if (!cr.filled || r < cr.start || r >= cr.end) {
                for (std::size_t g = 0; g < group; ++g) *p++ = ',';
                continue;
            }
            *p++ = ',';
            p = format_small_uint(p, cr.labels[cr.one_label ? 0 : cr.w]);
            *p++ = ',';
            p = format_float(p, cr.data[cr.k]);
            *p++ = ',';
            p = format_small_uint(p, cr.time[cr.one_time ? 0 : cr.k]);
            if (group == 4) {
                *p++ = ',';
                p = format_float(p, static_cast<float>(cr.timing[cr.one_timing ? 0 : cr.w]));
            }
            ++cr.k;
            if (++cr.s == S) {
                cr.s = 0;
                ++cr.w;
            }
        }
        if (by_group) {
            out.commit(p);
            p = out.reserve(1);
        }
        *p++ = '\n';
        out.commit(p);
        if (out.failed()) return err(out.error());
    }
    if (out.failed()) return err(out.error());
    return {};
}

}  // namespace

template <class Out>
Result<void, ExportError> write_event_rows(Out& out, std::uint64_t samples, const EventBase& event,
                                           const std::vector<std::vector<std::uint32_t>>* timing,
                                           const ChannelList& channels, std::uint64_t n) {
    const std::optional<EventRowCount> count = count_rows(samples, event);
    if (!count) return {};
    std::vector<ChannelRows> rows =
        place_channels(out, samples, event, timing, channels, n, count->merged, count->rows);
    return format_rows(out, rows, samples, count->rows, timing ? 4 : 3, n);
}

template Result<void, ExportError> write_event_rows<CsvWriter>(CsvWriter&, std::uint64_t, const EventBase&,
                                                               const std::vector<std::vector<std::uint32_t>>*,
                                                               const ChannelList&, std::uint64_t);
template Result<void, ExportError> write_event_rows<RowBatch>(RowBatch&, std::uint64_t, const EventBase&,
                                                              const std::vector<std::vector<std::uint32_t>>*,
                                                              const ChannelList&, std::uint64_t);

}  // namespace brimo
