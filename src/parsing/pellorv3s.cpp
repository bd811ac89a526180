// pellorv3s packets: big-endian 16-bit words. H = "n_event_headers" header words, a region of window
// blocks, and F = "n_footer_words" footer words. A window block is J channel blocks of
// B = "n_channel_headers" + S words (a header word with channel and window fields, then samples),
// plus "n_window_headers" further words. The packet does not state J or the window count I; both are
// inferred from its length through the table of every length the parameters allow:
//   2 * (H + F + i * ("n_window_footers" + J * B))  for i = 1 .. W - 1, J = 1 .. C,
// each length's candidates ordered by channel count, largest first.
#include <algorithm>

#include "parsing/framework.h"
#include "parsing/util.h"

namespace brimo {

namespace {

constexpr LayoutKeys<10> kKeys{{{
    {"n_channel_headers", 1},
    {"chanmask", 0x03FF},
    {"chan_shift", 8},
    {"windmask", 0x00FF},
    {"datamask", 0x1FFF},
    {"n_event_headers", 3},
    {"n_footer_words", 1},
    {"n_window_headers", 0},
    {"n_window_footers", 0},
    {"n_last_bits", 0},
}}};

struct Layout {
    std::uint64_t n_channel_headers;
    std::uint16_t chanmask;
    unsigned chan_shift;
    std::uint16_t windmask;
    std::uint16_t datamask;
    std::uint64_t n_event_headers;
    std::uint64_t n_footer_words;
    std::uint64_t n_window_headers;
    std::uint64_t n_window_footers;
    unsigned last_shift;

    static Result<Layout, ParsingError> from(const Params& p) {
        return Layout{
            lookup_u64(p, kKeys["n_channel_headers"]),
            lookup_u16(p, kKeys["chanmask"]),
            lookup_u16(p, kKeys["chan_shift"]) % 16u,
            lookup_u16(p, kKeys["windmask"]),
            lookup_u16(p, kKeys["datamask"]),
            lookup_u64(p, kKeys["n_event_headers"]),
            lookup_u64(p, kKeys["n_footer_words"]),
            lookup_u64(p, kKeys["n_window_headers"]),
            lookup_u64(p, kKeys["n_window_footers"]),
            static_cast<unsigned>(lookup_u64(p, kKeys["n_last_bits"]) % 16),
        };
    }
};

LengthTable length_table(const Params& params, const Layout& lay) {
    LengthTable t;
    t.channels = params.channels;
    t.windows = params.windows;
    t.channel_block_words = checked_add(lay.n_channel_headers, params.samples);
    const auto base = checked_add(lay.n_event_headers, lay.n_footer_words);
    // Header and footer words beyond 64 bits: no packet has such a length.
    t.base_words = base.value_or(UINT64_MAX);
    if (!base) t.channels = 0;
    t.block_extra = lay.n_window_footers;
    t.fit_words = checked_add(lay.n_event_headers, lay.n_window_headers);
    return t;
}

}  // namespace

template <>
std::span<const LayoutKey> layout_keys<Pellorv3SEvent>() {
    return kKeys.keys;
}

template <>
Result<Pellorv3SEvent, ParsingError> parse_into<Pellorv3SEvent>(Bytes packet, const Params& params) {
    BRIMO_TRY(check_word_packet(packet));
    const std::uint64_t L = packet.size();
    BRIMO_ASSIGN_OR_RETURN(const Layout lay, Layout::from(params));
    const auto pair = select_chan_winds(L, length_table(params, lay));
    if (!pair) return err(ParsingError::UnexpectedLength);
    const std::uint64_t J = pair->channels;

    const Words words = load_words_be(packet);
    const std::uint64_t N = words.size();
    const std::uint64_t H = lay.n_event_headers, F = lay.n_footer_words;
    if (H > N || F > N - H) return err(ParsingError::UnexpectedLength);
    const std::span<const std::uint16_t> region(words.data() + H, N - F - H);

    // One entry per channel of params "channels": the table only offers J <= "channels", the channel
    // numbers of the packet are checked against the board's channel count, and the time axis covers
    // every channel of the board.
    BRIMO_ASSIGN_OR_RETURN(Pellorv3SEvent event, new_event<Pellorv3SEvent>(params.channels));

    const std::uint64_t B = lay.n_channel_headers + params.samples;  // no overflow: a pair matched
    ChannelBlockLayout cbl =
        ChannelBlockLayout::of(B, lay.chanmask, lay.chan_shift, lay.windmask, lay.datamask, lay.last_shift);
    // A region shorter than one whole window block would hold no block at all: the length matched the
    // table only because the table counts "n_window_footers" where the blocks count
    // "n_window_headers". That is a packet of the wrong length, not an empty event.
    if (B != 0) {
        const Size block = checked_add(checked_mul(J, B), lay.n_window_headers);
        if (!block || *block > region.size()) return err(ParsingError::UnexpectedLength);
    }
    // The first window block must carry J channel blocks (of at least one word) with valid channels.
    BRIMO_TRY(read_window_blocks(region, J, lay.n_window_headers, cbl, event));

    event.window_tail_words.reserve(cbl.window_blocks);
    for (std::uint64_t b = 0; b < cbl.window_blocks; ++b)
        event.window_tail_words.push_back(region[(b + 1) * cbl.block_words - 1]);

    return with_time_axis(std::move(event), params);
}

}  // namespace brimo
