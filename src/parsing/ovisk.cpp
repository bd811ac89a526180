// ovisk packets (both ovisk model values).
//
// Big-endian 16-bit words. The last word of the event is never examined; all earlier words are chip
// blocks separated by the chip stop word. A chip block is "n_chip_headers" header words (word 0
// carries the chip number in its top four bits) followed by a whole number of window blocks, each
// "n_window_headers" header words (word 0 holds the channel within the chip and the window number)
// and "samples" sample words. The event channel is channels-per-chip times the chip number plus the
// channel within the chip.
#include "parsing/framework.h"
#include "parsing/util.h"

namespace brimo {

namespace {

constexpr LayoutKeys<8> kKeys{{{
    {"num_chips", 2},
    {"databitmask", 0x0FFF},
    {"chanmask", 0x0300},
    {"chan_shift", 8},
    {"windmask", 0x00FF},
    {"chip_stop_word", 0xFFFF},
    {"n_chip_headers", 3},
    {"n_window_headers", 1},
}}};

struct Layout {
    std::uint64_t channels_per_chip;
    std::uint16_t databitmask;
    std::uint16_t chanmask;
    unsigned chan_shift;
    std::uint16_t windmask;
    std::uint16_t stop_word;
    std::uint64_t chip_headers;
    std::uint64_t window_headers;
    // Window block size; beyond 64 bits no window block fits in any chip block.
    Size window_block;

    // A zero "num_chips" leaves the channels per chip undefined.
    static Result<Layout, ParsingError> from(const Params& params) {
        const std::uint64_t num_chips = lookup_u64(params, kKeys["num_chips"]);
        if (num_chips == 0) return err(ParsingError::InvalidParameters);
        const std::uint64_t window_headers = lookup_u64(params, kKeys["n_window_headers"]);
        return Layout{
            params.channels / num_chips,
            lookup_u16(params, kKeys["databitmask"]),
            lookup_u16(params, kKeys["chanmask"]),
            lookup_u16(params, kKeys["chan_shift"]) % 16u,
            lookup_u16(params, kKeys["windmask"]),
            lookup_u16(params, kKeys["chip_stop_word"]),
            lookup_u64(params, kKeys["n_chip_headers"]),
            window_headers,
            checked_add(window_headers, params.samples),
        };
    }
};

}  // namespace

template <>
std::span<const LayoutKey> layout_keys<OviskEvent>() {
    return kKeys.keys;
}

template <>
Result<OviskEvent, ParsingError> parse_into<OviskEvent>(Bytes packet, const Params& params) {
    BRIMO_TRY(check_word_packet(packet));
    BRIMO_ASSIGN_OR_RETURN(const Layout lay, Layout::from(params));
    const std::uint64_t L = packet.size();
    const std::uint64_t channels_per_chip = lay.channels_per_chip;
    const std::uint16_t databitmask = lay.databitmask, chanmask = lay.chanmask, windmask = lay.windmask;
    const unsigned chan_shift = lay.chan_shift;
    const std::uint16_t stop_word = lay.stop_word;
    const std::uint64_t chip_headers = lay.chip_headers, window_headers = lay.window_headers;
    const std::uint64_t samples = params.samples;
    const Size window_block = lay.window_block;

    const std::uint8_t* p = packet.data();
    const std::uint64_t examined = L / 2 - 1;
    auto word = [p](std::uint64_t i) { return load_be16(p + 2 * i); };
    const std::uint8_t stop_bytes[2] = {static_cast<std::uint8_t>(stop_word >> 8), static_cast<std::uint8_t>(stop_word)};

    BRIMO_ASSIGN_OR_RETURN(OviskEvent ev, new_event<OviskEvent>(params.channels));

    std::uint64_t pos = 0;
    for (;;) {
        const std::uint64_t end = find_word(p, pos, examined, stop_bytes);
        const bool last = end == examined;
        const std::uint64_t len = end - pos;

        if (len < chip_headers) return err(ParsingError::UnexpectedLength);
        const std::uint64_t body = len - chip_headers;
        std::uint64_t windows = 0;
        if (!window_block) {
            if (body != 0) return err(ParsingError::UnexpectedLength);
        } else {
            if (*window_block == 0) return err(ParsingError::InvalidParameters);
            if (body % *window_block != 0) return err(ParsingError::UnexpectedLength);
            windows = body / *window_block;
        }
        // With no chip header words an empty block has no word to take the chip number from.
        if (len == 0) return err(ParsingError::InvalidParameters);
        const std::uint64_t chip = word(pos) >> 12;

        for (std::uint64_t k = 0; k < windows; ++k) {
            const std::uint64_t at = pos + chip_headers + k * *window_block;
            const std::uint16_t header = word(at);
            // channels_per_chip <= kMaxChannels and chip < 16: no overflow.
            const std::uint64_t channel = channels_per_chip * chip + ((header & chanmask) >> chan_shift);
            if (channel >= ev.window_labels.size()) return err(ParsingError::InvalidChannel);
            ev.window_labels[channel].push_back(static_cast<std::uint16_t>(header & windmask));
            append_be_samples(ev.data[channel], p + 2 * (at + window_headers), samples, databitmask);
        }
        if (last) break;
        pos = end + 1;
    }

    return with_time_axis(std::move(ev), params);
}

}  // namespace brimo
