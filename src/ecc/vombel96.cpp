#include "ecc/vombel96.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define BRIMO_ECC_X86 1
#endif

namespace brimo::ecc {

namespace {

constexpr std::uint8_t parity16(std::uint32_t v) { return static_cast<std::uint8_t>(std::popcount(v) & 1); }

// The code is linear over GF(2): a word's four syndrome bits and its global parity, packed as
// s0 | s1<<1 | s2<<2 | s3<<3 | parity<<4, are the XOR of the same values of its parts. A word is
// clean exactly when this value is 0.
constexpr std::uint8_t code_value(std::uint16_t word) {
    std::uint8_t v = 0;
    for (std::size_t k = 0; k < SYNDROME_MASKS.size(); ++k)
        v |= static_cast<std::uint8_t>(parity16(word & SYNDROME_MASKS[k]) << k);
    return static_cast<std::uint8_t>(v | (parity16(word) << 4));
}

// code_value of a word split by bytes: LOW_BYTE[b0] ^ HIGH_BYTE[b1].
struct ByteTables {
    std::array<std::uint8_t, 256> low{};
    std::array<std::uint8_t, 256> high{};
};

constexpr ByteTables make_byte_tables() {
    ByteTables t;
    for (std::uint32_t b = 0; b < 256; ++b) {
        t.low[b] = code_value(static_cast<std::uint16_t>(b));
        t.high[b] = code_value(static_cast<std::uint16_t>(b << 8));
    }
    return t;
}

constexpr ByteTables BYTE_TABLES = make_byte_tables();

inline std::uint8_t word_code(std::uint8_t lo, std::uint8_t hi) {
    return BYTE_TABLES.low[lo] ^ BYTE_TABLES.high[hi];
}

EccRecord make_record(std::uint64_t channel_offset, std::uint64_t packet_offset, std::uint16_t word,
                      std::uint8_t code) {
    const std::uint8_t s = code & 0x0F;
    const std::uint8_t p = code >> 4;
    const std::uint8_t bit = s != 0 ? SYNDROME_TO_BIT[s] : 0;
    const std::uint16_t corrected =
        (p != 0 && s != 0) ? static_cast<std::uint16_t>(word ^ (1u << bit)) : word;
    return EccRecord{channel_offset, packet_offset, word, corrected, bit, p};
}

// Per-word scan of words [first, first + count) of a channel, appending a record for each word
// that is not clean.
void scan_words(const std::uint8_t* packet, const ChannelRange& range, std::uint64_t first_byte,
                std::uint64_t bytes, std::vector<EccRecord>& out) {
    const std::uint8_t* p = packet + range.start;
    for (std::uint64_t j = first_byte; j < first_byte + bytes; j += 2) {
        const std::uint8_t code = word_code(p[j], p[j + 1]);
        if (code != 0) {
            const auto word = static_cast<std::uint16_t>(p[j] | (p[j + 1] << 8));
            out.push_back(make_record(j, range.start + j, word, code));
        }
    }
}

// Words are tested eight at a time; the rare block holding a suspicious word is scanned again
// word by word.
void check_channel_portable(const std::uint8_t* packet, const ChannelRange& range,
                            std::vector<EccRecord>& out) {
    constexpr std::uint64_t BLOCK = 16;  // bytes: eight words
    const std::uint8_t* p = packet + range.start;
    const std::uint64_t length = range.end - range.start;
    for (std::uint64_t j = 0; j < length; j += BLOCK) {
        std::uint8_t any = 0;
        for (std::uint64_t i = 0; i < BLOCK; i += 2) any |= word_code(p[j + i], p[j + i + 1]);
        if (any != 0) scan_words(packet, range, j, BLOCK, out);
    }
}

#ifdef BRIMO_ECC_X86

// Nibble tables for the byte shuffle: code_value of nibble n at bit positions 0, 4, 8 and 12.
struct NibbleTables {
    std::array<std::uint8_t, 16> n0{}, n1{}, n2{}, n3{};
};

constexpr NibbleTables make_nibble_tables() {
    NibbleTables t;
    for (std::uint32_t n = 0; n < 16; ++n) {
        t.n0[n] = code_value(static_cast<std::uint16_t>(n));
        t.n1[n] = code_value(static_cast<std::uint16_t>(n << 4));
        t.n2[n] = code_value(static_cast<std::uint16_t>(n << 8));
        t.n3[n] = code_value(static_cast<std::uint16_t>(n << 12));
    }
    return t;
}

constexpr NibbleTables NIBBLE_TABLES = make_nibble_tables();

__attribute__((target("avx2"))) inline __m256i load_table(const std::array<std::uint8_t, 16>& t) {
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t.data())));
}

// Sixteen words at once: the low byte of each 16-bit lane of the result is the word's code value
// (the high byte is left over from the lookups and is masked off by the caller).
__attribute__((target("avx2"))) inline __m256i code_values(__m256i v, __m256i t0, __m256i t1, __m256i t2,
                                                           __m256i t3, __m256i nibble) {
    const __m256i lo = _mm256_and_si256(v, nibble);
    const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble);
    // Looked up as a low byte (bits 0-7) and as a high byte (bits 8-15) of a word.
    const __m256i as_low = _mm256_xor_si256(_mm256_shuffle_epi8(t0, lo), _mm256_shuffle_epi8(t1, hi));
    const __m256i as_high = _mm256_xor_si256(_mm256_shuffle_epi8(t2, lo), _mm256_shuffle_epi8(t3, hi));
    return _mm256_xor_si256(as_low, _mm256_srli_epi16(as_high, 8));
}

__attribute__((target("avx2"))) void check_channel_avx2(const std::uint8_t* packet, const ChannelRange& range,
                                                        std::vector<EccRecord>& out) {
    constexpr std::uint64_t BLOCK = 64;  // bytes: thirty-two words, two vectors
    const __m256i t0 = load_table(NIBBLE_TABLES.n0);
    const __m256i t1 = load_table(NIBBLE_TABLES.n1);
    const __m256i t2 = load_table(NIBBLE_TABLES.n2);
    const __m256i t3 = load_table(NIBBLE_TABLES.n3);
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    const __m256i code_byte = _mm256_set1_epi16(0x00FF);
    const std::uint8_t* p = packet + range.start;
    const std::uint64_t length = range.end - range.start;
    std::uint64_t j = 0;
    for (; j + BLOCK <= length; j += BLOCK) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + j));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + j + 32));
        const __m256i codes =
            _mm256_or_si256(code_values(a, t0, t1, t2, t3, nibble), code_values(b, t0, t1, t2, t3, nibble));
        if (!_mm256_testz_si256(codes, code_byte)) scan_words(packet, range, j, BLOCK, out);
    }
    if (j < length) scan_words(packet, range, j, length - j, out);
}

bool cpu_has_avx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}

#endif

std::string length_list() {
    std::string s = "2";
    for (std::uint64_t n = 1; n <= MAX_CHIPS; ++n) {
        s += n == MAX_CHIPS ? " or " : ", ";
        s += std::to_string(n * CHIP_BLOCK_BYTES - 5) + " to " + std::to_string(n * CHIP_BLOCK_BYTES + 2);
    }
    return s;
}

}  // namespace

std::array<std::uint8_t, 4> syndrome(std::uint16_t word) {
    std::array<std::uint8_t, 4> s{};
    for (std::size_t k = 0; k < s.size(); ++k) s[k] = parity16(word & SYNDROME_MASKS[k]);
    return s;
}

std::uint8_t global_parity(std::uint16_t word) { return parity16(word); }

std::optional<std::uint8_t> syndrome_to_index(const std::array<std::uint8_t, 4>& s) {
    const unsigned value = s[0] + 2u * s[1] + 4u * s[2] + 8u * s[3];
    if (value == 0 || value > 15) return std::nullopt;
    return SYNDROME_TO_BIT[value];
}

const std::array<ChannelRange, CHANNEL_COUNT>& channel_offsets() {
    // A function-local static: its initialisation runs once, and threads arriving meanwhile wait.
    static const std::array<ChannelRange, CHANNEL_COUNT> table = [] {
        std::array<ChannelRange, CHANNEL_COUNT> t{};
        for (std::uint64_t k = 0; k < CHANNEL_COUNT; ++k) {
            // Skip the chip's header byte and the channel block's header word.
            const std::uint64_t start = CHIP_BLOCK_BYTES * (k / CHANNELS_PER_CHIP) + 3 +
                                        CHANNEL_BLOCK_BYTES * (k % CHANNELS_PER_CHIP);
            t[k] = ChannelRange{start, start + CHANNEL_SAMPLE_BYTES};
        }
        return t;
    }();
    return table;
}

std::string EccError::message() const {
    if (kind == EccErrorKind::OutOfMemory) return "out of memory while checking the packet";
    return "invalid packet length " + std::to_string(length) + ": the valid lengths are " + length_list() +
           " bytes";
}

Result<std::size_t, EccError> chip_blocks(std::uint64_t length) {
    const EccError invalid{EccErrorKind::InvalidLength, length};
    if (length < EVENT_FOOTER_BYTES) return err(invalid);
    const std::uint64_t body = length - EVENT_FOOTER_BYTES;
    if (body > MAX_CHIPS * CHIP_BLOCK_BYTES) return err(invalid);
    const std::uint64_t chips = (body + CHIP_BLOCK_BYTES - 1) / CHIP_BLOCK_BYTES;
    if (chips > 0 && channel_offsets()[chips * CHANNELS_PER_CHIP - 1].end > length) return err(invalid);
    return static_cast<std::size_t>(chips);
}

namespace detail {

bool kernel_available(Kernel kernel) {
#ifdef BRIMO_ECC_X86
    if (kernel == Kernel::Avx2) return cpu_has_avx2();
#else
    if (kernel == Kernel::Avx2) return false;
#endif
    return true;
}

void check_channel(Kernel kernel, const std::uint8_t* packet, const ChannelRange& range,
                   std::vector<EccRecord>& out) {
#ifdef BRIMO_ECC_X86
    if (kernel == Kernel::Avx2 && cpu_has_avx2()) return check_channel_avx2(packet, range, out);
#endif
    (void)kernel;
    check_channel_portable(packet, range, out);
}

}  // namespace detail

Result<std::vector<EccRecord>, EccError> ecc_check(std::span<const std::uint8_t> packet) {
    return ecc_check(packet, concurrency::global_pool());
}

Result<std::vector<EccRecord>, EccError> ecc_check(std::span<const std::uint8_t> packet, concurrency::WorkerPool& pool) {
    BRIMO_ASSIGN_OR_RETURN(const std::size_t chips, chip_blocks(packet.size()));
    const std::size_t channels = chips * CHANNELS_PER_CHIP;
    if (channels == 0) return std::vector<EccRecord>{};

    const detail::Kernel kernel =
        detail::kernel_available(detail::Kernel::Avx2) ? detail::Kernel::Avx2 : detail::Kernel::Portable;
    const auto& offsets = channel_offsets();
    const std::uint8_t* data = packet.data();
    const EccError out_of_memory{EccErrorKind::OutOfMemory, packet.size()};
    try {
        // One list per channel, each owned by the worker that fills it until the join; a clean
        // channel's list stays empty and allocates nothing.
        std::vector<std::vector<EccRecord>> lists(channels);
        // A few sub-ranges per worker, so that a worker slowed by the machine does not hold up the rest.
        const std::size_t grain = std::max<std::size_t>(1, channels / (4 * std::max<std::size_t>(1, pool.size())));
        const bool ok = pool.parallel_for(channels, grain, [&](std::size_t begin, std::size_t end) {
            for (std::size_t k = begin; k < end; ++k) detail::check_channel(kernel, data, offsets[k], lists[k]);
        });
        if (!ok) return err(out_of_memory);
        std::size_t total = 0;
        for (const auto& l : lists) total += l.size();
        std::vector<EccRecord> records;
        records.reserve(total);
        for (const auto& l : lists) records.insert(records.end(), l.begin(), l.end());
        return records;
    } catch (const std::bad_alloc&) {
        return err(out_of_memory);
    }
}

Result<void, EccError> correct_in_place(std::span<std::uint8_t> packet) {
    BRIMO_ASSIGN_OR_RETURN(const std::vector<EccRecord> records,
                           ecc_check(std::span<const std::uint8_t>(packet.data(), packet.size())));
    for (const EccRecord& r : records) {
        if (r.parity != 1) continue;
        packet[r.packet_offset] = static_cast<std::uint8_t>(r.corrected_word & 0xFF);
        packet[r.packet_offset + 1] = static_cast<std::uint8_t>(r.corrected_word >> 8);
    }
    return {};
}

Result<std::vector<std::uint8_t>, EccError> ecc_correct(std::span<const std::uint8_t> packet) {
    // Refuse a bad length before allocating the copy.
    BRIMO_TRY(chip_blocks(packet.size()));
    try {
        std::vector<std::uint8_t> copy(packet.begin(), packet.end());
        BRIMO_TRY(correct_in_place(copy));
        return copy;
    } catch (const std::bad_alloc&) {
        return err(EccError{EccErrorKind::OutOfMemory, packet.size()});
    }
}

}  // namespace brimo::ecc
