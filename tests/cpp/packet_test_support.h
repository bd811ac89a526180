// Small helpers for parser tests: Params with layout keys, packet byte writers, and the YAML values
// that a layout-key lookup must refuse.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include "acquisition/metadata.h"
#include "parsing/framework.h"

namespace brimo::testing {

inline Params make_params(const char* model, std::uint64_t channels, std::uint64_t windows, std::uint64_t samples,
                          std::initializer_list<std::pair<const char*, YamlValue>> keys = {}) {
    Params p;
    p.model = model;
    p.channels = channels;
    p.windows = windows;
    p.samples = samples;
    for (const auto& [k, v] : keys) p.extra.emplace_back(YamlValue::from_string(k), v);
    return p;
}

inline YamlValue u(std::uint64_t v) { return YamlValue::from_uint(v); }

// Replaces or adds one layout key.
inline void set_key(Params& p, const char* key, YamlValue v) {
    for (auto& [k, old] : p.extra)
        if (k.is_string(key)) {
            old = std::move(v);
            return;
        }
    p.extra.emplace_back(YamlValue::from_string(key), std::move(v));
}

// Values that are not non-negative integers: every one of them leaves the key's default in force.
inline std::vector<std::pair<std::string, YamlValue>> unusable_values() {
    YamlValue seq;
    seq.kind = YamlValue::Kind::Sequence;
    seq.sequence.push_back(u(3));
    return {{"-1", YamlValue::from_int(-1)},
            {"1.5", YamlValue::from_float(1.5)},
            {"\"3\"", YamlValue::from_string("3")},
            {"true", YamlValue::from_bool(true)},
            {"null", YamlValue::null()},
            {"[3]", seq},
            {"!tag -1", YamlValue::make_tagged("!t", YamlValue::from_int(-1))}};
}

// A tagged integer counts: the tag is looked through, repeatedly.
inline YamlValue tagged(std::uint64_t v) {
    return YamlValue::make_tagged("!outer", YamlValue::make_tagged("!inner", u(v)));
}

struct Packet {
    std::vector<std::uint8_t> bytes;

    Packet& byte(std::uint8_t b) { bytes.push_back(b); return *this; }
    Packet& fill(std::size_t n, std::uint8_t b = 0) { bytes.insert(bytes.end(), n, b); return *this; }
    Packet& be(std::uint16_t w) { return byte(std::uint8_t(w >> 8)).byte(std::uint8_t(w)); }
    Packet& le(std::uint16_t w) { return byte(std::uint8_t(w)).byte(std::uint8_t(w >> 8)); }
    Packet& be(std::initializer_list<std::uint16_t> ws) { for (auto w : ws) be(w); return *this; }
    Packet& le(std::initializer_list<std::uint16_t> ws) { for (auto w : ws) le(w); return *this; }
    Packet& be(const std::vector<std::uint16_t>& ws) { for (auto w : ws) be(w); return *this; }
    Packet& le(const std::vector<std::uint16_t>& ws) { for (auto w : ws) le(w); return *this; }
    Bytes span() const { return Bytes(bytes); }
};

inline std::vector<std::uint16_t> iota16(std::size_t n, std::uint16_t from = 0) {
    std::vector<std::uint16_t> v(n);
    std::iota(v.begin(), v.end(), from);
    return v;
}

inline std::vector<float> as_floats(const std::vector<std::uint16_t>& v) { return {v.begin(), v.end()}; }

template <class Event>
Result<Event, ParsingError> parse(const Packet& pk, const Params& p) {
    return parse_into<Event>(pk.span(), p);
}

// The error of a failed parse, or a failure of the test when it succeeded.
template <class Event>
::testing::AssertionResult fails_with(const Result<Event, ParsingError>& r, ParsingError e) {
    if (r.ok()) return ::testing::AssertionFailure() << "parse succeeded, expected " << message(e);
    if (r.error() != e) return ::testing::AssertionFailure() << "got \"" << message(r.error()) << "\", expected \"" << message(e) << "\"";
    return ::testing::AssertionSuccess();
}

}  // namespace brimo::testing
