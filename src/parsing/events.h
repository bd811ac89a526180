// The event records produced by the parsers. Every record begins with the three per-channel fields
// of EventBase; generic code (correction, CSV rows, dict conversion) works on those through the base.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace brimo {

struct EventBase {
    // Samples of each channel, window after window in packet order.
    std::vector<std::vector<float>> data;
    // Window number of each window read for the channel, in packet order.
    std::vector<std::vector<std::uint16_t>> window_labels;
    // Time axis of each channel in sample units, parallel to data.
    std::vector<std::vector<std::uint16_t>> time;

    // What a record carries beyond these fields. Generic code (dict conversion, CSV columns, arrays,
    // the fuzz invariants) asks these traits, which records override, instead of naming record types.
    static constexpr bool has_timing = false;             // `timing`: one value per window; time axes follow it
    static constexpr bool has_ecc = false;                // `chip_numbers` and `ecc_errors`
    static constexpr bool has_window_tail_words = false;  // `window_tail_words`
    static constexpr std::size_t fixed_channels = 0;      // channel entries when not params "channels"

    EventBase() = default;
    explicit EventBase(std::size_t channels) : data(channels), window_labels(channels), time(channels) {}
};

struct Pellorv3Event : EventBase {
    using EventBase::EventBase;
    std::uint32_t header_value = 0;
    std::uint16_t header_byte = 0;
};

struct Mirranv2Event : EventBase {
    using EventBase::EventBase;
    std::uint32_t header_value = 0;
    std::uint16_t header_byte = 0;
};

struct Quarvelv3Event : EventBase {
    using EventBase::EventBase;
    std::uint64_t reserved = 0;  // always 0
};

struct OviskEvent : EventBase {
    using EventBase::EventBase;
};

struct Skerd16Event : EventBase {
    using EventBase::EventBase;
};

struct Kivrov1Event : EventBase {
    using EventBase::EventBase;
};

struct Pellorv3SEvent : EventBase {
    using EventBase::EventBase;
    static constexpr bool has_window_tail_words = true;
    std::vector<std::uint16_t> window_tail_words;  // last word of every window block, unmasked
};

struct Lanwev1Event : EventBase {
    using EventBase::EventBase;
    static constexpr bool has_timing = true;
    explicit Lanwev1Event(std::size_t channels) : EventBase(channels), timing(channels) {}
    std::vector<std::vector<std::uint32_t>> timing;  // one timing value per window
};

// One suspicious sample word as carried by a vombel96 event (the parser leaves these empty).
struct EccErrorRecord {
    std::uint64_t channel_offset = 0;
    std::uint64_t packet_offset = 0;
    std::uint16_t raw_word = 0;
    std::uint16_t corrected_word = 0;
    std::uint16_t bit_index = 0;
};

struct Vombel96Event : EventBase {
    using EventBase::EventBase;
    static constexpr bool has_ecc = true;
    static constexpr std::size_t fixed_channels = 96;
    std::vector<std::uint8_t> chip_numbers;
    std::vector<std::vector<EccErrorRecord>> ecc_errors;
};

}  // namespace brimo
