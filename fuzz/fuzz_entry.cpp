#include "fuzz_entry.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace brimo {

namespace {

// The layout keys of all board models, so that any parser can be handed non-default values.
constexpr std::array<std::string_view, 27> kLayoutKeys{
    "databitmask", "chanmask", "chan_shift", "windmask", "n_last_bits", "n_event_headers",
    "n_window_headers", "n_footers", "n_channel_headers", "datamask", "n_footer_words",
    "n_window_footers", "abs_wind_mask", "timing_mask", "timing_shift", "packet_size", "headers",
    "stop_word", "num_chips", "chip_stop_word", "n_chip_headers", "n_chip_footers",
    "n_event_footers", "data_mask", "timing", "channels", "model",
};

constexpr std::array<std::uint64_t, 16> kExtremes{
    0, 1, 2, UINT64_MAX, UINT64_MAX - 1, std::uint64_t(1) << 32, (std::uint64_t(1) << 32) + 1,
    std::uint64_t(1) << 63, 65535, 65536, 65537, kMaxChannels, kMaxChannels + 1, 96, 97, 0xFFFFFFFF,
};

// The model value that selects each parser in the model table.
constexpr std::string_view model_name(Model m) {
    switch (m) {
        case Model::Pellorv3: return "pellorv3";
        case Model::Pellorv3S: return "pellorv3s";
        case Model::Quarvelv3: return "quarvelv3";
        case Model::Lanwev1: return "lanwev1_evalr2";
        case Model::Ovisk: return "ovisk_pellor";
        case Model::Skerd16: return "skerd16";
        case Model::Kivrov1: return "kivro";
        case Model::Vombel96: return "vombel96";
        case Model::Mirranv2: break;
    }
    return "mirranv2";
}

std::uint64_t count(std::uint16_t v, std::uint64_t limit) {
    return v >= 0xFF00 ? kExtremes[v % kExtremes.size()] : v % (limit + 1);
}

YamlValue key_value(std::uint8_t kind, std::uint16_t v) {
    switch (kind % 8) {
        case 0: return YamlValue::from_uint(v);
        case 1: return YamlValue::from_uint(UINT64_MAX - v);
        case 2: return YamlValue::from_int(-std::int64_t(v) - 1);
        case 3: return YamlValue::from_float(v + 0.5);
        case 4: return YamlValue::from_string(std::to_string(v));
        case 5: return YamlValue::from_bool(v & 1);
        case 6: return YamlValue::make_tagged("!t", YamlValue::from_uint(v));
        default: return YamlValue::from_uint(std::uint64_t(v) << 16);
    }
}

}  // namespace

Model fuzz_model(std::uint8_t selector) {
    static_assert(kFuzzModels == std::size_t(Model::Mirranv2) + 1, "every model has a selector");
    return static_cast<Model>(selector % kFuzzModels);
}

FuzzInput decode_fuzz_input(Model model, const std::uint8_t* data, std::size_t size) {
    FuzzReader r{data, size};
    FuzzInput in;
    in.params.model = std::string(model_name(model));
    in.params.channels = count(r.u16(), 128);
    in.params.windows = count(r.u16(), 1024);
    in.params.samples = count(r.u16(), 1024);
    const unsigned keys = r.u8() % 9;
    for (unsigned k = 0; k < keys; ++k) {
        const std::string_view name = kLayoutKeys[r.u8() % kLayoutKeys.size()];
        const std::uint8_t kind = r.u8();
        const std::uint16_t v = r.u16();
        in.params.extra.emplace_back(YamlValue::from_string(std::string(name)), key_value(kind, v));
    }
    const std::size_t at = std::min(r.pos, size);
    in.packet = Bytes(data + at, size - at);
    return in;
}

std::string parse_and_check(Model model, Bytes packet, const Params& params) {
    return visit_model(model, [&](auto tag) -> std::string {
        using Event = typename decltype(tag)::type;
        auto result = parse_into<Event>(packet, params);
        if (!result) {
            if (result.error() > ParsingError::Unknown) return "error value out of range";
            return {};
        }
        return event_invariants(result.value(), params, packet.size());
    });
}

std::string fuzz_parse(Model model, const std::uint8_t* data, std::size_t size) {
    const FuzzInput in = decode_fuzz_input(model, data, size);
    return parse_and_check(model, in.packet, in.params);
}

}  // namespace brimo
