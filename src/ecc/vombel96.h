// The error-correcting code of vombel96 sample words, and the check and correction of whole packets.
//
// Each 16-bit sample word holds ten data bits (0-9) and four check bits (10-13); bits 14 and 15 are
// in no syndrome equation and count only in the global parity over all sixteen bits. Syndrome bit k
// is the parity of the word under SYNDROME_MASKS[k]; check bit 10 + k belongs to syndrome bit k.
//
// Packets have a fixed geometry, whatever the acquisition's parameters: chip blocks of 131140 bytes
// (one header byte, then sixteen channel blocks of a header word, 4096 sample words and a footer
// word, then padding), at most six chip blocks, and a two-byte event footer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "concurrency/pool.h"
#include "error/result.h"

namespace brimo::ecc {

inline constexpr std::array<std::uint16_t, 4> SYNDROME_MASKS = {0x055B, 0x0A6D, 0x138E, 0x23F0};

// Bit position named by each syndrome value 1..15 (entry 0 is unused). Value 15 matches no single
// bit and names bit 15.
inline constexpr std::array<std::uint8_t, 16> SYNDROME_TO_BIT = {0, 10, 11, 0, 12, 1, 2, 3,
                                                                 13, 4, 5, 6, 7, 8, 9, 15};

inline constexpr std::size_t CHANNELS_PER_CHIP = 16;
inline constexpr std::size_t MAX_CHIPS = 6;
inline constexpr std::size_t CHANNEL_COUNT = CHANNELS_PER_CHIP * MAX_CHIPS;  // 96
inline constexpr std::uint64_t CHIP_BLOCK_BYTES = 131140;
inline constexpr std::uint64_t CHANNEL_BLOCK_BYTES = 8196;
inline constexpr std::uint64_t CHANNEL_SAMPLE_BYTES = 8192;  // 4096 words
inline constexpr std::uint64_t EVENT_FOOTER_BYTES = 2;
inline constexpr std::uint64_t FULL_PACKET_BYTES = MAX_CHIPS * CHIP_BLOCK_BYTES + EVENT_FOOTER_BYTES;

// The four syndrome bits s0..s3 of a word, each 0 or 1.
std::array<std::uint8_t, 4> syndrome(std::uint16_t word);

// XOR of all sixteen bits of a word.
std::uint8_t global_parity(std::uint16_t word);

// s0 + 2*s1 + 4*s2 + 8*s3 computed on the values as given (they are weighted, not tested for being
// bits); 1..15 give the table entry, 0 and anything above 15 give nothing.
std::optional<std::uint8_t> syndrome_to_index(const std::array<std::uint8_t, 4>& s);

// Byte range [start, end) of one channel's 4096 sample words in a packet.
struct ChannelRange {
    std::uint64_t start;
    std::uint64_t end;
    bool operator==(const ChannelRange&) const = default;
};

// CHANNEL_OFFSETS: the sample ranges of the 96 channels, built once per process (safely when several
// threads ask first at the same time) and never changed.
const std::array<ChannelRange, CHANNEL_COUNT>& channel_offsets();

// One suspicious word: non-zero syndrome or odd global parity.
struct EccRecord {
    std::uint64_t channel_offset;  // byte offset within the channel's sample range (sample * 2)
    std::uint64_t packet_offset;   // byte offset of the word's low byte in the packet
    std::uint16_t raw_word;
    // raw_word with bit bit_index inverted for a single error (parity 1, non-zero syndrome);
    // raw_word otherwise: a double error (parity 0) cannot be repaired, and an odd parity with a
    // zero syndrome names no data bit, so inverting any bit there could damage a good word.
    std::uint16_t corrected_word;
    std::uint8_t bit_index;  // table entry of the syndrome; 0 for a zero syndrome
    std::uint8_t parity;     // global parity of raw_word
    bool operator==(const EccRecord&) const = default;
};

enum class EccErrorKind : std::uint8_t {
    InvalidLength = 0,  // the packet length does not fit the geometry; nothing was read
    OutOfMemory = 1,    // the records could not be stored
};

struct EccError {
    EccErrorKind kind = EccErrorKind::InvalidLength;
    std::uint64_t length = 0;  // the refused packet length (InvalidLength)
    // Text for the user. InvalidLength names the length and the valid lengths.
    std::string message() const;
    bool operator==(const EccError&) const = default;
};

// Number of chip blocks of a packet of `length` bytes: ceiling((length - 2) / 131140). Refuses a
// length below 2, above six chip blocks, or whose last chip block is cut short (its last channel
// range would end past the packet); the valid lengths are 2 and n*131140-5 .. n*131140+2, n = 1..6.
Result<std::size_t, EccError> chip_blocks(std::uint64_t length);

// Every suspicious sample word of the packet, ordered by channel and within a channel by offset.
// The channels are checked on `pool` (the process-wide pool by default); the result is that of a
// sequential loop. Bytes outside the channel sample ranges are never read.
Result<std::vector<EccRecord>, EccError> ecc_check(std::span<const std::uint8_t> packet);
Result<std::vector<EccRecord>, EccError> ecc_check(std::span<const std::uint8_t> packet, concurrency::WorkerPool& pool);

// Checks `packet` and writes back, in record order and low byte first, the corrected word of every
// record with parity 1. On error the packet is left untouched.
Result<void, EccError> correct_in_place(std::span<std::uint8_t> packet);

// A corrected copy of the packet, of the same length; the input is not modified.
Result<std::vector<std::uint8_t>, EccError> ecc_correct(std::span<const std::uint8_t> packet);

namespace detail {

// Implementations of the per-channel scan, exposed so that tests can hold them against each other.
enum class Kernel : std::uint8_t { Portable, Avx2 };
bool kernel_available(Kernel kernel);
// Appends the records of one channel of a packet whose geometry has been checked.
void check_channel(Kernel kernel, const std::uint8_t* packet, const ChannelRange& range,
                   std::vector<EccRecord>& out);

}  // namespace detail

}  // namespace brimo::ecc
