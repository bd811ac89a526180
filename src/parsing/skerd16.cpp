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


// Layout constants and the sizes derived from them (nullopt when beyond 64 bits).
struct ParamsCache {
    std::uint64_t channels = 0;
    std::uint64_t windows = 0;
    std::uint64_t samples = 0;
    std::uint64_t n_chip_headers = 0;
    std::uint64_t n_chip_footers = 0;
    std::uint64_t n_window_headers = 0;
    std::uint64_t n_window_footers = 0;
    std::uint16_t data_mask = 0;
    std::uint16_t chanmask = 0;
    std::uint16_t chan_shift = 0;
    std::uint16_t windmask = 0;
    Size samples_per_channel;
    Size block_words;
    Size packet_bytes;

    static ParamsCache from(const Params& params) {
        ParamsCache c;
        c.channels = params.channels;
        c.windows = params.windows;
        c.samples = params.samples;
        c.n_chip_headers = lookup_u64(params, "n_chip_headers", 1);
        c.n_chip_footers = lookup_u64(params, "n_chip_footers", 2);
        c.n_window_headers = lookup_u64(params, "n_window_headers", 1);
        c.n_window_footers = lookup_u64(params, "n_window_footers", 1);
        c.data_mask = lookup_u16(params, "data_mask", 0x03FF);
        c.chanmask = lookup_u16(params, "chanmask", 0xFF00);
        c.chan_shift = lookup_u16(params, "chan_shift", 8);
        c.windmask = lookup_u16(params, "windmask", 0x00FF);
        c.samples_per_channel = checked_mul(c.windows, c.samples);
        c.block_words = checked_add(checked_add(c.n_window_headers, c.samples_per_channel), c.n_window_footers);
        c.packet_bytes = checked_add(checked_add(c.n_chip_headers, c.n_chip_footers),
                                     checked_mul(std::uint64_t(2), checked_mul(c.channels, c.block_words)));
        return c;
    }
};

}  // namespace

template <>
Result<Skerd16Event, ParsingError> parse_into<Skerd16Event>(Bytes packet, const Params& params) {
    const std::uint64_t L = packet.size();
    if (L == 0) return err(ParsingError::MissingData);

    const ParamsCache pc = ParamsCache::from(params);
    // A length beyond 64 bits is never met.
    if (!pc.packet_bytes || *pc.packet_bytes != L) return err(ParsingError::UnexpectedLength);

    if (pc.channels > kMaxChannels) return err(ParsingError::InvalidParameters);
    Skerd16Event ev(pc.channels);

    const std::uint64_t words = (L - 1) / 2;
    // Only complete blocks are read. A block size beyond 64 bits (possible only with no channels,
    // where the length check ignores it) leaves no complete block; a zero block size has no meaning.
    std::uint64_t blocks = 0;
    std::uint64_t block_words = 0;
    if (pc.block_words) {
        if (*pc.block_words == 0) return err(ParsingError::InvalidParameters);
        block_words = *pc.block_words;
        blocks = words / block_words;
    }
    if (pc.samples == 0 && blocks * (pc.windows & 0xFFFF) > kMaxSampleFreeLabels)
        return err(ParsingError::InvalidParameters);
    const std::uint64_t sample_words = blocks ? *pc.samples_per_channel : 0;
    const unsigned shift = pc.chan_shift % 16;

    const std::uint8_t* block = packet.data() + 1;
    for (std::uint64_t b = 0; b < blocks; ++b, block += 2 * block_words) {
        const std::uint16_t header = load_le16(block);
        const std::uint64_t channel = (header & pc.chanmask) >> shift;
        if (channel >= ev.data.size()) return err(ParsingError::InvalidChannel);
        append_inverted_le_samples(ev.data[channel], block + 2 * pc.n_window_headers, sample_words,
                                           pc.data_mask);
        append_cyclic_labels(ev.window_labels[channel], static_cast<std::uint16_t>(header & pc.windmask),
                                     pc.windows);
    }

    if (auto r = set_time_axis(ev.time, ev.window_labels, params); !r) return err(r.error());
    return ev;
}

}  // namespace brimo
