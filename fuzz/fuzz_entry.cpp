#include "fuzz_entry.h"

#include <algorithm>
#include <array>
#include <vector>
#include <string_view>

namespace brimo {

namespace {

// Every layout key of every parser, so that any parser can be handed non-default values, and the
// keys with a meaning of their own elsewhere in params.
const std::vector<std::string_view>& layout_key_names() {
    static const std::vector<std::string_view> names = [] {
        std::vector<std::string_view> out;
        for (std::size_t m = 0; m < kModelCount; ++m)
            for (const LayoutKey& k : layout_keys(static_cast<Model>(m)))
                if (std::find(out.begin(), out.end(), k.key) == out.end()) out.push_back(k.key);
        for (std::string_view extra : {"timing", "channels", "model"}) out.push_back(extra);
        return out;
    }();
    return names;
}

constexpr std::array<std::uint64_t, 16> kExtremes{
    0, 1, 2, UINT64_MAX, UINT64_MAX - 1, std::uint64_t(1) << 32, (std::uint64_t(1) << 32) + 1,
    std::uint64_t(1) << 63, 65535, 65536, 65537, kMaxChannels, kMaxChannels + 1, 96, 97, 0xFFFFFFFF,
};

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
    return static_cast<Model>(selector % kModelCount);
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
        const auto& names = layout_key_names();
        const std::string_view name = names[r.u8() % names.size()];
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
