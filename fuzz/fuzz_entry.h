// Fuzzing support: decoding a parameter set from the first bytes of a fuzz input, and the shape every
// successfully parsed event must have. Used by the fuzz targets in this directory and by the C++
// tests; not part of the library.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "parsing/models.h"
#include "parsing/util.h"

namespace brimo {

// Reads a fuzz input front to back; bytes past the end read as 0.
struct FuzzReader {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t pos = 0;
    std::uint8_t u8() { return pos < size ? data[pos++] : std::uint8_t(0); }
    std::uint16_t u16() {  // little-endian
        const std::uint16_t lo = u8();
        return static_cast<std::uint16_t>(lo | (u8() << 8));
    }
    // A count byte, then that many 16-bit values.
    template <class T>
    std::vector<T> values() {
        std::vector<T> v(u8());
        for (auto& x : v) x = static_cast<T>(u16());
        return v;
    }
};

// Parameter blob at the start of a fuzz input:
//   u16 channels, u16 windows, u16 samples (little-endian). Values below 0xFF00 are taken modulo a
//     small limit (channels <= 128, windows <= 1024, samples <= 1024); 0xFF00 and up select an
//     extreme value (0, 2^64-1, 2^32, kMaxChannels + 1, ...) so absurd metadata is exercised too.
//   u8 key count (modulo 9), then per key 4 bytes: u8 key name index, u8 value kind, u16 value.
//     Kinds: non-negative integer, huge integer (2^64-1-v), negative integer, float, string "v",
//     boolean, tagged integer, integer v << 16.
// The rest of the input is the packet. Missing bytes read as 0.
struct FuzzInput {
    Params params;
    Bytes packet;
};
FuzzInput decode_fuzz_input(Model model, const std::uint8_t* data, std::size_t size);

// Parses the packet of a fuzz input with the parser of `model` and checks the result. Returns an
// empty string when the result is an error value or an event whose invariants hold, otherwise a
// description of the violated invariant.
std::string fuzz_parse(Model model, const std::uint8_t* data, std::size_t size);

// Inputs of the parser target: byte 0 picks the model (modulo the number of models, in the order
// of the Model enumeration), the rest is an input of fuzz_parse for that model.
Model fuzz_model(std::uint8_t selector);

// The same for an already decoded packet and params.
std::string parse_and_check(Model model, Bytes packet, const Params& params);

// The invariants of a parsed event, for any record:
// - data, window_labels and time have the same number of entries: params "channels" (96 for
//   vombel96, whose records always have 96);
// - a channel without windows has no samples and no time values; a channel with windows has the
//   same whole number of samples for each of them;
// - samples are whole numbers from 0 to 65535 (masked and shifted 16-bit words), and no more samples
//   and window labels than the packet has words;
// - where the time axis comes from the labels (every record but the lanwev1 one), each channel
//   below params "channels" has "samples" time values per window, r * S + n modulo 65536 with r the
//   window's position relative to the channel's first label;
// - with params "samples" 0 a window holds no sample word, so the labels are bounded by the parsers'
//   own limit on sample-free labels instead of the packet size;
// - per-record extras: lanwev1 timing has one value per window, vombel96 ecc_errors one entry per
//   channel, pellorv3s no more tail words than the packet has words.
template <class Event>
std::string event_invariants(const Event& ev, const Params& params, std::size_t packet_len) {
    constexpr bool label_time = !Event::has_timing;
    const std::uint64_t outer = Event::fixed_channels != 0 ? Event::fixed_channels : params.channels;
    const std::uint64_t words = packet_len / 2;
    if (ev.data.size() != outer || ev.window_labels.size() != outer || ev.time.size() != outer)
        return "per-channel fields do not have one entry per channel";
    std::uint64_t total_samples = 0, total_labels = 0;
    for (std::size_t c = 0; c < outer; ++c) {
        const auto& d = ev.data[c];
        const auto& w = ev.window_labels[c];
        const auto& t = ev.time[c];
        total_samples += d.size();
        total_labels += w.size();
        if (w.empty()) {
            if (!d.empty() || !t.empty()) return "channel " + std::to_string(c) + " has samples but no windows";
            continue;
        }
        if (d.size() % w.size() != 0) return "channel " + std::to_string(c) + " windows differ in sample count";
        for (float v : d)
            if (!(v >= 0.0f && v <= 65535.0f) || std::floor(v) != v)
                return "channel " + std::to_string(c) + " has a sample that is not a 16-bit whole number";
        if constexpr (label_time) {
            if (c >= params.channels) {
                if (!t.empty()) return "channel " + std::to_string(c) + " beyond params has a time axis";
                continue;
            }
            const std::uint64_t S = params.samples;
            if (t.size() != w.size() * S) return "channel " + std::to_string(c) + " time axis length";
            for (std::size_t k = 0; k < w.size(); ++k) {
                const std::uint16_t rel = relative_window(w[k], w[0], params.windows);
                const auto base = static_cast<std::uint16_t>(std::uint32_t(rel) * static_cast<std::uint32_t>(S));
                for (std::uint64_t n = 0; n < S; ++n)
                    if (t[k * S + n] != static_cast<std::uint16_t>(base + static_cast<std::uint16_t>(n)))
                        return "channel " + std::to_string(c) + " time value";
            }
        }
    }
    if (total_samples > words) return "more samples than words in the packet";
    const std::uint64_t label_bound = params.samples == 0 ? std::max(words, kMaxSampleFreeLabels) : words;
    if (total_labels > label_bound) return "more windows than words in the packet";
    if constexpr (Event::has_timing) {
        if (ev.timing.size() != outer) return "timing does not have one entry per channel";
        for (std::size_t c = 0; c < outer; ++c)
            if (ev.timing[c].size() != ev.window_labels[c].size()) return "timing values per window";
    }
    if constexpr (Event::has_ecc) {
        if (ev.ecc_errors.size() != outer) return "ecc_errors does not have one entry per channel";
    }
    if constexpr (Event::has_window_tail_words) {
        if (ev.window_tail_words.size() > words) return "more window tail words than words in the packet";
    }
    return {};
}

}  // namespace brimo
