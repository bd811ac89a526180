// pellorv3 packets: big-endian 16-bit words. "n_event_headers" event header words, then windows of
// "n_window_headers" + S words each (the window's first word is its header, carrying the channel and
// window number in masked bit fields; the rest are sample words), then the event footer. The window
// region ends one word after N - "n_footers", so with the default of 2 only the last word is footer.
//
// A window's channel field only tells which channels the packet carries: the windows are dealt out
// round-robin to the channels present, taken in ascending order. This is how the board interleaves
// its channels, and pedestal correction and the CSV layout depend on the resulting order.
#include <algorithm>
#include <bit>

#include "parsing/framework.h"
#include "parsing/util.h"

namespace brimo {

namespace {

constexpr LayoutKeys<8> kKeys{{{
    {"databitmask", 0x1FFF},
    {"chanmask", 0x0600},
    {"chan_shift", 9},
    {"windmask", 0x01FE},
    {"n_last_bits", 1},
    {"n_event_headers", 3},
    {"n_window_headers", 1},
    {"n_footers", 2},
}}};

struct Layout {
    std::uint16_t databitmask;
    std::uint16_t chanmask;
    unsigned chan_shift;
    std::uint16_t windmask;
    unsigned last_shift;
    std::uint64_t n_event_headers;
    std::uint64_t n_window_headers;
    std::uint64_t n_footers;

    static Result<Layout, ParsingError> from(const Params& p) {
        return Layout{
            lookup_u16(p, kKeys["databitmask"]),
            lookup_u16(p, kKeys["chanmask"]),
            lookup_u16(p, kKeys["chan_shift"]) % 16u,
            lookup_u16(p, kKeys["windmask"]),
            static_cast<unsigned>(lookup_u64(p, kKeys["n_last_bits"]) % 16),
            lookup_u64(p, kKeys["n_event_headers"]),
            lookup_u64(p, kKeys["n_window_headers"]),
            lookup_u64(p, kKeys["n_footers"]),
        };
    }
};

// The distinct channel numbers of the window headers, ascending. Channel fields are at most 16 bits
// wide; a bitmap over the values the mask can produce keeps this linear in the number of windows.
std::vector<std::uint16_t> channel_set(const std::uint16_t* region, std::uint64_t windows, std::uint64_t window_words,
                                       const Layout& lay) {
    const unsigned max_channel = static_cast<unsigned>(lay.chanmask) >> lay.chan_shift;
    std::vector<std::uint64_t> seen(max_channel / 64 + 1, 0);
    if (max_channel < 64) {  // the usual case: the set fits one register
        std::uint64_t bits = 0;
        for (std::uint64_t r = 0; r < windows; ++r)
            bits |= std::uint64_t(1) << (static_cast<unsigned>(region[r * window_words] & lay.chanmask) >> lay.chan_shift);
        seen[0] = bits;
    } else {
        for (std::uint64_t r = 0; r < windows; ++r) {
            const unsigned c = static_cast<unsigned>(region[r * window_words] & lay.chanmask) >> lay.chan_shift;
            seen[c / 64] |= std::uint64_t(1) << (c % 64);
        }
    }
    std::vector<std::uint16_t> out;
    for (std::size_t i = 0; i < seen.size(); ++i)
        for (std::uint64_t bits = seen[i]; bits != 0; bits &= bits - 1)
            out.push_back(static_cast<std::uint16_t>(i * 64 + static_cast<unsigned>(std::countr_zero(bits))));
    return out;
}

}  // namespace

template <>
std::span<const LayoutKey> layout_keys<Pellorv3Event>() {
    return kKeys.keys;
}

template <>
Result<Pellorv3Event, ParsingError> parse_into<Pellorv3Event>(Bytes packet, const Params& params) {
    BRIMO_TRY(check_word_packet(packet));
    const std::uint64_t L = packet.size();
    BRIMO_ASSIGN_OR_RETURN(const Layout lay, Layout::from(params));

    // Preliminary check that the packet is H header words, windows of one header word and S samples,
    // and one footer word. S + 1 wraps to 0 only for S = 2^64 - 1, which no board has.
    const std::uint64_t S = params.samples;
    const std::uint64_t unit = S + 1;
    if (unit == 0) return err(ParsingError::InvalidParameters);
    const std::uint64_t H = lay.n_event_headers;
    if ((L / 2 - H - 1) % unit != 0) return err(ParsingError::UnexpectedLength);

    BRIMO_ASSIGN_OR_RETURN(Pellorv3Event event, new_event<Pellorv3Event>(params.channels));

    if (L < 3) return err(ParsingError::UnexpectedLength);
    const std::uint32_t b0 = packet[0], b1 = packet[1], b2 = packet[2];
    event.header_value = b0 * 65536 + b1 * 16 + (b2 != 0xFF ? b2 : 0);
    event.header_byte = static_cast<std::uint16_t>(b2);

    const Words words = load_words_be(packet);
    const std::uint64_t N = words.size();

    // Windows are cut every n_window_headers + S words. A window of no words, or a size that does
    // not fit 64 bits, is no layout at all.
    const auto window_words = checked_add(lay.n_window_headers, S);
    if (!window_words || *window_words == 0) return err(ParsingError::InvalidParameters);
    const std::uint64_t ww = *window_words;

    // The region [H, N - n_footers + 1) must lie within the packet and not start after its end.
    if (lay.n_footers == 0 || lay.n_footers - 1 > N) return err(ParsingError::UnexpectedLength);
    const std::uint64_t region_end = N - (lay.n_footers - 1);
    if (H > region_end) return err(ParsingError::UnexpectedLength);
    const std::uint64_t region_len = region_end - H;
    if (region_len % ww != 0) return err(ParsingError::UnexpectedLength);
    const std::uint64_t R = region_len / ww;
    const std::uint16_t* region = words.data() + H;

    const std::vector<std::uint16_t> P = channel_set(region, R, ww, lay);
    const std::uint64_t K = P.size();
    // Channels are checked in ascending order, so the largest decides.
    if (K != 0 && P.back() >= params.channels) return err(ParsingError::InvalidChannel);

    const std::uint64_t per_window = ww - 1;
    for (std::uint64_t i = 0; i < K; ++i) {
        const std::uint16_t c = P[i];
        const std::uint64_t n_windows = (R - i + K - 1) / K;  // windows i, i + K, i + 2K, ... below R
        std::vector<float>& data = event.data[c];
        std::vector<std::uint16_t>& labels = event.window_labels[c];
        data.resize(n_windows * per_window);
        labels.resize(n_windows);
        float* out = data.data();
        std::uint64_t n = 0;
        for (std::uint64_t r = i; r < R; r += K, ++n) {
            const std::uint16_t* win = region + r * ww;
            convert_samples(win + 1, per_window, lay.databitmask, lay.last_shift, out);
            out += per_window;
            labels[n] = static_cast<std::uint16_t>(static_cast<std::uint32_t>(win[0] & lay.windmask) >> lay.last_shift);
        }
    }

    return with_time_axis(std::move(event), params);
}

}  // namespace brimo
