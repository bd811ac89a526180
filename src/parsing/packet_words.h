// Helpers shared by the parsers that read their 16-bit words straight out of the packet bytes:
// word loads of either byte order, the sample conversion loops, cyclic window labels, and size
// arithmetic that reports overflow instead of wrapping.
#pragma once

#include <bit>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iterator>
#include <optional>
#include <type_traits>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "acquisition/metadata.h"
#include "error/errors.h"
#include "error/result.h"
#include "parsing/util.h"

namespace brimo::packet {

inline std::uint16_t load_le16(const std::uint8_t* p) {
    std::uint16_t w;
    std::memcpy(&w, p, 2);
    if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap16(w);
    return w;
}

inline std::uint16_t load_be16(const std::uint8_t* p) {
    std::uint16_t w;
    std::memcpy(&w, p, 2);
    if constexpr (std::endian::native == std::endian::little) w = __builtin_bswap16(w);
    return w;
}

// Index of the first 16-bit word at or after word `from`, below word `n`, whose two bytes equal
// bytes[0], bytes[1] of `pattern`; n when there is none. Stop-word scans over whole packets use it,
// eight words per step where SSE2 is available.
inline std::uint64_t find_word(const std::uint8_t* p, std::uint64_t from, std::uint64_t n,
                               const std::uint8_t (&pattern)[2]) {
    std::uint64_t i = from;
#if defined(__SSE2__)
    std::uint16_t raw;
    std::memcpy(&raw, pattern, 2);
    const __m128i needle = _mm_set1_epi16(static_cast<short>(raw));
    for (; i + 8 <= n; i += 8) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2 * i));
        // Two mask bits per matching word; the lowest set bit marks the first match.
        const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi16(v, needle)));
        if (mask != 0) return i + static_cast<unsigned>(std::countr_zero(mask)) / 2;
    }
#endif
    for (; i < n; ++i)
        if (p[2 * i] == pattern[0] && p[2 * i + 1] == pattern[1]) return i;
    return n;
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

// Grows `out` by n entries and returns a pointer to the first new one; callers write all n.
template <class T>
inline T* grow(std::vector<T>& out, std::size_t n) {
    const std::size_t at = out.size();
    out.resize(at + n);
    return out.data() + at;
}

// Appends n samples stored as big-endian words at p, each masked and converted exactly to float.
// One straight pass without branches, which the compiler vectorizes.
inline void append_be_samples(std::vector<float>& out, const std::uint8_t* p, std::size_t n,
                              std::uint16_t mask) {
    append_generated(out, n, [p, mask](std::size_t k) { return static_cast<float>(load_be16(p + 2 * k) & mask); });
}

// Appends n samples stored as the one's complement of their value in little-endian words at p.
inline void append_inverted_le_samples(std::vector<float>& out, const std::uint8_t* p, std::size_t n,
                                       std::uint16_t mask) {
    append_generated(out, n, [p, mask](std::size_t k) {
        return static_cast<float>(static_cast<std::uint16_t>(~load_le16(p + 2 * k)) & mask);
    });
}

// Appends the S time values r*S + n (n = 0 .. S-1) of one window at relative window r, each in
// 32-bit arithmetic truncated to 16 bits.
inline void append_window_times(std::vector<std::uint16_t>& out, std::uint16_t rel, std::uint64_t samples) {
    std::uint16_t v = static_cast<std::uint16_t>(static_cast<std::uint32_t>(rel) * static_cast<std::uint32_t>(samples));
    std::uint16_t* o = grow(out, samples);
    for (std::uint64_t n = 0; n < samples; ++n) o[n] = v++;
}

// The time axes of set_time_axis, built with the vectorizable window fill above: for each channel
// c below params "channels" with window labels, the first label is the reference and every label
// adds the S values of its relative window. MissingData when c has no entry in the event; a channel
// needing more than 2^30 time values (only reachable with absurd parameters) is refused.
inline Result<void, ParsingError> fill_time_axes(std::vector<std::vector<std::uint16_t>>& time,
                                                 const std::vector<std::vector<std::uint16_t>>& window_labels,
                                                 const Params& params) {
    constexpr std::uint64_t kMaxTimeValues = std::uint64_t(1) << 30;
    const std::uint64_t S = params.samples;
    for (std::uint64_t c = 0; c < params.channels; ++c) {
        if (c >= window_labels.size()) return err(ParsingError::MissingData);
        const auto& labels = window_labels[c];
        if (labels.empty()) continue;
        if (c >= time.size()) return err(ParsingError::MissingData);
        if (S != 0 && labels.size() > kMaxTimeValues / S) return err(ParsingError::InvalidParameters);
        auto& t = time[c];
        t.reserve(t.size() + labels.size() * S);
        const std::uint16_t first = labels[0];
        for (const std::uint16_t w : labels) append_window_times(t, relative_window(w, first, params.windows), S);
    }
    return {};
}

// Window labels of a channel block that holds every window of the sample buffer, starting at the
// window `first` named in its header: i mod windows for each 16-bit i from first up to
// (first + windows) mod 65536, exclusive. Nothing when that end is not above first (in particular
// when windows is a multiple of 65536, so the modulo never divides by zero).
inline void append_cyclic_labels(std::vector<std::uint16_t>& out, std::uint16_t first, std::uint64_t windows) {
    const std::uint16_t w16 = static_cast<std::uint16_t>(windows);
    const std::uint16_t end = static_cast<std::uint16_t>(first + w16);
    if (end <= first) return;
    std::uint16_t* o = grow(out, std::size_t(end - first));
    std::uint16_t label = static_cast<std::uint16_t>(first % w16);
    for (std::uint32_t i = first; i < end; ++i) {
        *o++ = label;
        if (++label == w16) label = 0;
    }
}

// Upper bound on the cyclic labels of one event when its windows hold no samples ("samples" 0).
// With samples every label stands for at least one sample word of the packet, so the count is
// bounded by the packet size; without samples each block of a word or two could add up to 65535
// labels, and a corrupt parameter set would turn a small packet into gigabytes of labels.
inline constexpr std::uint64_t kMaxSampleFreeLabels = std::uint64_t(1) << 22;

// A size derived from parameters: nullopt when its true value exceeds 64 bits. Such a size is
// larger than any packet, which is how the length checks treat it.
using Size = std::optional<std::uint64_t>;

inline Size add(Size a, Size b) {
    std::uint64_t r;
    if (!a || !b || __builtin_add_overflow(*a, *b, &r)) return std::nullopt;
    return r;
}

// Zero times any size, even one beyond 64 bits, is zero.
inline Size mul(Size a, Size b) {
    if ((a && *a == 0) || (b && *b == 0)) return std::uint64_t(0);
    std::uint64_t r;
    if (!a || !b || __builtin_mul_overflow(*a, *b, &r)) return std::nullopt;
    return r;
}

}  // namespace brimo::packet
