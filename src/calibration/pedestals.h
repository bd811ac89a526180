// Pedestal calibration: the baseline of every cell (channel, window number, sample position),
// stored with an acquisition as a gzip-compressed Python pickle, and its subtraction from events.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "acquisition/metadata.h"
#include "error/result.h"
#include "parsing/events.h"

namespace brimo {

// Why a pedestal file could not be decoded. Never shown to users (the export then runs uncorrected),
// but kept for tests and debugging.
using PedestalDecodeError = Error;

// Correction failed for one event; carries no data.
struct CorrectionError {};

struct Pedestals {
    // data[channel][window number][sample position]; need not be rectangular.
    std::vector<std::vector<std::vector<float>>> data;

    static Result<Pedestals, PedestalDecodeError> from_bytes(std::span<const std::uint8_t> file);

    // Subtracts the pedestal of each sample's cell from event.data, channels 0..params.channels-1.
    // A channel with samples needs params "samples" > 0: with 0 the window of a sample is undefined
    // and the event is refused.
    Result<void, CorrectionError> correct(EventBase& event, const Params& params) const;
};

// An optional pedestal table that copies cheaply: copies share one immutable table, so a copy
// behaves exactly like a deep copy (nothing can change the table through it) while costing a
// reference count. Used like std::optional<Pedestals> for reading.
class SharedPedestals {
public:
    SharedPedestals() = default;
    SharedPedestals(std::nullopt_t) {}
    SharedPedestals(Pedestals p) : p_(std::make_shared<const Pedestals>(std::move(p))) {}
    SharedPedestals(std::optional<Pedestals> p) {
        if (p) p_ = std::make_shared<const Pedestals>(std::move(*p));
    }
    SharedPedestals(std::shared_ptr<const Pedestals> p) : p_(std::move(p)) {}

    bool has_value() const { return p_ != nullptr; }
    explicit operator bool() const { return has_value(); }
    const Pedestals& operator*() const { return *p_; }
    const Pedestals* operator->() const { return p_.get(); }
    const Pedestals& value() const { return *p_; }
    void reset() { p_.reset(); }
    // The shared table itself (null when absent).
    const std::shared_ptr<const Pedestals>& shared() const { return p_; }

    friend bool operator==(const SharedPedestals& a, std::nullopt_t) { return !a.has_value(); }

private:
    std::shared_ptr<const Pedestals> p_;
};

// The export's parameters with an optional pedestal table; absent pedestals leave events unchanged.
struct Corrections {
    Params params;
    SharedPedestals pedestals_table;

    // Builder step: replaces the table (a previous one is released). Takes a Pedestals, an
    // std::optional<Pedestals>, std::nullopt or a std::shared_ptr<const Pedestals>.
    Corrections pedestals(SharedPedestals p) && {
        pedestals_table = std::move(p);
        return std::move(*this);
    }

    // Corrects `event` when a table is present; success otherwise.
    Result<void, CorrectionError> apply(EventBase& event) const {
        if (!pedestals_table) return {};
        return pedestals_table->correct(event, params);
    }
};

}  // namespace brimo
