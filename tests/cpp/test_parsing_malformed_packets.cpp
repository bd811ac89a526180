// Runs the lanwev1, ovisk, skerd16, vombel96 and kivrov1 parsers over a few thousand seeded random
// and mutated packets, under default and randomly perturbed parameters. Every call must return an
// error value or an event whose shape holds together; none may crash (run under the sanitizers too).
#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <random>
#include <sstream>

#include "packet_test_support.h"
#include "parsing/util.h"

using namespace brimo;
using namespace brimo::testing;

namespace {

// Bounds a model places on its labels and samples; empty text when they hold.
struct Bounds {
    std::uint64_t channels;        // entries of the per-channel sequences
    std::uint64_t timed_channels;  // channels whose time axis is built
    std::uint64_t label_limit;     // labels are below this
    std::uint64_t sample_limit;    // samples are at most this
    // lanwev1, ovisk, kivrov1: one label per window of S samples, time as long as data. skerd16 and
    // vombel96 label a whole channel block at once (possibly with no labels at all when the first
    // window lies within "windows" of 65536): time has S values per label, data whole blocks.
    bool label_per_window;
};

template <class Event>
std::string check_shape(const Event& ev, const Params& p, std::size_t packet_size, const Bounds& b) {
    std::ostringstream why;
    if (ev.data.size() != b.channels || ev.window_labels.size() != b.channels || ev.time.size() != b.channels)
        return "per-channel sequences of the wrong count";
    std::uint64_t samples = 0;
    for (std::size_t c = 0; c < b.channels; ++c) {
        const auto& d = ev.data[c];
        const auto& l = ev.window_labels[c];
        const auto& t = ev.time[c];
        samples += d.size();
        if (b.label_per_window) {
            if (d.size() != l.size() * p.samples) why << "channel " << c << " samples per window; ";
            if (c < b.timed_channels && !l.empty() && t.size() != d.size())
                why << "channel " << c << " time " << t.size() << " vs data " << d.size() << "; ";
        } else if (c < b.timed_channels && t.size() != l.size() * p.samples) {
            why << "channel " << c << " time " << t.size() << " vs labels " << l.size() << "; ";
        }
        if (l.empty() && !t.empty()) why << "channel " << c << " time without labels; ";
        for (auto w : l)
            if (w >= b.label_limit) { why << "channel " << c << " label " << w << "; "; break; }
        for (float v : d)
            if (!(v >= 0 && v <= float(b.sample_limit) && v == float(std::uint32_t(v)))) {
                why << "channel " << c << " sample " << v << "; ";
                break;
            }
    }
    if (samples > packet_size / 2) why << "more samples than packet words; ";
    return why.str();
}

std::uint16_t key16(const Params& p, const char* key, std::uint16_t def) { return lookup_u16(p, {key, def}); }

std::string check(const Lanwev1Event& ev, const Params& p, std::size_t n) {
    std::string why = check_shape(ev, p, n, {p.channels, p.channels, key16(p, "abs_wind_mask", 0x3F) + 1u, 0xFFFF, true});
    if (ev.timing.size() != p.channels) return why + "timing count";
    for (std::size_t c = 0; c < p.channels; ++c)
        if (ev.timing[c].size() != ev.window_labels[c].size()) why += "timing per window; ";
    return why;
}
std::string check(const OviskEvent& ev, const Params& p, std::size_t n) {
    return check_shape(ev, p, n, {p.channels, p.channels, key16(p, "windmask", 0xFF) + 1u, key16(p, "databitmask", 0x0FFF), true});
}
std::string check(const Kivrov1Event& ev, const Params& p, std::size_t n) {
    return check_shape(ev, p, n, {p.channels, p.channels, 0x10000, 0xFFFF, true});
}
// Each channel block adds windows x samples samples and either all of its labels or none.
std::string whole_blocks(const EventBase& ev, const Params& p, std::uint64_t w16) {
    const std::uint64_t per_block = p.windows * p.samples;
    for (std::size_t c = 0; c < ev.data.size(); ++c) {
        const std::size_t labels = ev.window_labels[c].size(), samples = ev.data[c].size();
        if (w16 == 0 ? labels != 0 : labels % w16 != 0) return "labels of partial blocks; ";
        if (per_block != 0 && samples % per_block != 0) return "samples of partial blocks; ";
        if (per_block != 0 && labels / (w16 ? w16 : 1) > samples / per_block) return "labels without blocks; ";
    }
    return "";
}

std::string check(const Skerd16Event& ev, const Params& p, std::size_t n) {
    const std::uint64_t w16 = p.windows & 0xFFFF;
    std::string why = check_shape(ev, p, n, {p.channels, p.channels, w16, key16(p, "data_mask", 0x3FF), false});
    return why + whole_blocks(ev, p, w16);
}
std::string check(const Vombel96Event& ev, const Params& p, std::size_t n) {
    const std::uint64_t w16 = p.windows & 0xFFFF;
    std::string why = check_shape(ev, p, n, {96, std::min<std::uint64_t>(p.channels, 96), w16, key16(p, "data_mask", 0x3FF), false});
    why += whole_blocks(ev, p, w16);
    if (ev.ecc_errors.size() != 96) return why + "ecc_errors count; ";
    for (const auto& e : ev.ecc_errors)
        if (!e.empty()) return why + "ecc_errors filled; ";
    for (auto chip : ev.chip_numbers)
        if (chip >= 64) return why + "chip number; ";
    return why;
}

// The shared driver with a model's own checks and perturbed layout keys. It must reach both
// outcomes, or it is not exploring anything.
template <class Event>
void drive(const Params& base, const std::vector<const char*>& knobs, const std::vector<Packet>& seeds,
           std::uint64_t seed) {
    std::vector<std::vector<std::uint8_t>> bytes;
    for (const Packet& pk : seeds) bytes.push_back(pk.bytes);
    const ExtraCheck<Event> extra = [](const Event& ev, const Params& p, std::size_t n) { return check(ev, p, n); };
    drive_both<Event>(base, bytes, 3000, seed, extra, knobs, 300);
}

std::vector<std::uint16_t> ramp(std::size_t n, std::uint16_t from, std::uint16_t mask) {
    auto v = iota16(n, from);
    for (auto& x : v) x &= mask;
    return v;
}

}  // namespace

TEST(Lanwev1Malformed, RandomAndMutatedPackets) {
    std::vector<Packet> seeds(3);
    for (std::uint16_t k = 0; k < 12; ++k) {
        Packet& pk = seeds[k % 3];
        pk.be({std::uint16_t(k % 8), 0x0001, std::uint16_t(0x100 + 7 * k), k}).be(ramp(32, 1 + k, 0x7FFF)).be(0xFA5A);
    }
    drive<Lanwev1Event>(make_params("lanwev2_eval", 8, 64, 32), {"chanmask", "abs_wind_mask", "timing_mask",
                                                                   "timing_shift", "packet_size", "headers"},
                        seeds, 1);
}

TEST(OviskMalformed, RandomAndMutatedPackets) {
    std::vector<Packet> seeds(2);
    for (std::uint16_t chip = 0; chip < 2; ++chip)
        for (Packet& pk : seeds) {
            if (chip) pk.be(0xFFFF);
            pk.be({std::uint16_t(chip << 12), 0, 0});
            for (std::uint16_t w = 0; w < 3; ++w) pk.be(std::uint16_t((w % 4) << 8 | w)).be(ramp(8, w * 9, 0x0FFF));
        }
    for (Packet& pk : seeds) pk.be(0xFFFF);
    drive<OviskEvent>(make_params("ovisk_mirran", 8, 16, 8), {"num_chips", "databitmask", "chanmask", "chan_shift",
                                                                "windmask", "chip_stop_word", "n_chip_headers",
                                                                "n_window_headers"},
                      seeds, 2);
}

TEST(Skerd16Malformed, RandomAndMutatedPackets) {
    Packet pk;
    pk.byte(0x5A);
    for (std::uint16_t c = 0; c < 4; ++c) pk.le(std::uint16_t(c << 8 | c)).le(ramp(3 * 4, c, 0xFFFF)).le(0);
    pk.fill(2);
    drive<Skerd16Event>(make_params("skerd16", 4, 3, 4), {"n_chip_headers", "n_chip_footers", "n_window_headers",
                                                           "n_window_footers", "data_mask", "chanmask", "chan_shift",
                                                           "windmask"},
                        {pk}, 3);
}

TEST(Vombel96Malformed, RandomAndMutatedPackets) {
    // Six chips of one channel each, two windows of three samples.
    Packet pk;
    for (std::uint8_t chip = 0; chip < 6; ++chip) {
        pk.byte(chip).le(std::uint16_t(chip)).le(ramp(6, chip, 0xFFFF)).le(0).fill(3);
    }
    pk.fill(2);
    drive<Vombel96Event>(make_params("vombel96", 6, 2, 3), {"num_chips", "n_event_footers", "n_chip_headers",
                                                            "n_chip_footers", "n_window_headers", "n_window_footers",
                                                            "data_mask", "chanmask", "chan_shift", "windmask"},
                         {pk}, 4);
}

TEST(Kivrov1Malformed, RandomAndMutatedPackets) {
    Packet pk;
    for (std::uint16_t b = 0; b < 2; ++b) {
        pk.be(b).be({0, 0, 0, 0, 0, 0});
        for (std::uint16_t c = 0; c < 4; ++c) pk.be({std::uint16_t(c + 1), c}).be(ramp(6, c, 0xFFFF));
        pk.be({0, 0});
    }
    pk.fill(4);
    drive<Kivrov1Event>(make_params("kivro", 8, 8, 6), {"n_event_headers", "n_window_headers", "n_footer_words"},
                        {pk}, 5);
}

// The eight-words-at-a-time stop-word search finds the same word as a plain scan, wherever it lies
// relative to the blocks of eight and the end of the range.
TEST(Lanwev1StopWordSearch, MatchesPlainScan) {
    std::mt19937_64 rng(6);
    const std::uint8_t pattern[2] = {0xFA, 0x5A};
    for (int it = 0; it < 2000; ++it) {
        std::vector<std::uint8_t> b(2 * (rng() % 40));
        for (auto& x : b) x = std::uint8_t(rng() % 4 == 0 ? (rng() % 2 ? 0xFA : 0x5A) : rng());
        const std::uint64_t n = b.size() / 2, from = n ? rng() % (n + 1) : 0, end = from + (n ? rng() % (n - from + 1) : 0);
        std::uint64_t expect = end;
        for (std::uint64_t i = from; i < end; ++i)
            if (b[2 * i] == 0xFA && b[2 * i + 1] == 0x5A) { expect = i; break; }
        ASSERT_EQ(find_word(b.data(), from, end, pattern), expect) << "iteration " << it;
    }
}
