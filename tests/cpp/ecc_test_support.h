// Reference arithmetic of the vombel96 code, written from the bit lists of each syndrome equation
// rather than from the masks the library uses, and builders of test packets.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <random>
#include <vector>

#include "ecc/vombel96.h"

namespace ecc_test {

using brimo::ecc::EccRecord;

// Bits covered by syndrome bits s0..s3.
inline const std::array<std::vector<int>, 4> SYNDROME_BITS = {{
    {0, 1, 3, 4, 6, 8, 10},
    {0, 2, 3, 5, 6, 9, 11},
    {1, 2, 3, 7, 8, 9, 12},
    {4, 5, 6, 7, 8, 9, 13},
}};

inline int bit(std::uint16_t w, int i) { return (w >> i) & 1; }

inline int ref_syndrome_bit(std::uint16_t w, int k) {
    int s = 0;
    for (int i : SYNDROME_BITS[k]) s ^= bit(w, i);
    return s;
}

inline int ref_syndrome_value(std::uint16_t w) {
    int v = 0;
    for (int k = 0; k < 4; ++k) v |= ref_syndrome_bit(w, k) << k;
    return v;
}

inline int ref_parity(std::uint16_t w) {
    int p = 0;
    for (int i = 0; i < 16; ++i) p ^= bit(w, i);
    return p;
}

// The bit whose single flip gives syndrome value s (1..14), found by trying each bit; 15 for 15.
inline int ref_bit_for(int s) {
    if (s == 15) return 15;
    for (int i = 0; i < 14; ++i)
        if (ref_syndrome_value(static_cast<std::uint16_t>(1u << i)) == s) return i;
    return -1;
}

// Plain per-word check of one channel range.
inline void ref_check_range(const std::vector<std::uint8_t>& packet, std::uint64_t start, std::uint64_t end,
                            std::vector<EccRecord>& out) {
    for (std::uint64_t j = 0; j + 2 <= end - start; j += 2) {
        const auto w = static_cast<std::uint16_t>(packet[start + j] | (packet[start + j + 1] << 8));
        const int s = ref_syndrome_value(w);
        const int p = ref_parity(w);
        if (s == 0 && p == 0) continue;
        const int b = s == 0 ? 0 : ref_bit_for(s);
        const std::uint16_t corrected = (p == 1 && s != 0) ? static_cast<std::uint16_t>(w ^ (1u << b)) : w;
        out.push_back(EccRecord{j, start + j, w, corrected, static_cast<std::uint8_t>(b), static_cast<std::uint8_t>(p)});
    }
}

// A code word carrying ten data bits, with bit 15 set as asked and bit 14 making the parity even.
inline std::uint16_t encode(std::uint16_t data, bool bit15) {
    auto w = static_cast<std::uint16_t>((data & 0x3FF) | (bit15 ? 0x8000 : 0));
    for (int k = 0; k < 4; ++k)
        if (ref_syndrome_bit(w, k)) w = static_cast<std::uint16_t>(w | (1u << (10 + k)));
    if (ref_parity(w)) w = static_cast<std::uint16_t>(w | 0x4000);
    return w;
}

inline void put_word(std::vector<std::uint8_t>& packet, std::uint64_t offset, std::uint16_t w) {
    packet[offset] = static_cast<std::uint8_t>(w & 0xFF);
    packet[offset + 1] = static_cast<std::uint8_t>(w >> 8);
}

inline std::uint16_t get_word(const std::vector<std::uint8_t>& packet, std::uint64_t offset) {
    return static_cast<std::uint16_t>(packet[offset] | (packet[offset + 1] << 8));
}

// A packet of `length` bytes whose sample words are random clean code words and whose other bytes
// (headers, footers, padding) are random.
inline std::vector<std::uint8_t> clean_random_packet(std::mt19937_64& rng,
                                                     std::uint64_t length = brimo::ecc::FULL_PACKET_BYTES) {
    std::vector<std::uint8_t> packet(length);
    for (auto& b : packet) b = static_cast<std::uint8_t>(rng());
    const auto chips = brimo::ecc::chip_blocks(length);
    for (std::size_t k = 0; k < chips.value() * brimo::ecc::CHANNELS_PER_CHIP; ++k) {
        const auto r = brimo::ecc::channel_offsets()[k];
        for (std::uint64_t o = r.start; o < r.end; o += 2)
            put_word(packet, o, encode(static_cast<std::uint16_t>(rng()), rng() & 1));
    }
    return packet;
}

// Sequential reference over every channel of a packet of valid length.
inline std::vector<EccRecord> ref_check(const std::vector<std::uint8_t>& packet) {
    std::vector<EccRecord> out;
    const auto chips = brimo::ecc::chip_blocks(packet.size());
    for (std::size_t k = 0; k < chips.value() * brimo::ecc::CHANNELS_PER_CHIP; ++k) {
        const auto r = brimo::ecc::channel_offsets()[k];
        ref_check_range(packet, r.start, r.end, out);
    }
    return out;
}

}  // namespace ecc_test
