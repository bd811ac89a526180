// skerd16 packets: the single-chip relative of the vombel96 layout.
//
// The packet is one header byte, then little-endian 16-bit words from byte 1 on: one channel block
// per channel, each "n_window_headers" header words (word 0 names the channel and the first window),
// every window of the channel's sample buffer starting at that first window, and "n_window_footers"
// footer words. Sample words hold the one's complement of the sample value. "n_chip_headers" and
// "n_chip_footers" (bytes) enter only the exact length check: the words begin at byte 1 whatever
// they say, and with the defaults the two footer bytes form one trailing word that belongs to no
// block.
#include "parsing/framework.h"
#include "parsing/util.h"

namespace brimo {

namespace {

constexpr LayoutKeys<8> kKeys = LayoutKeys<2>{{{
                                    {"n_chip_headers", 1},
                                    {"n_chip_footers", 2},
                                }}} +
                                kFullBufferBlockKeys;

// The channel block and the packet length derived from the keys (nothing when beyond 64 bits).
struct Layout {
    FullBufferBlock block;
    std::uint64_t channels = 0;
    Size packet_bytes;

    static Result<Layout, ParsingError> from(const Params& params) {
        Layout lay;
        lay.block = FullBufferBlock::from(params);
        lay.channels = params.channels;
        const std::uint64_t n_chip_headers = lookup_u64(params, kKeys["n_chip_headers"]);
        const std::uint64_t n_chip_footers = lookup_u64(params, kKeys["n_chip_footers"]);
        lay.packet_bytes = checked_add(checked_add(n_chip_headers, n_chip_footers),
                                       checked_mul(std::uint64_t(2), checked_mul(lay.channels, lay.block.words)));
        return lay;
    }
};

}  // namespace

template <>
std::span<const LayoutKey> layout_keys<Skerd16Event>() {
    return kKeys.keys;
}

template <>
Result<Skerd16Event, ParsingError> parse_into<Skerd16Event>(Bytes packet, const Params& params) {
    // One header byte, then words: the length may be odd.
    const std::uint64_t L = packet.size();
    if (L == 0) return err(ParsingError::MissingData);

    BRIMO_ASSIGN_OR_RETURN(const Layout lay, Layout::from(params));
    const FullBufferBlock& fb = lay.block;
    // A length beyond 64 bits is never met.
    if (!lay.packet_bytes || *lay.packet_bytes != L) return err(ParsingError::UnexpectedLength);

    BRIMO_ASSIGN_OR_RETURN(Skerd16Event ev, new_event<Skerd16Event>(lay.channels));

    const std::uint64_t words = (L - 1) / 2;
    // Only complete blocks are read. A block size beyond 64 bits (possible only with no channels,
    // where the length check ignores it) leaves no complete block; a zero block size has no meaning.
    std::uint64_t blocks = 0;
    std::uint64_t block_words = 0;
    if (fb.words) {
        if (*fb.words == 0) return err(ParsingError::InvalidParameters);
        block_words = *fb.words;
        blocks = words / block_words;
    }
    if (fb.samples == 0 && blocks * (fb.windows & 0xFFFF) > kMaxSampleFreeLabels)
        return err(ParsingError::InvalidParameters);
    const std::uint64_t sample_words = blocks ? *fb.samples_per_channel : 0;

    const std::uint8_t* block = packet.data() + 1;
    for (std::uint64_t b = 0; b < blocks; ++b, block += 2 * block_words) {
        const std::uint16_t header = load_le16(block);
        const std::uint64_t channel = fb.channel(header);
        if (channel >= ev.data.size()) return err(ParsingError::InvalidChannel);
        fb.append(block, header, sample_words, ev.data[channel], ev.window_labels[channel]);
    }

    return with_time_axis(std::move(ev), params);
}

}  // namespace brimo
