// The quarvelv3 layout constants and the inference of a packet's channel and window counts from its
// length, exposed for tests; parsing itself goes through parse_into<Quarvelv3Event>.
#pragma once

#include <cstdint>
#include <optional>

#include "parsing/framework.h"
#include "parsing/util.h"

namespace brimo::quarvelv3 {

inline constexpr LayoutKeys<9> kKeys{{{
    {"n_channel_headers", 1},
    {"n_event_headers", 3},   // H
    {"n_window_headers", 1},  // words after the channel blocks of a window block
    {"n_footer_words", 2},    // F
    {"n_last_bits", 1},       // modulo 16
    {"chanmask", 0x0C00},
    {"chan_shift", 10},       // modulo 16
    {"windmask", 0x03FE},
    {"datamask", 0x1FFF},
}}};

struct Layout {
    std::uint64_t channels = 0;
    std::uint64_t windows = 0;
    std::uint64_t samples = 0;
    std::uint64_t n_channel_headers = 0;
    std::uint64_t n_event_headers = 0;
    std::uint64_t n_window_headers = 0;
    std::uint64_t n_footer_words = 0;
    unsigned n_last_bits = 0;
    std::uint16_t chanmask = 0;
    unsigned chan_shift = 0;
    std::uint16_t windmask = 0;
    std::uint16_t datamask = 0;
    // B = n_channel_headers + samples; nothing when that does not fit 64 bits.
    std::optional<std::uint64_t> channel_block_words;
    // The length table: 2 * (i * (1 + J * B) + 4) bytes for J = 1 .. channels, i = 1 .. windows - 1.
    // Held as its parameters; entries are computed per length (length_entry in parsing/util.h).
    LengthTable length_table;

    static Result<Layout, ParsingError> from(const Params& params);
};

// The (channel count, window count) a packet of this length is read as, or nothing.
std::optional<ChanWinds> get_chan_winds(const Layout& layout, Bytes bytes);

}  // namespace brimo::quarvelv3
