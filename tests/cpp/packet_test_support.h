// Shared by the parser tests: Params with layout keys, a packet writer, the YAML values a layout-key
// lookup must refuse, the invariant check of parsed events (the one the fuzz targets use), and a
// seeded driver that runs a parser over random packets and mutations of valid ones.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "acquisition/metadata.h"
#include "parsing/framework.h"
#include "fuzz_entry.h"

namespace brimo::testing {

inline Params make_params(std::string model, std::uint64_t channels, std::uint64_t windows, std::uint64_t samples,
                          std::vector<std::pair<std::string, YamlValue>> keys = {}) {
    Params p;
    p.model = std::move(model);
    p.channels = channels;
    p.windows = windows;
    p.samples = samples;
    for (auto& [k, v] : keys) p.extra.emplace_back(YamlValue::from_string(k), std::move(v));
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

// One layout key set to one value, with the value as written in the YAML file.
struct KeyChange {
    std::string key, shown;
    YamlValue value;
};

// Every value of unusable_values() for every one of `keys`.
inline std::vector<KeyChange> unusable_for(std::initializer_list<const char*> keys) {
    std::vector<KeyChange> out;
    for (const char* key : keys)
        for (auto& [shown, value] : unusable_values()) out.push_back({key, shown, value});
    return out;
}

// Packet bytes written byte by byte or word by word.
struct Packet {
    std::vector<std::uint8_t> bytes;

    Packet& byte(std::uint8_t b) { bytes.push_back(b); return *this; }
    Packet& fill(std::size_t n, std::uint8_t b = 0) { bytes.insert(bytes.end(), n, b); return *this; }
    Packet& be(std::uint16_t w) { return byte(std::uint8_t(w >> 8)).byte(std::uint8_t(w)); }
    Packet& le(std::uint16_t w) { return byte(std::uint8_t(w)).byte(std::uint8_t(w >> 8)); }
    Packet& be_n(std::size_t n, std::uint16_t w) { for (std::size_t i = 0; i < n; ++i) be(w); return *this; }
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

using U16s = std::vector<std::uint16_t>;

// A channel block of the layouts built of window blocks: its channel and window fields, its samples.
struct ChanBlock {
    std::uint16_t channel, label;
    U16s samples;
};
using WindowBlocks = std::vector<std::vector<ChanBlock>>;

// J channels 0..J-1 in each of I window blocks, labels first_label + w, samples 100*c + 10*w + n.
inline WindowBlocks regular_blocks(std::uint16_t J, std::uint16_t I, std::uint16_t S, std::uint16_t first_label) {
    WindowBlocks wins(I);
    for (std::uint16_t w = 0; w < I; ++w)
        for (std::uint16_t c = 0; c < J; ++c) {
            ChanBlock b{c, static_cast<std::uint16_t>(first_label + w), {}};
            for (std::uint16_t n = 0; n < S; ++n) b.samples.push_back(static_cast<std::uint16_t>(100 * c + 10 * w + n));
            wins[w].push_back(b);
        }
    return wins;
}

// I window blocks of C channel blocks, each naming any channel below C, with a label below `labels`
// and S samples below `values`. `data` and `window_labels` (C entries) receive what a parse must give.
inline WindowBlocks random_blocks(std::mt19937& rng, std::uint64_t C, std::uint64_t I, std::uint64_t S,
                                  unsigned labels, unsigned values, std::vector<std::vector<float>>& data,
                                  std::vector<U16s>& window_labels) {
    WindowBlocks wins(I);
    data.assign(C, {});
    window_labels.assign(C, {});
    for (auto& blocks : wins)
        for (std::uint64_t k = 0; k < C; ++k) {
            ChanBlock b{static_cast<std::uint16_t>(rng() % C), static_cast<std::uint16_t>(rng() % labels), {}};
            for (std::uint64_t n = 0; n < S; ++n) b.samples.push_back(static_cast<std::uint16_t>(rng() % values));
            data[b.channel].insert(data[b.channel].end(), b.samples.begin(), b.samples.end());
            window_labels[b.channel].push_back(b.label);
            blocks.push_back(b);
        }
    return wins;
}

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

// Each change, applied alone to `base`, must leave the parse of `pk` exactly as it is under `base`.
template <class Event>
void expect_same_parse(const Packet& pk, const Params& base, const std::vector<KeyChange>& changes) {
    const auto ref = parse<Event>(pk, base);
    ASSERT_TRUE(ref.ok()) << message(ref.error());
    for (const KeyChange& c : changes) {
        SCOPED_TRACE(c.key + " = " + c.shown);
        Params p = base;
        set_key(p, c.key.c_str(), c.value);
        const auto r = parse<Event>(pk, p);
        ASSERT_TRUE(r.ok()) << message(r.error());
        EXPECT_EQ(r->data, ref->data);
        EXPECT_EQ(r->window_labels, ref->window_labels);
        EXPECT_EQ(r->time, ref->time);
        if constexpr (requires { r->timing; }) {
            EXPECT_EQ(r->timing, ref->timing);
        }
    }
}

inline std::string hex(Bytes b) {
    static const char* d = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < b.size() && i < 256; ++i) {
        s += d[b[i] >> 4];
        s += d[b[i] & 15];
    }
    return b.size() > 256 ? s + "..." : s;
}

template <class Event>
::testing::AssertionResult invariants_hold(const Event& ev, const Params& params, Bytes packet) {
    const std::string why = event_invariants(ev, params, packet.size());
    if (why.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << why << " for packet " << hex(packet);
}

// Model-specific checks on top of the generic invariants (field widths, samples per window): empty
// text when they hold.
template <class Event>
using ExtraCheck = std::function<std::string(const Event&, const Params&, std::size_t packet_size)>;

struct DriveStats {
    std::size_t ok = 0;
    std::size_t errors = 0;
};

// Runs parse_into<Event> over `iterations` inputs: random packets (random lengths, or the length of
// a seed so that the length checks pass), the seeds themselves, and mutations of the seeds (bit
// flips, byte overwrites, all-zero, all-ones and stop words, truncation, extension, a dropped word or
// byte, a zeroed run). With `knobs`, every third input is parsed under params perturbed the way a
// corrupt metadata file might: a few of those layout keys and the channel, window or sample count
// set to small or extreme values. Every result must be an error value or an event that passes the
// invariants and `extra`. Stops at the first violation.
template <class Event>
DriveStats drive_random_and_mutated(const Params& params, const std::vector<std::vector<std::uint8_t>>& seeds,
                                    int iterations, std::uint64_t seed, ExtraCheck<Event> extra = {},
                                    const std::vector<const char*>& knobs = {}) {
    std::mt19937_64 rng(seed);
    auto below = [&](std::uint64_t n) { return n == 0 ? 0 : rng() % n; };
    const std::uint64_t extremes[] = {0, 1, 2, 3, 4, 7, 8, 16, 255, 0xFFFF, 0x10000, std::uint64_t(1) << 32,
                                      std::uint64_t(1) << 62, UINT64_MAX - 1, UINT64_MAX};
    auto pick = [&] { return below(2) ? extremes[below(std::size(extremes))] : below(64); };
    auto perturb = [&](Params p) {
        for (std::uint64_t n = below(3); n > 0; --n) set_key(p, knobs[below(knobs.size())], u(pick()));
        switch (below(8)) {
            case 0: p.channels = below(2) ? pick() : below(130); break;
            case 1: p.windows = below(2) ? pick() : below(20); break;
            case 2: p.samples = below(2) ? pick() : below(40); break;
            default: break;
        }
        return p;
    };
    DriveStats stats;
    std::vector<std::uint8_t> pkt;
    for (int it = 0; it < iterations; ++it) {
        const Params p = !knobs.empty() && it % 3 == 0 ? perturb(params) : params;
        if (seeds.empty() || it % 4 == 0) {
            const std::size_t len = !seeds.empty() && it % 8 == 0 ? seeds[below(seeds.size())].size() : below(600);
            pkt.resize(len);
            for (auto& b : pkt) b = static_cast<std::uint8_t>(rng());
        } else {
            pkt = seeds[below(seeds.size())];
            const int mutations = it % 4 == 1 ? 0 : 1 + static_cast<int>(below(4));
            for (int m = 0; m < mutations; ++m) {
                switch (below(8)) {
                    case 0:
                        if (!pkt.empty()) pkt[below(pkt.size())] ^= static_cast<std::uint8_t>(1u << below(8));
                        break;
                    case 1:
                        if (!pkt.empty()) pkt[below(pkt.size())] = static_cast<std::uint8_t>(rng());
                        break;
                    case 2:  // an all-zero, all-ones or stop word, at any byte offset
                        if (pkt.size() >= 2) {
                            const std::size_t at = below(pkt.size() - 1);
                            const std::uint16_t w = std::array<std::uint16_t, 3>{0x0000, 0xFFFF, 0xFA5A}[below(3)];
                            pkt[at] = std::uint8_t(w >> 8), pkt[at + 1] = std::uint8_t(w);
                        }
                        break;
                    case 3: pkt.resize(below(pkt.size() + 1)); break;
                    case 4:
                        for (std::uint64_t n = below(8); n > 0; --n) pkt.push_back(static_cast<std::uint8_t>(rng()));
                        break;
                    case 5:
                        if (pkt.size() >= 2) {
                            const std::size_t at = below(pkt.size() / 2) * 2;
                            pkt.erase(pkt.begin() + static_cast<std::ptrdiff_t>(at),
                                      pkt.begin() + static_cast<std::ptrdiff_t>(at + 2));
                        }
                        break;
                    case 6:
                        if (pkt.size() >= 2) pkt.erase(pkt.begin() + static_cast<std::ptrdiff_t>(below(pkt.size())));
                        break;
                    default:  // zero a run
                        if (!pkt.empty()) {
                            const std::size_t at = below(pkt.size());
                            std::fill(pkt.begin() + std::ptrdiff_t(at),
                                      pkt.begin() + std::ptrdiff_t(std::min(pkt.size(), at + below(80))), 0);
                        }
                }
            }
        }
        const Bytes b(pkt.data(), pkt.size());
        auto r = parse_into<Event>(b, p);
        if (!r) {
            ++stats.errors;
            continue;
        }
        ++stats.ok;
        auto inv = invariants_hold(r.value(), p, b);
        if (inv && extra)
            if (const std::string why = extra(r.value(), p, b.size()); !why.empty())
                inv = ::testing::AssertionFailure() << why << " for packet " << hex(b);
        if (!inv) {
            ADD_FAILURE() << "iteration " << it << ": " << inv.message();
            return stats;
        }
    }
    return stats;
}

// The driver above, which must reach both outcomes often, or it is not exploring anything.
template <class Event>
void drive_both(const Params& params, const std::vector<std::vector<std::uint8_t>>& seeds, int iterations,
                std::uint64_t seed, ExtraCheck<Event> extra = {}, const std::vector<const char*>& knobs = {},
                std::size_t at_least = 200) {
    const DriveStats stats = drive_random_and_mutated<Event>(params, seeds, iterations, seed, std::move(extra), knobs);
    EXPECT_GT(stats.ok, at_least);
    EXPECT_GT(stats.errors, at_least);
}

// Events of `samples` samples per window label, labels at most `label_max`, samples at most `sample_max`.
template <class Event>
ExtraCheck<Event> windowed(std::uint64_t samples, std::uint32_t label_max, float sample_max = 65535) {
    return [=](const Event& ev, const Params&, std::size_t) -> std::string {
        for (std::size_t c = 0; c < ev.data.size(); ++c) {
            if (ev.data[c].size() != samples * ev.window_labels[c].size()) return "S per window";
            for (std::uint16_t l : ev.window_labels[c])
                if (l > label_max) return "label wider than its field";
            for (float v : ev.data[c])
                if (v > sample_max) return "sample wider than its field";
        }
        return "";
    };
}

}  // namespace brimo::testing
