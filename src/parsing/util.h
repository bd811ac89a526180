// Pieces shared by the parsers: the time axis derived from window labels, the sample conversion of
// the hot loops, overflow-checked arithmetic for layouts computed from parameters, and the reader of
// the channel-block layouts whose channel and window counts are inferred from the packet length.
#pragma once

#include <cstddef>
#include <compare>
#include <cstdint>
#include <iterator>
#include <optional>
#include <span>
#include <vector>

#include "acquisition/metadata.h"
#include "error/errors.h"
#include "error/result.h"
#include "parsing/events.h"

// Hot loops are built twice on x86-64 with GCC: for AVX2 and for the baseline, chosen once at load
// time by the processor's features.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_ADDRESS__)
#define BRIMO_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define BRIMO_VECTOR_CLONES
#endif

namespace brimo {

// Relative window of label w against the channel's first label, wrapping around the end of a
// sample buffer of `windows` windows; 32-bit arithmetic, low 16 bits kept.
inline std::uint16_t relative_window(std::uint16_t w, std::uint16_t first, std::uint64_t windows) {
    const std::uint32_t W = static_cast<std::uint32_t>(windows);
    const std::uint32_t r = w >= first ? std::uint32_t(w) - first : std::uint32_t(w) + W - first;
    return static_cast<std::uint16_t>(r);
}

// Writes the S time values r*S + n (n = 0..S-1) of one window to out[0..S). The values are defined in
// 32-bit arithmetic truncated to 16 bits; the low 16 bits of a 32-bit sum only depend on the low 16
// bits of its terms, so the loop runs in 16 bits and vectorizes.
inline void fill_window_time(std::uint16_t* out, std::uint16_t rel, std::uint64_t samples) {
    const auto base = static_cast<std::uint16_t>(std::uint32_t(rel) * static_cast<std::uint32_t>(samples));
    for (std::uint64_t n = 0; n < samples; ++n)
        out[n] = static_cast<std::uint16_t>(base + static_cast<std::uint16_t>(n));
}

// Appends to `out` the S time values of one window (see fill_window_time).
void append_window_time(std::vector<std::uint16_t>& out, std::uint16_t rel, std::uint64_t samples);

// Fills each channel's time axis from its window labels: channels 0..channels-1 of params, the first
// label of a channel as reference. MissingData when a channel index has no entry.
Result<void, ParsingError> set_time_axis(std::vector<std::vector<std::uint16_t>>& time,
                                         const std::vector<std::vector<std::uint16_t>>& window_labels,
                                         const Params& params);

// Sample words to floats: (w AND mask) >> shift, with shift already reduced modulo 16. No branch per
// sample, so the loop becomes vector code (built for AVX2 too where the processor has it).
void convert_samples(const std::uint16_t* src, std::size_t n, std::uint16_t mask, unsigned shift, float* dst);

// Layout sizes come from parameters that may be absurd; these give nothing on overflow instead of a
// wrapped value that could make a bogus layout look valid.
inline std::optional<std::uint64_t> checked_add(std::uint64_t a, std::uint64_t b) {
    std::uint64_t r;
    if (__builtin_add_overflow(a, b, &r)) return std::nullopt;
    return r;
}
inline std::optional<std::uint64_t> checked_mul(std::uint64_t a, std::uint64_t b) {
    std::uint64_t r;
    if (__builtin_mul_overflow(a, b, &r)) return std::nullopt;
    return r;
}

// Window blocks made of channel blocks, as written by the boards whose packets do not state their
// channel and window counts (pellorv3s, quarvelv3). A region of `window_blocks` window blocks of
// `block_words` words each; every window block starts with `chan_blocks` channel blocks of
// `chan_block_words` words: a header word (channel and window fields), then the sample words. The
// words of a window block after its channel blocks are not read here. Channel blocks are routed by
// their own channel field, so a channel collects its windows in packet order.
struct ChannelBlockLayout {
    std::uint64_t window_blocks = 0;
    std::uint64_t block_words = 0;       // > 0; window_blocks * block_words fits the region
    std::uint64_t chan_blocks = 0;       // chan_blocks * chan_block_words <= block_words
    std::uint64_t chan_block_words = 0;  // > 0
    std::uint16_t chanmask = 0;
    unsigned chan_shift = 0;  // modulo 16
    std::uint16_t windmask = 0;
    std::uint16_t datamask = 0;
    unsigned last_shift = 0;  // modulo 16
};

// Appends every channel block of `region` to the event's data and window_labels. InvalidChannel,
// before anything is appended, when a block names a channel without an entry in the event. The
// per-channel sequences are sized once from a first pass over the headers.
Result<void, ParsingError> read_channel_blocks(std::span<const std::uint16_t> region,
                                               const ChannelBlockLayout& layout, EventBase& event);

// Length tables of the boards whose packets do not state their channel and window counts. Every
// channel count J = 1 .. channels and window count i = 1 .. windows - 1 gives the packet length
//   2 * (base_words + i * (block_extra + J * channel_block_words)) bytes,
// and the candidates of one length are ordered by channel count, largest first (window count
// ascending among equal channel counts). There is no table when windows < 2 or channels is 0.
struct ChanWinds {
    std::uint64_t channels = 0;
    std::uint64_t windows = 0;
    bool operator==(const ChanWinds&) const = default;
};

struct LengthTable {
    std::uint64_t channels = 0;
    std::uint64_t windows = 0;
    std::uint64_t base_words = 0;
    std::uint64_t block_extra = 0;
    std::optional<std::uint64_t> channel_block_words;  // nothing when it does not fit 64 bits
    // Words that must fit in the packet besides the J channel blocks of one window block when a
    // length has several candidates (event header and window block extra words); nothing when
    // beyond 64 bits.
    std::optional<std::uint64_t> fit_words;
};

// The first `limit` candidates of the entry for `len` bytes, in entry order. Computed for this one
// length rather than by tabulating every length: only channel counts whose blocks fit in the packet
// can match, so the work is bounded by the packet size whatever "channels" and "windows" say.
// Lengths are exact: a length beyond 64 bits matches no packet.
std::vector<ChanWinds> length_entry(std::uint64_t len, const LengthTable& table, std::size_t limit);

// The table lookup: nothing when the length has no entry; its only candidate; otherwise the first
// candidate for which fit_words + J * channel_block_words words fit in the packet, or nothing.
std::optional<ChanWinds> select_chan_winds(std::uint64_t len, const LengthTable& table);

}  // namespace brimo
