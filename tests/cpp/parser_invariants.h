// Shared by the parser tests: params construction, a word-level packet writer, the invariant check of
// parsed events (the one the fuzz targets use), and a seeded driver that runs a parser over random
// packets and mutations of valid ones.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "parsing/framework.h"
#include "parsing/fuzz_entry.h"

namespace brimo::test {

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

// Packet bytes written word by word.
struct Packet {
    std::vector<std::uint8_t> bytes;
    Packet& be(std::uint16_t w) {
        bytes.push_back(static_cast<std::uint8_t>(w >> 8));
        bytes.push_back(static_cast<std::uint8_t>(w));
        return *this;
    }
    Packet& le(std::uint16_t w) {
        bytes.push_back(static_cast<std::uint8_t>(w));
        bytes.push_back(static_cast<std::uint8_t>(w >> 8));
        return *this;
    }
    Packet& be_n(std::size_t n, std::uint16_t w) {
        for (std::size_t i = 0; i < n; ++i) be(w);
        return *this;
    }
    Bytes span() const { return Bytes(bytes.data(), bytes.size()); }
};

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

// Model-specific checks on top of the generic invariants (field widths, samples per window).
template <class Event>
using ExtraCheck = std::function<::testing::AssertionResult(const Event&, Bytes)>;

struct DriveStats {
    std::size_t ok = 0;
    std::size_t errors = 0;
};

// Runs parse_into<Event> over `iterations` inputs: random packets (random lengths, or the length of
// a seed so that the length checks pass) and mutations of the seeds (bit flips, byte and word
// overwrites, truncation, extension, a dropped word). Every result must be an error value or an
// event that passes the invariants and `extra`. Stops at the first violation.
template <class Event>
DriveStats drive_random_and_mutated(const Params& params, const std::vector<std::vector<std::uint8_t>>& seeds,
                                    int iterations, std::uint64_t seed, ExtraCheck<Event> extra = {}) {
    std::mt19937_64 rng(seed);
    auto below = [&](std::uint64_t n) { return n == 0 ? 0 : rng() % n; };
    DriveStats stats;
    std::vector<std::uint8_t> pkt;
    for (int it = 0; it < iterations; ++it) {
        const bool random = seeds.empty() || it % 4 == 0;
        if (random) {
            const std::size_t len = !seeds.empty() && it % 8 == 0 ? seeds[below(seeds.size())].size() : below(300);
            pkt.resize(len);
            for (auto& b : pkt) b = static_cast<std::uint8_t>(rng());
        } else {
            pkt = seeds[below(seeds.size())];
            const int mutations = 1 + static_cast<int>(below(3));
            for (int m = 0; m < mutations; ++m) {
                switch (below(7)) {
                    case 0:
                        if (!pkt.empty()) pkt[below(pkt.size())] ^= static_cast<std::uint8_t>(1u << below(8));
                        break;
                    case 1:
                        if (!pkt.empty()) pkt[below(pkt.size())] = static_cast<std::uint8_t>(rng());
                        break;
                    case 2:
                        if (pkt.size() >= 2) {
                            const std::size_t at = below(pkt.size() - 1);
                            pkt[at] = pkt[at + 1] = below(2) ? 0xFF : 0x00;
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
                    default: break;  // unchanged: the seed itself must parse cleanly too
                }
            }
        }
        const Bytes b(pkt.data(), pkt.size());
        auto r = parse_into<Event>(b, params);
        if (!r) {
            ++stats.errors;
            continue;
        }
        ++stats.ok;
        auto inv = invariants_hold(r.value(), params, b);
        if (inv && extra) inv = extra(r.value(), b);
        if (!inv) {
            ADD_FAILURE() << "iteration " << it << ": " << inv.message();
            return stats;
        }
    }
    return stats;
}

}  // namespace brimo::test
