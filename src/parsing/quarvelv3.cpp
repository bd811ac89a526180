// quarvelv3 packets: big-endian 16-bit words. H = "n_event_headers" header words, then one window
// block per window: J channel blocks of B = "n_channel_headers" + S words (a header word with channel
// and window fields, then the samples) followed by "n_window_headers" words; the window region ends
// one word after N - F (F = "n_footer_words"). The packet does not state J or the number of windows:
// both come from its length. The board's length table assumes 4 words of event header and footer and
// one extra word per window block, whatever the layout keys say; the region and block arithmetic do
// follow the keys, so every bound is checked before a word is read.
#include "parsing/quarvelv3.h"

namespace brimo {

namespace quarvelv3 {

ParamsCache ParamsCache::from(const Params& p) {
    ParamsCache c;
    c.channels = p.channels;
    c.windows = p.windows;
    c.samples = p.samples;
    c.n_channel_headers = lookup_u64(p, "n_channel_headers", 1);
    c.n_event_headers = lookup_u64(p, "n_event_headers", 3);
    c.n_window_headers = lookup_u64(p, "n_window_headers", 1);
    c.n_footer_words = lookup_u64(p, "n_footer_words", 2);
    c.n_last_bits = lookup_u16(p, "n_last_bits", 1) % 16u;
    c.chanmask = lookup_u16(p, "chanmask", 0x0C00);
    c.chan_shift = lookup_u16(p, "chan_shift", 10) % 16u;
    c.windmask = lookup_u16(p, "windmask", 0x03FE);
    c.datamask = lookup_u16(p, "datamask", 0x1FFF);
    c.channel_block_words = checked_add(c.n_channel_headers, c.samples);

    c.length_table.channels = c.channels;
    c.length_table.windows = c.windows;
    c.length_table.base_words = 4;
    c.length_table.block_extra = 1;
    c.length_table.channel_block_words = c.channel_block_words;
    c.length_table.fit_words = checked_add(c.n_event_headers, c.n_window_headers);
    return c;
}

std::optional<ChanWinds> get_chan_winds(const ParamsCache& cache, Bytes bytes) {
    return select_chan_winds(bytes.size(), cache.length_table);
}

}  // namespace quarvelv3

template <>
Result<Quarvelv3Event, ParsingError> parse_into<Quarvelv3Event>(Bytes packet, const Params& params) {
    const std::uint64_t L = packet.size();
    if (L == 0) return err(ParsingError::MissingData);
    if (L % 2 != 0) return err(ParsingError::UnexpectedLength);

    const quarvelv3::ParamsCache cache = quarvelv3::ParamsCache::from(params);
    const auto counts = quarvelv3::get_chan_winds(cache, packet);
    if (!counts) return err(ParsingError::UnexpectedLength);
    const std::uint64_t J = counts->channels;

    const Words words = load_words_be(packet);
    const std::uint64_t N = words.size();

    // Region [H, N - F + 1): with non-default keys it may start after its end or end past the packet.
    const std::uint64_t H = cache.n_event_headers, F = cache.n_footer_words;
    if (F == 0 || F - 1 > N) return err(ParsingError::UnexpectedLength);
    const std::uint64_t region_end = N - (F - 1);
    if (H > region_end) return err(ParsingError::UnexpectedLength);
    const std::span<const std::uint16_t> region(words.data() + H, region_end - H);

    if (cache.channels > kMaxChannels) return err(ParsingError::InvalidParameters);
    Quarvelv3Event event(cache.channels);

    const std::uint64_t B = *cache.channel_block_words;  // a length matched, so B fits 64 bits
    ChannelBlockLayout lay = ChannelBlockLayout::of(B, cache.chanmask, cache.chan_shift, cache.windmask,
                                                    cache.datamask, cache.n_last_bits);
    // The first window block's J channel blocks (of at least one word: a block of none has no header
    // to read) must lie in the region and name valid channels.
    BRIMO_TRY(read_window_blocks(region, J, cache.n_window_headers, lay, event));

    BRIMO_TRY(set_time_axis(event.time, event.window_labels, params));
    return event;
}

}  // namespace brimo
