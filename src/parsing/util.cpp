#include "parsing/util.h"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace brimo {

namespace {

// out[n] = ramp[n] + base for n < count (16-bit wrap-around).
BRIMO_VECTOR_CLONES
void add_to_ramp(std::uint16_t* out, const std::uint16_t* ramp, std::uint64_t count, std::uint16_t base) {
    for (std::uint64_t n = 0; n < count; ++n) out[n] = static_cast<std::uint16_t>(ramp[n] + base);
}

// A channel's time axis never needs more values than a packet could carry samples; a product of
// labels and "samples" beyond this comes from absurd parameters and would only exhaust memory.
constexpr std::uint64_t kMaxTimeValues = std::uint64_t(1) << 30;
}  // namespace

BRIMO_VECTOR_CLONES
void convert_samples(const std::uint16_t* src, std::size_t n, std::uint16_t mask, unsigned shift, float* dst) {
    for (std::size_t j = 0; j < n; ++j)
        dst[j] = static_cast<float>(static_cast<std::uint32_t>(src[j] & mask) >> shift);
}

Result<void, ParsingError> set_time_axis(std::vector<std::vector<std::uint16_t>>& time,
                                         const std::vector<std::vector<std::uint16_t>>& window_labels,
                                         const Params& params) {
    const std::uint64_t S = params.samples;
    for (std::uint64_t c = 0; c < params.channels; ++c) {
        if (c >= window_labels.size()) return err(ParsingError::MissingData);
        const auto& labels = window_labels[c];
        if (labels.empty()) continue;
        if (c >= time.size()) return err(ParsingError::MissingData);
        if (S != 0 && labels.size() > kMaxTimeValues / S) return err(ParsingError::InvalidParameters);
        auto& t = time[c];
        const std::size_t at = t.size();
        t.resize(at + labels.size() * S);
        std::uint16_t* const out = t.data() + at;
        // The first window (relative window 0) holds 0 .. S-1; every later window is that ramp plus
        // its own offset r * S, which makes the per-window loop a plain vector add.
        const std::uint16_t first = labels[0];
        fill_ramp(out, 0, S);
        for (std::size_t k = 1; k < labels.size(); ++k) {
            const std::uint16_t rel = relative_window(labels[k], first, params.windows);
            const auto base = static_cast<std::uint16_t>(std::uint32_t(rel) * static_cast<std::uint32_t>(S));
            add_to_ramp(out + k * S, out, S, base);
        }
    }
    return {};
}

void append_cyclic_labels(std::vector<std::uint16_t>& out, std::uint16_t first, std::uint64_t windows) {
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

std::uint64_t find_word(const std::uint8_t* p, std::uint64_t from, std::uint64_t n, const std::uint8_t (&pattern)[2]) {
    std::uint64_t i = from;
#if defined(__SSE2__)
    // Eight words per step.
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

Result<void, ParsingError> read_channel_blocks(std::span<const std::uint16_t> region,
                                               const ChannelBlockLayout& lay, EventBase& event) {
    const std::uint64_t channels = event.data.size();
    const std::uint16_t* base = region.data();
    auto channel_of = [&](std::uint16_t h) -> std::uint64_t {
        return static_cast<std::uint32_t>(h & lay.chanmask) >> lay.chan_shift;
    };

    // First pass: check every header and count the windows of each channel. Channel numbers are
    // at most 16 bits wide, so the counts need no more than 65536 entries.
    std::vector<std::uint32_t> counts(std::min<std::uint64_t>(channels, 65536), 0);
    for (std::uint64_t b = 0; b < lay.window_blocks; ++b) {
        const std::uint16_t* block = base + b * lay.block_words;
        for (std::uint64_t k = 0; k < lay.chan_blocks; ++k) {
            const std::uint64_t c = channel_of(block[k * lay.chan_block_words]);
            if (c >= channels) return err(ParsingError::InvalidChannel);
            ++counts[c];
        }
    }

    const std::uint64_t samples = lay.chan_block_words - 1;
    std::vector<std::size_t> filled(counts.size(), 0);
    for (std::size_t c = 0; c < counts.size(); ++c) {
        if (counts[c] == 0) continue;
        filled[c] = event.data[c].size();
        event.data[c].resize(filled[c] + counts[c] * samples);
        event.window_labels[c].reserve(event.window_labels[c].size() + counts[c]);
    }
    for (std::uint64_t b = 0; b < lay.window_blocks; ++b) {
        const std::uint16_t* block = base + b * lay.block_words;
        for (std::uint64_t k = 0; k < lay.chan_blocks; ++k) {
            const std::uint16_t* cb = block + k * lay.chan_block_words;
            const std::uint64_t c = channel_of(cb[0]);
            convert_samples(cb + 1, samples, lay.datamask, lay.last_shift, event.data[c].data() + filled[c]);
            filled[c] += samples;
            event.window_labels[c].push_back(
                static_cast<std::uint16_t>(static_cast<std::uint32_t>(cb[0] & lay.windmask) >> lay.last_shift));
        }
    }
    return {};
}

Result<void, ParsingError> read_window_blocks(std::span<const std::uint16_t> region, std::uint64_t channels_per_block,
                                              std::uint64_t extra_words, ChannelBlockLayout& lay, EventBase& event) {
    const std::uint64_t B = lay.chan_block_words;
    if (B == 0) return err(ParsingError::InvalidParameters);
    const Size first_block = checked_mul(channels_per_block, B);
    if (!first_block || *first_block > region.size()) return err(ParsingError::UnexpectedLength);
    for (std::uint64_t k = 0; k < channels_per_block; ++k) {
        const std::uint64_t c = static_cast<std::uint32_t>(region[k * B] & lay.chanmask) >> lay.chan_shift;
        if (c >= event.data.size()) return err(ParsingError::InvalidChannel);
    }
    // A block size beyond 64 bits exceeds any region: no whole block.
    lay.block_words = checked_add(*first_block, extra_words).value_or(UINT64_MAX);
    lay.window_blocks = region.size() / lay.block_words;
    lay.chan_blocks = lay.block_words / B;
    return read_channel_blocks(region, lay, event);
}

FullBufferBlock FullBufferBlock::from(const Params& params) {
    FullBufferBlock b;
    b.windows = params.windows;
    b.samples = params.samples;
    b.n_window_headers = lookup_u64(params, kFullBufferBlockKeys["n_window_headers"]);
    b.n_window_footers = lookup_u64(params, kFullBufferBlockKeys["n_window_footers"]);
    b.data_mask = lookup_u16(params, kFullBufferBlockKeys["data_mask"]);
    b.chanmask = lookup_u16(params, kFullBufferBlockKeys["chanmask"]);
    b.chan_shift = lookup_u16(params, kFullBufferBlockKeys["chan_shift"]) % 16u;
    b.windmask = lookup_u16(params, kFullBufferBlockKeys["windmask"]);
    b.samples_per_channel = checked_mul(b.windows, b.samples);
    b.words = checked_add(checked_add(b.n_window_headers, b.samples_per_channel), b.n_window_footers);
    return b;
}

std::vector<ChanWinds> length_entry(std::uint64_t len, const LengthTable& t, std::size_t limit) {
    std::vector<ChanWinds> out;
    const std::uint64_t C = t.channels, W = t.windows;
    if (W < 2 || C == 0 || len % 2 != 0 || !t.channel_block_words || len / 2 < t.base_words) return out;
    const std::uint64_t B = *t.channel_block_words;
    const std::uint64_t T = len / 2 - t.base_words;  // = i * (block_extra + J * B)
    auto full = [&] { return out.size() >= limit; };

    if (B == 0) {
        // Every channel count gives the same lengths: all J match, largest first, each with the
        // matching window counts in increasing order.
        const std::uint64_t u = t.block_extra;
        std::uint64_t i_lo = 0, i_hi = 0;
        if (u == 0) {
            if (T != 0) return out;
            i_lo = 1, i_hi = W - 1;
        } else {
            if (T % u != 0 || T / u == 0 || T / u > W - 1) return out;
            i_lo = i_hi = T / u;
        }
        for (std::uint64_t J = C; J >= 1 && !full(); --J)
            for (std::uint64_t i = i_lo; i <= i_hi && !full(); ++i) out.push_back({J, i});
        return out;
    }
    // B > 0 and i >= 1: J * B <= T, so at most T / B channel counts can match.
    if (T == 0) return out;
    for (std::uint64_t J = std::min(C, T / B); J >= 1 && !full(); --J) {
        const auto u = checked_add(t.block_extra, J * B);
        if (!u || *u == 0 || T % *u != 0) continue;
        const std::uint64_t i = T / *u;
        if (i >= 1 && i <= W - 1) out.push_back({J, i});
    }
    return out;
}

std::optional<ChanWinds> select_chan_winds(std::uint64_t len, const LengthTable& t) {
    const std::vector<ChanWinds> first_two = length_entry(len, t, 2);
    if (first_two.empty()) return std::nullopt;
    if (first_two.size() == 1) return first_two[0];
    if (!t.fit_words) return std::nullopt;
    const std::uint64_t B = *t.channel_block_words;  // an entry exists, so B fits 64 bits
    auto fits = [&](const ChanWinds& p) {
        const auto jb = checked_mul(p.channels, B);
        const auto words = jb ? checked_add(*jb, *t.fit_words) : std::nullopt;
        return words && *words <= len / 2;
    };
    // With B = 0 the test does not depend on the candidate, and the candidates may be countless.
    if (B == 0) return fits(first_two[0]) ? std::optional<ChanWinds>(first_two[0]) : std::nullopt;
    for (const ChanWinds& p : length_entry(len, t, SIZE_MAX))  // at most T / B candidates
        if (fits(p)) return p;
    return std::nullopt;
}

}  // namespace brimo
