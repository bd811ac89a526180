// Pedestal calibration: the baseline of every cell (channel, window number, sample position),
// stored with an acquisition as a gzip-compressed Python pickle, and its subtraction from events.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "acquisition/metadata.h"
#include "error/result.h"
#include "parsing/events.h"

namespace brimo {

// Why a pedestal file could not be decoded. Never shown to users (the export then runs uncorrected),
// but kept for tests and debugging.
struct PedestalDecodeError {
    std::string what;
};

// Correction failed for one event; carries no data.
struct CorrectionError {};

struct Pedestals {
    // data[channel][window number][sample position]; need not be rectangular.
    std::vector<std::vector<std::vector<float>>> data;

    static Result<Pedestals, PedestalDecodeError> from_bytes(std::span<const std::uint8_t> file);

    // Subtracts the pedestal of each sample's cell from event.data, channels 0..params.channels-1.
    Result<void, CorrectionError> correct(EventBase& event, const Params& params) const;
};

// The export's parameters with an optional pedestal table; absent pedestals leave events unchanged.
struct Corrections {
    Params params;
    std::optional<Pedestals> pedestals_table;

    Corrections pedestals(std::optional<Pedestals> p) && {
        pedestals_table = std::move(p);
        return std::move(*this);
    }
};

}  // namespace brimo
