// libFuzzer target for the metadata reader: the input is the text of metadata.yml. A document the
// reader accepts is then queried the way the parsers query it (model name, every layout key).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "acquisition/metadata.h"
#include "parsing/models.h"

namespace {

constexpr std::string_view kKeys[] = {
    "databitmask", "chanmask", "chan_shift", "windmask", "n_last_bits", "n_event_headers",
    "n_window_headers", "n_footers", "n_channel_headers", "datamask", "n_footer_words",
    "n_window_footers", "abs_wind_mask", "timing_mask", "timing_shift", "packet_size", "headers",
    "stop_word", "num_chips", "chip_stop_word", "n_chip_headers", "n_chip_footers",
    "n_event_footers", "data_mask", "timing", "channels", "model", "",
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto md = brimo::parse_metadata(text);
    if (!md) return 0;
    const brimo::Params& p = md->params;
    (void)brimo::model_from_name(p.model);
    for (std::string_view key : kKeys) {
        const brimo::YamlValue* v = p.find(key);
        const auto u = brimo::lookup_uint(p, key);
        // A key that reads as a number is present.
        if (u && !v) {
            std::fprintf(stderr, "key %.*s reads as a number but is absent\n", int(key.size()), key.data());
            std::abort();
        }
        if (v) (void)v->untagged();
    }
    return 0;
}
