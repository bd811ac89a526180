// vombel96 packets: 96 channels read out by several chips (six chips of sixteen channels by default).
//
// A packet is a run of chip blocks of `chip_size` bytes followed by an event footer of
// "n_event_footers" bytes. A chip block starts with "n_chip_headers" bytes (byte 0 carries the chip
// number in its low six bits), ends with "n_chip_footers" bytes, and in between holds one channel
// block per channel of the chip as little-endian 16-bit words. A channel block is
// "n_window_headers" header words (word 0 names the channel within the chip and the first window),
// every window of the channel's sample buffer starting at that first window, and "n_window_footers"
// footer words. Sample words hold the one's complement of the sample value.
//
// Note the mixed units: chip headers and footers and the event footer count bytes, window headers
// and footers count 16-bit words.
#include "parsing/framework.h"
#include "parsing/util.h"

namespace brimo {

namespace {

constexpr std::size_t kChannels = Vombel96Event::fixed_channels;
// Room reserved per channel so that a typical event fills its sequences without regrowing.
constexpr std::size_t kChannelReserve = 4096;
constexpr std::size_t kChipReserve = 6;

constexpr LayoutKeys<10> kKeys = LayoutKeys<4>{{{
                                     {"num_chips", 6},
                                     {"n_event_footers", 2},
                                     {"n_chip_headers", 1},
                                     {"n_chip_footers", 3},
                                 }}} +
                                 kFullBufferBlockKeys;

// The chip block and its channel blocks, from the keys; chip_size is nothing when beyond 64 bits.
struct Layout {
    FullBufferBlock block;
    std::uint64_t channels_per_chip = 0;
    std::uint64_t n_event_footers = 0;
    std::uint64_t n_chip_headers = 0;
    Size chip_size;

    // A zero "num_chips" leaves the channels per chip undefined.
    static Result<Layout, ParsingError> from(const Params& params) {
        const std::uint64_t num_chips = lookup_u64(params, kKeys["num_chips"]);
        if (num_chips == 0) return err(ParsingError::InvalidParameters);
        Layout lay;
        lay.block = FullBufferBlock::from(params);
        lay.channels_per_chip = params.channels / num_chips;
        lay.n_event_footers = lookup_u64(params, kKeys["n_event_footers"]);
        lay.n_chip_headers = lookup_u64(params, kKeys["n_chip_headers"]);
        const std::uint64_t n_chip_footers = lookup_u64(params, kKeys["n_chip_footers"]);
        lay.chip_size = checked_add(checked_add(lay.n_chip_headers, n_chip_footers),
                                    checked_mul(std::uint64_t(2), checked_mul(lay.channels_per_chip, lay.block.words)));
        return lay;
    }
};

}  // namespace

template <>
std::span<const LayoutKey> layout_keys<Vombel96Event>() {
    return kKeys.keys;
}

template <>
Result<Vombel96Event, ParsingError> parse_into<Vombel96Event>(Bytes packet, const Params& params) {
    BRIMO_TRY(check_word_packet(packet));
    const std::uint64_t L = packet.size();
    BRIMO_ASSIGN_OR_RETURN(const Layout pc, Layout::from(params));
    const FullBufferBlock& fb = pc.block;

    // The chip blocks fill everything before the event footer.
    if (L < pc.n_event_footers) return err(ParsingError::UnexpectedLength);
    const std::uint64_t body = L - pc.n_event_footers;
    std::uint64_t chips = 0;
    if (!pc.chip_size) {
        // A chip block larger than 64 bits: only an empty body holds a whole number of them.
        if (body != 0) return err(ParsingError::UnexpectedLength);
    } else {
        if (*pc.chip_size == 0) return err(ParsingError::InvalidParameters);
        if (body % *pc.chip_size != 0) return err(ParsingError::UnexpectedLength);
        chips = body / *pc.chip_size;
    }

    Vombel96Event ev(kChannels);
    for (std::size_t c = 0; c < kChannels; ++c) {
        ev.data[c].reserve(kChannelReserve);
        ev.window_labels[c].reserve(kChannelReserve);
        ev.time[c].reserve(kChannelReserve);
    }
    ev.chip_numbers.reserve(kChipReserve);
    ev.ecc_errors.resize(kChannels);

    // A chip block exists, so chip_size fits 64 bits; with channel blocks in it, so do their sizes.
    std::uint64_t blocks_per_chip = 0;
    std::uint64_t block_words = 0;
    std::uint64_t sample_words = 0;
    if (chips != 0 && pc.channels_per_chip != 0) {
        if (*fb.words == 0) return err(ParsingError::InvalidParameters);
        blocks_per_chip = pc.channels_per_chip;
        block_words = *fb.words;
        sample_words = *fb.samples_per_channel;
        if (fb.samples == 0 && chips * blocks_per_chip * (fb.windows & 0xFFFF) > kMaxSampleFreeLabels)
            return err(ParsingError::InvalidParameters);
    }
    const std::uint16_t cpc16 = static_cast<std::uint16_t>(pc.channels_per_chip);

    const std::uint8_t* chip = packet.data();
    for (std::uint64_t k = 0; k < chips; ++k, chip += *pc.chip_size) {
        const std::uint8_t chip_number = chip[0] & 0x3F;
        ev.chip_numbers.push_back(chip_number);
        const std::uint8_t* block = chip + pc.n_chip_headers;
        for (std::uint64_t b = 0; b < blocks_per_chip; ++b, block += 2 * block_words) {
            const std::uint16_t header = load_le16(block);
            const std::uint16_t in_chip = static_cast<std::uint16_t>(fb.channel(header));
            const std::uint16_t channel = static_cast<std::uint16_t>(cpc16 * chip_number + in_chip);
            if (channel >= kChannels) return err(ParsingError::InvalidChannel);
            fb.append(block, header, sample_words, ev.data[channel], ev.window_labels[channel]);
        }
    }

    // Channels beyond the event's 96 (params "channels" above 96) fail here with MissingData.
    return with_time_axis(std::move(ev), params);
}

}  // namespace brimo
