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

Result<Layout, ParsingError> Layout::from(const Params& p) {
    Layout c;
    c.channels = p.channels;
    c.windows = p.windows;
    c.samples = p.samples;
    c.n_channel_headers = lookup_u64(p, kKeys["n_channel_headers"]);
    c.n_event_headers = lookup_u64(p, kKeys["n_event_headers"]);
    c.n_window_headers = lookup_u64(p, kKeys["n_window_headers"]);
    c.n_footer_words = lookup_u64(p, kKeys["n_footer_words"]);
    c.n_last_bits = lookup_u16(p, kKeys["n_last_bits"]) % 16u;
    c.chanmask = lookup_u16(p, kKeys["chanmask"]);
    c.chan_shift = lookup_u16(p, kKeys["chan_shift"]) % 16u;
    c.windmask = lookup_u16(p, kKeys["windmask"]);
    c.datamask = lookup_u16(p, kKeys["datamask"]);
    c.channel_block_words = checked_add(c.n_channel_headers, c.samples);

    c.length_table.channels = c.channels;
    c.length_table.windows = c.windows;
    c.length_table.base_words = 4;
    c.length_table.block_extra = 1;
    c.length_table.channel_block_words = c.channel_block_words;
    c.length_table.fit_words = checked_add(c.n_event_headers, c.n_window_headers);
    return c;
}

std::optional<ChanWinds> get_chan_winds(const Layout& layout, Bytes bytes) {
    return select_chan_winds(bytes.size(), layout.length_table);
}

}  // namespace quarvelv3

template <>
std::span<const LayoutKey> layout_keys<Quarvelv3Event>() {
    return quarvelv3::kKeys.keys;
}

template <>
Result<Quarvelv3Event, ParsingError> parse_into<Quarvelv3Event>(Bytes packet, const Params& params) {
    BRIMO_TRY(check_word_packet(packet));
    BRIMO_ASSIGN_OR_RETURN(const quarvelv3::Layout lay, quarvelv3::Layout::from(params));
    const auto counts = quarvelv3::get_chan_winds(lay, packet);
    if (!counts) return err(ParsingError::UnexpectedLength);
    const std::uint64_t J = counts->channels;

    const Words words = load_words_be(packet);
    const std::uint64_t N = words.size();

    // Region [H, N - F + 1): with non-default keys it may start after its end or end past the packet.
    const std::uint64_t H = lay.n_event_headers, F = lay.n_footer_words;
    if (F == 0 || F - 1 > N) return err(ParsingError::UnexpectedLength);
    const std::uint64_t region_end = N - (F - 1);
    if (H > region_end) return err(ParsingError::UnexpectedLength);
    const std::span<const std::uint16_t> region(words.data() + H, region_end - H);

    BRIMO_ASSIGN_OR_RETURN(Quarvelv3Event event, new_event<Quarvelv3Event>(lay.channels));

    const std::uint64_t B = *lay.channel_block_words;  // a length matched, so B fits 64 bits
    ChannelBlockLayout blocks =
        ChannelBlockLayout::of(B, lay.chanmask, lay.chan_shift, lay.windmask, lay.datamask, lay.n_last_bits);
    // The first window block's J channel blocks (of at least one word: a block of none has no header
    // to read) must lie in the region and name valid channels.
    BRIMO_TRY(read_window_blocks(region, J, lay.n_window_headers, blocks, event));

    return with_time_axis(std::move(event), params);
}

}  // namespace brimo
