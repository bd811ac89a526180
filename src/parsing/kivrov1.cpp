// kivrov1 packets (model value "kivro").
//
// Big-endian 16-bit words. The packet is a run of board blocks of U bytes followed by a 4-byte
// trailer that is never examined; the last board block may be up to four bytes short, since its
// final four bytes are never read. A board block is E event header words (word 0 is the board
// number b, whose channels are 4b to 4b+3), a window region of window blocks of V bytes, and the
// footer words. A window block is the window number (stored whole as the label), the channel within
// the board, and the window's samples, unmasked; further window header words lie after the samples.
//
//   U = 2 (E + 4 (H + S) + F) + 2,  V = 2 (H + S),  window region: R = U - 4 - 2E bytes from byte 2E.
#include <algorithm>

#include "parsing/framework.h"
#include "parsing/util.h"

namespace brimo {

namespace {

constexpr LayoutKeys<3> kKeys{{{
    {"n_event_headers", 7},
    {"n_window_headers", 2},
    {"n_footer_words", 1},
}}};

// E, and the window and board block sizes (nothing when beyond 64 bits).
struct Layout {
    std::uint64_t E;
    Size window_words;  // H + S
    Size board_bytes;   // U

    static Result<Layout, ParsingError> from(const Params& params) {
        const std::uint64_t E = lookup_u64(params, kKeys["n_event_headers"]);
        const std::uint64_t H = lookup_u64(params, kKeys["n_window_headers"]);
        const std::uint64_t F = lookup_u64(params, kKeys["n_footer_words"]);
        const Size window_words = checked_add(H, params.samples);
        const Size board_bytes = checked_add(
            checked_mul(std::uint64_t(2), checked_add(checked_add(E, checked_mul(std::uint64_t(4), window_words)), F)),
            std::uint64_t(2));
        return Layout{E, window_words, board_bytes};
    }
};

}  // namespace

template <>
std::span<const LayoutKey> layout_keys<Kivrov1Event>() {
    return kKeys.keys;
}

template <>
Result<Kivrov1Event, ParsingError> parse_into<Kivrov1Event>(Bytes packet, const Params& params) {
    BRIMO_ASSIGN_OR_RETURN(const Layout lay, Layout::from(params));
    const std::uint64_t E = lay.E;
    const std::uint64_t S = params.samples;
    const Size window_words = lay.window_words;
    const Size board_bytes = lay.board_bytes;

    // A board block beyond 64 bits is longer than any packet.
    const std::uint64_t L = packet.size();
    if (L % 2 != 0 || !board_bytes || L < *board_bytes) return err(ParsingError::UnexpectedLength);
    const std::uint64_t U = *board_bytes;
    // U fits, so do its parts. Window blocks need at least their window number and channel words;
    // from H + S >= 2 on, U >= 2E + 18 and the region below is positive.
    if (*window_words < 2) return err(ParsingError::InvalidParameters);
    const std::uint64_t V = 2 * *window_words;
    const std::uint64_t region_start = 2 * E;
    const std::uint64_t R = U - 4 - region_start;

    BRIMO_ASSIGN_OR_RETURN(Kivrov1Event ev, new_event<Kivrov1Event>(params.channels));

    const std::uint8_t* const p = packet.data();
    const std::uint64_t boards_end = L - 4;
    for (std::uint64_t at = 0; at < boards_end; at += U) {
        const std::uint64_t piece = std::min(U, boards_end - at);
        if (piece < U - 4) return err(ParsingError::UnexpectedLength);
        const std::uint8_t* board = p + at;
        const std::uint64_t b = load_be16(board);

        std::uint64_t left = R;
        for (const std::uint8_t* win = board + region_start; left != 0; win += V, left -= V) {
            if (left < V) return err(ParsingError::UnexpectedLength);
            const std::uint64_t channel = 4 * b + load_be16(win + 2);
            if (channel >= params.channels) return err(ParsingError::InvalidChannel);
            if (V < 2 * S + 4) return err(ParsingError::UnexpectedLength);
            append_be_samples(ev.data[channel], win + 4, S, 0xFFFF);
            ev.window_labels[channel].push_back(load_be16(win));
        }
    }

    return with_time_axis(std::move(ev), params);
}

}  // namespace brimo
