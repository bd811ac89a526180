#include "parsing/util.h"

namespace brimo {

namespace {
// A channel's time axis never needs more values than a packet could carry samples; a product of
// labels and "samples" beyond this comes from absurd parameters and would only exhaust memory.
constexpr std::uint64_t kMaxTimeValues = std::uint64_t(1) << 30;
}  // namespace

void append_window_time(std::vector<std::uint16_t>& out, std::uint16_t rel, std::uint64_t samples) {
    const std::uint32_t base = static_cast<std::uint32_t>(rel) * static_cast<std::uint32_t>(samples);
    const std::size_t at = out.size();
    out.resize(at + samples);
    std::uint16_t* o = out.data() + at;
    for (std::uint64_t n = 0; n < samples; ++n) o[n] = static_cast<std::uint16_t>(base + static_cast<std::uint32_t>(n));
}

Result<void, ParsingError> set_time_axis(std::vector<std::vector<std::uint16_t>>& time,
                                         const std::vector<std::vector<std::uint16_t>>& window_labels,
                                         const Params& params) {
    const std::uint64_t S = params.samples;
    for (std::uint64_t c = 0; c < params.channels; ++c) {
        if (c >= window_labels.size()) return err(ParsingError::MissingData);
        const auto& labels = window_labels[c];
        if (labels.empty()) continue;
        if (c >= time.size()) return err(ParsingError::MissingData);
        if (S != 0 && labels.size() > kMaxTimeValues / S) return err(ParsingError::InvalidParameters);
        auto& t = time[c];
        t.reserve(t.size() + labels.size() * S);
        const std::uint16_t first = labels[0];
        for (std::uint16_t w : labels) append_window_time(t, relative_window(w, first, params.windows), S);
    }
    return {};
}

}  // namespace brimo
