// lanwev1 packets (the four lanwe model values).
//
// An event is a stream of self-describing window packets of big-endian 16-bit words, each ending in
// a stop word. With W words per window packet and H header words:
//   word 0      channel word (channel = word & "chanmask")
//   words 1, 2  timing high and low parts: ((w1 & mask) << shift) | (w2 & mask), 24 bits by default
//   word 3      window word (window number = word & "abs_wind_mask")
//   words H ..  the window's samples, plain unsigned values
//   word W - 1  the stop word
// Runs that end in the stop word but are not exactly W words long are not window packets and are
// dropped, as are all-zero windows. Time axes follow the timing values, not the window numbers.
#include <algorithm>
#include <limits>
#include <string_view>

#include "parsing/framework.h"
#include "parsing/util.h"

namespace brimo {

namespace {

// "packet_size" is the window packet's size in bytes less two: W = "packet_size" / 2 + 1 words.
// "stop_word" is read from a hexadecimal string (see stop_word_of); its default is a number.
constexpr LayoutKeys<7> kKeys{{{
    {"chanmask", 0x003F},
    {"abs_wind_mask", 0x003F},
    {"timing_mask", 0x0FFF},
    {"timing_shift", 12},
    {"packet_size", 72},
    {"headers", 4},
    {"stop_word", 0xFA5A},
}}};

int hex_digit(char ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
}

// "stop_word" is written as a string of hexadecimal digits with an optional leading "+" and no
// "0x" prefix. Anything else, a YAML integer included, or a value beyond 64 bits, leaves the
// default in force. The low 16 bits of the number are the stop word.
std::uint16_t stop_word_of(const Params& params) {
    constexpr auto kDefaultStopWord = static_cast<std::uint16_t>(kKeys["stop_word"].default_value);
    const YamlValue* v = params.find("stop_word");
    if (!v) return kDefaultStopWord;
    const YamlValue& u = v->untagged();
    if (u.kind != YamlValue::Kind::String) return kDefaultStopWord;
    std::string_view s = u.text;
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty()) return kDefaultStopWord;
    std::uint64_t value = 0;
    for (char ch : s) {
        const int d = hex_digit(ch);
        if (d < 0 || value > (std::numeric_limits<std::uint64_t>::max() >> 4)) return kDefaultStopWord;
        value = (value << 4) | static_cast<std::uint64_t>(d);
    }
    return static_cast<std::uint16_t>(value);
}

struct Layout {
    std::uint16_t chanmask;
    std::uint16_t wind_mask;
    std::uint16_t timing_mask;
    unsigned timing_shift;
    std::uint64_t W;  // words per window packet
    std::uint64_t H;  // header words before the samples
    std::uint16_t stop_word;

    static Result<Layout, ParsingError> from(const Params& params) {
        return Layout{
            lookup_u16(params, kKeys["chanmask"]),
            lookup_u16(params, kKeys["abs_wind_mask"]),
            lookup_u16(params, kKeys["timing_mask"]),
            static_cast<unsigned>(lookup_u64(params, kKeys["timing_shift"]) & 31),
            lookup_u64(params, kKeys["packet_size"]) / 2 + 1,
            lookup_u64(params, kKeys["headers"]),
            stop_word_of(params),
        };
    }
};

}  // namespace

template <>
std::span<const LayoutKey> layout_keys<Lanwev1Event>() {
    return kKeys.keys;
}

template <>
Result<Lanwev1Event, ParsingError> parse_into<Lanwev1Event>(Bytes packet, const Params& params) {
    // An empty packet is not refused here: it has no window packet, which is reported below.
    if (packet.size() % 2 != 0) return err(ParsingError::UnexpectedLength);
    BRIMO_ASSIGN_OR_RETURN(const Layout lay, Layout::from(params));
    const std::uint16_t chanmask = lay.chanmask, wind_mask = lay.wind_mask, timing_mask = lay.timing_mask;
    const unsigned timing_shift = lay.timing_shift;
    const std::uint64_t W = lay.W, H = lay.H;
    const std::uint16_t stop_word = lay.stop_word;
    const std::uint64_t S = params.samples;

    const std::uint8_t* const p = packet.data();

    // Window packets: runs of exactly W words ending in the stop word.
    const std::uint8_t stop_bytes[2] = {static_cast<std::uint8_t>(stop_word >> 8), static_cast<std::uint8_t>(stop_word)};
    const std::uint64_t n = packet.size() / 2;
    std::vector<std::uint64_t> starts;
    for (std::uint64_t run = 0, i; (i = find_word(p, run, n, stop_bytes)) < n; run = i + 1)
        if (i + 1 - run == W) starts.push_back(run);
    if (starts.empty()) return err(ParsingError::EmptyPackage);

    BRIMO_ASSIGN_OR_RETURN(Lanwev1Event ev, new_event<Lanwev1Event>(params.channels));

    // Room for every window packet naming a channel, so that the channels' sequences grow once. The
    // count is an upper bound (all-zero windows are skipped below); when the samples cannot fit a
    // window packet the parse fails below and nothing is reserved.
    if (W >= H && S <= W - H) {
        std::vector<std::uint32_t> windows_of(params.channels);
        for (const std::uint64_t start : starts) {
            const std::uint64_t c = load_be16(p + 2 * start) & chanmask;
            if (c < params.channels) ++windows_of[c];
        }
        for (std::size_t c = 0; c < windows_of.size(); ++c) {
            if (windows_of[c] == 0) continue;
            ev.data[c].reserve(windows_of[c] * S);
            ev.window_labels[c].reserve(windows_of[c]);
            ev.timing[c].reserve(windows_of[c]);
        }
    }

    for (const std::uint64_t start : starts) {
        const std::uint8_t* const w = p + 2 * start;
        if (W < H) continue;
        // All-zero windows (or windows with nothing to look at) are never filed.
        std::uint16_t any = 0;
        const std::uint64_t look = std::min(S, W - H);
        for (std::uint64_t k = 0; k < look; ++k) any |= load_be16(w + 2 * (H + k));
        if (any == 0) continue;

        const std::uint64_t channel = load_be16(w) & chanmask;
        if (channel >= params.channels) return err(ParsingError::InvalidChannel);
        // The header words and all S samples must lie inside the window packet.
        if (W < 4 || S > W - H) return err(ParsingError::UnexpectedLength);

        append_be_samples(ev.data[channel], w + 2 * H, S, 0xFFFF);
        ev.window_labels[channel].push_back(static_cast<std::uint16_t>(load_be16(w + 6) & wind_mask));
        const std::uint32_t hi = load_be16(w + 2) & timing_mask;
        const std::uint32_t lo = load_be16(w + 4) & timing_mask;
        ev.timing[channel].push_back((hi << timing_shift) | lo);
    }

    // Each channel's time axis starts at its first timing value relative to the earliest first
    // timing value of the event, in units of a window of S samples, and runs on without a break
    // for every sample of the channel; values wrap modulo 65536 like every time axis.
    bool any_timing = false;
    std::uint32_t t_min = std::numeric_limits<std::uint32_t>::max();
    for (const auto& t : ev.timing) {
        if (t.empty()) continue;
        any_timing = true;
        t_min = std::min(t_min, t.front());
    }
    if (!any_timing) return err(ParsingError::MissingData);
    for (std::size_t c = 0; c < ev.window_labels.size(); ++c) {
        if (ev.window_labels[c].empty()) continue;
        const std::uint64_t offset = ev.timing[c].front() - t_min;
        const std::size_t count = ev.data[c].size();
        fill_ramp(grow(ev.time[c], count), static_cast<std::uint16_t>(offset * S), count);
    }
    return ev;
}

}  // namespace brimo
