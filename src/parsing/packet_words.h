// Helpers shared by the parsers that read their 16-bit words straight out of the packet bytes:
// word loads of either byte order, the sample conversion loops, cyclic window labels, and size
// arithmetic that reports overflow instead of wrapping.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

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

// Grows `out` by n entries and returns a pointer to the first new one; callers write all n.
template <class T>
inline T* grow(std::vector<T>& out, std::size_t n) {
    const std::size_t at = out.size();
    out.resize(at + n);
    return out.data() + at;
}

// Appends n samples stored as big-endian words at p, each masked and converted exactly to float.
// Written as one straight pass without branches so that the compiler vectorizes it.
inline void append_be_samples(std::vector<float>& out, const std::uint8_t* p, std::size_t n,
                              std::uint16_t mask) {
    float* o = grow(out, n);
    for (std::size_t k = 0; k < n; ++k) o[k] = static_cast<float>(load_be16(p + 2 * k) & mask);
}

// Appends n samples stored as the one's complement of their value in little-endian words at p.
inline void append_inverted_le_samples(std::vector<float>& out, const std::uint8_t* p, std::size_t n,
                                       std::uint16_t mask) {
    float* o = grow(out, n);
    for (std::size_t k = 0; k < n; ++k)
        o[k] = static_cast<float>(static_cast<std::uint16_t>(~load_le16(p + 2 * k)) & mask);
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
