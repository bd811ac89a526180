#pragma once

#include <cstdint>
#include <vector>

#include "acquisition/metadata.h"
#include "error/errors.h"
#include "error/result.h"

namespace brimo {

// Relative window of label w against the channel's first label, wrapping around the end of a
// sample buffer of `windows` windows; 32-bit arithmetic, low 16 bits kept.
inline std::uint16_t relative_window(std::uint16_t w, std::uint16_t first, std::uint64_t windows) {
    const std::uint32_t W = static_cast<std::uint32_t>(windows);
    const std::uint32_t r = w >= first ? std::uint32_t(w) - first : std::uint32_t(w) + W - first;
    return static_cast<std::uint16_t>(r);
}

// Appends to `out` the S time values r*S + n (n = 0..S-1) of one window, each in 32-bit arithmetic
// truncated to 16 bits.
void append_window_time(std::vector<std::uint16_t>& out, std::uint16_t rel, std::uint64_t samples);

// Fills each channel's time axis from its window labels: channels 0..channels-1 of params, the first
// label of a channel as reference. MissingData when a channel index has no entry.
Result<void, ParsingError> set_time_axis(std::vector<std::vector<std::uint16_t>>& time,
                                         const std::vector<std::vector<std::uint16_t>>& window_labels,
                                         const Params& params);

}  // namespace brimo
