// Pieces shared by the parsers: the time axis derived from window labels, the sample conversion of
// the hot loops, cyclic window labels, the stop-word search, overflow-checked arithmetic for layouts
// computed from parameters, and the reader of the channel-block layouts whose channel and window
// counts are inferred from the packet length.
#pragma once

#include <cstddef>
#include <compare>
#include <cstdint>
#include <iterator>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "acquisition/metadata.h"
#include "error/errors.h"
#include "error/result.h"
#include "parsing/events.h"
#include "parsing/framework.h"

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

// out[n] = start + n for n < count, modulo 65536. Time values are defined in 32-bit arithmetic
// truncated to 16 bits; the low 16 bits of a 32-bit sum only depend on the low 16 bits of its terms,
// so the loop runs in 16 bits and vectorizes.
inline void fill_ramp(std::uint16_t* out, std::uint16_t start, std::uint64_t count) {
    std::uint16_t v = start;
    for (std::uint64_t n = 0; n < count; ++n) out[n] = v++;
}

// Fills each channel's time axis from its window labels: channels 0..channels-1 of params, the first
// label of a channel as reference, S = "samples" values r*S + n per label at relative window r.
// MissingData when a channel index has no entry; a channel needing more than 2^30 time values (only
// reachable with absurd parameters) is refused with InvalidParameters.
Result<void, ParsingError> set_time_axis(std::vector<std::vector<std::uint16_t>>& time,
                                         const std::vector<std::vector<std::uint16_t>>& window_labels,
                                         const Params& params);

// The last step of the parsers whose time axes follow the window labels: the record with its time
// axes set.
template <class Event>
Result<Event, ParsingError> with_time_axis(Event&& event, const Params& params) {
    BRIMO_TRY(set_time_axis(event.time, event.window_labels, params));
    return std::move(event);
}

// Grows `out` by n entries and returns a pointer to the first new one; callers write all n.
template <class T>
inline T* grow(std::vector<T>& out, std::size_t n) {
    const std::size_t at = out.size();
    out.resize(at + n);
    return out.data() + at;
}

// A random-access iterator over the values f(0), f(1), ... . Handing a pair of them to
// vector::insert constructs the new elements in place from f, where resize would first zero-fill
// them and the loop would then write them a second time.
template <class F>
class Generated {
public:
    using value_type = std::remove_cvref_t<std::invoke_result_t<const F&, std::size_t>>;
    using difference_type = std::ptrdiff_t;
    using reference = value_type;
    using pointer = void;
    using iterator_category = std::random_access_iterator_tag;

    Generated(const F* f, std::size_t k) : f_(f), k_(static_cast<difference_type>(k)) {}
    value_type operator*() const { return (*f_)(static_cast<std::size_t>(k_)); }
    value_type operator[](difference_type n) const { return (*f_)(static_cast<std::size_t>(k_ + n)); }
    Generated& operator++() { ++k_; return *this; }
    Generated operator++(int) { Generated t = *this; ++k_; return t; }
    Generated& operator--() { --k_; return *this; }
    Generated operator--(int) { Generated t = *this; --k_; return t; }
    Generated& operator+=(difference_type n) { k_ += n; return *this; }
    Generated& operator-=(difference_type n) { k_ -= n; return *this; }
    friend Generated operator+(Generated a, difference_type n) { return a += n; }
    friend Generated operator+(difference_type n, Generated a) { return a += n; }
    friend Generated operator-(Generated a, difference_type n) { return a -= n; }
    friend difference_type operator-(const Generated& a, const Generated& b) { return a.k_ - b.k_; }
    friend bool operator==(const Generated& a, const Generated& b) { return a.k_ == b.k_; }
    friend auto operator<=>(const Generated& a, const Generated& b) { return a.k_ <=> b.k_; }

private:
    const F* f_;
    difference_type k_;
};

// Appends f(0) ... f(n - 1) to `out`.
template <class T, class F>
inline void append_generated(std::vector<T>& out, std::size_t n, const F& f) {
    out.insert(out.end(), Generated<F>(&f, 0), Generated<F>(&f, n));
}

// Sample words to floats: (w AND mask) >> shift, with shift already reduced modulo 16. No branch per
// sample, so the loop becomes vector code (built for AVX2 too where the processor has it). For
// words already loaded into a buffer and rows sized beforehand.
void convert_samples(const std::uint16_t* src, std::size_t n, std::uint16_t mask, unsigned shift, float* dst);

// Appends n samples read straight from the packet bytes at p, each masked and converted exactly to
// float: big-endian words holding the value, or little-endian words holding its one's complement.
// Constructed in place, without the zero-fill of a resize; the straight pass vectorizes.
inline void append_be_samples(std::vector<float>& out, const std::uint8_t* p, std::size_t n, std::uint16_t mask) {
    append_generated(out, n, [p, mask](std::size_t k) { return static_cast<float>(load_be16(p + 2 * k) & mask); });
}
inline void append_inverted_le_samples(std::vector<float>& out, const std::uint8_t* p, std::size_t n,
                                       std::uint16_t mask) {
    append_generated(out, n, [p, mask](std::size_t k) {
        return static_cast<float>(static_cast<std::uint16_t>(~load_le16(p + 2 * k)) & mask);
    });
}

// Window labels of a channel block that holds every window of the sample buffer, starting at the
// window `first` named in its header: i mod windows for each 16-bit i from first up to
// (first + windows) mod 65536, exclusive. Nothing when that end is not above first (in particular
// when windows is a multiple of 65536, so the modulo never divides by zero).
void append_cyclic_labels(std::vector<std::uint16_t>& out, std::uint16_t first, std::uint64_t windows);

// Upper bound on the cyclic labels of one event when its windows hold no samples ("samples" 0).
// With samples every label stands for at least one sample word of the packet, so the count is
// bounded by the packet size; without samples each block of a word or two could add up to 65535
// labels, and a corrupt parameter set would turn a small packet into gigabytes of labels.
inline constexpr std::uint64_t kMaxSampleFreeLabels = std::uint64_t(1) << 22;

// Index of the first 16-bit word at or after word `from`, below word `n`, whose two bytes equal
// bytes[0], bytes[1] of `pattern`; n when there is none. Stop-word scans over whole packets use it.
std::uint64_t find_word(const std::uint8_t* p, std::uint64_t from, std::uint64_t n, const std::uint8_t (&pattern)[2]);

// A size derived from parameters that may be absurd: nothing when its true value exceeds 64 bits,
// instead of a wrapped value that could make a bogus layout look valid. Such a size is larger than
// any packet, which is how the length checks treat it.
using Size = std::optional<std::uint64_t>;

inline Size checked_add(Size a, Size b) {
    std::uint64_t r;
    if (!a || !b || __builtin_add_overflow(*a, *b, &r)) return std::nullopt;
    return r;
}

// Zero times any size, even one beyond 64 bits, is zero.
inline Size checked_mul(Size a, Size b) {
    if ((a && *a == 0) || (b && *b == 0)) return std::uint64_t(0);
    std::uint64_t r;
    if (!a || !b || __builtin_mul_overflow(*a, *b, &r)) return std::nullopt;
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

    // The per-block fields; the block counts are filled in by read_window_blocks.
    static ChannelBlockLayout of(std::uint64_t chan_block_words, std::uint16_t chanmask, unsigned chan_shift,
                                 std::uint16_t windmask, std::uint16_t datamask, unsigned last_shift) {
        ChannelBlockLayout l;
        l.chan_block_words = chan_block_words;
        l.chanmask = chanmask;
        l.chan_shift = chan_shift;
        l.windmask = windmask;
        l.datamask = datamask;
        l.last_shift = last_shift;
        return l;
    }
};

// Appends every channel block of `region` to the event's data and window_labels. InvalidChannel,
// before anything is appended, when a block names a channel without an entry in the event. The
// per-channel sequences are sized once from a first pass over the headers.
Result<void, ParsingError> read_channel_blocks(std::span<const std::uint16_t> region,
                                               const ChannelBlockLayout& layout, EventBase& event);

// Reads the window blocks of `region` whose first block holds `channels_per_block` channel blocks of
// layout.chan_block_words words, followed by `extra_words` further words: fills in the block counts
// of `layout` (whose masks and chan_block_words the caller sets) and appends the channel blocks as
// read_channel_blocks does. InvalidParameters when a channel block has no words (no header to read),
// UnexpectedLength when the first window block's channel blocks do not fit
// the region, InvalidChannel when one of them names a channel without an entry in the event; both
// before anything is appended.
Result<void, ParsingError> read_window_blocks(std::span<const std::uint16_t> region, std::uint64_t channels_per_block,
                                              std::uint64_t extra_words, ChannelBlockLayout& layout, EventBase& event);

// The channel block of the boards that read out the whole sample buffer of a channel at once
// (skerd16, vombel96): "n_window_headers" header words (word 0 names the channel and the first
// window), windows x samples sample words holding the one's complement of the sample value, and
// "n_window_footers" footer words. Both boards use the same keys and defaults.
// The layout keys of the channel block, shared by the parsers that use it.
inline constexpr LayoutKeys<6> kFullBufferBlockKeys{{{
    {"n_window_headers", 1},
    {"n_window_footers", 1},
    {"data_mask", 0x03FF},
    {"chanmask", 0xFF00},
    {"chan_shift", 8},
    {"windmask", 0x00FF},
}}};

struct FullBufferBlock {
    std::uint64_t windows = 0;
    std::uint64_t samples = 0;
    std::uint64_t n_window_headers = 0;
    std::uint64_t n_window_footers = 0;
    std::uint16_t data_mask = 0;
    std::uint16_t chanmask = 0;
    unsigned chan_shift = 0;  // modulo 16
    std::uint16_t windmask = 0;
    Size samples_per_channel;  // windows * samples
    Size words;                // the whole block

    static FullBufferBlock from(const Params& params);
    // The block's channel field.
    std::uint64_t channel(std::uint16_t header) const { return (header & chanmask) >> chan_shift; }
    // Appends the block at `block` (its header word `header` already read) to the channel's data and
    // window labels; `sample_words` is samples_per_channel, or 0 where no sample is read.
    void append(const std::uint8_t* block, std::uint16_t header, std::uint64_t sample_words,
                std::vector<float>& data, std::vector<std::uint16_t>& labels) const {
        append_inverted_le_samples(data, block + 2 * n_window_headers, sample_words, data_mask);
        append_cyclic_labels(labels, static_cast<std::uint16_t>(header & windmask), windows);
    }
};

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
