#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <thread>
#include <tuple>

#include "ecc_test_support.h"

using namespace brimo::ecc;
using namespace ecc_test;

namespace {

std::vector<EccRecord> check(const std::vector<std::uint8_t>& packet) {
    auto r = ecc_check(packet);
    EXPECT_TRUE(r.ok()) << r.error().message();
    return r.ok() ? std::move(r).value() : std::vector<EccRecord>{};
}

std::vector<std::uint8_t> correct(const std::vector<std::uint8_t>& packet) {
    auto r = ecc_correct(packet);
    EXPECT_TRUE(r.ok()) << r.error().message();
    return r.ok() ? std::move(r).value() : std::vector<std::uint8_t>{};
}

constexpr std::uint64_t SMALLEST_ONE_CHIP = CHIP_BLOCK_BYTES - 5;

}  // namespace

TEST(EccCode, WordExamples) {
    struct Case {
        std::uint16_t word;
        std::array<std::uint8_t, 4> syndrome;
        std::uint8_t parity;
        bool reported;
        std::uint8_t bit;
        std::uint16_t corrected;
    };
    const Case cases[] = {
        {0x0000, {0, 0, 0, 0}, 0, false, 0, 0},
        {0x0001, {1, 1, 0, 0}, 1, true, 0, 0x0000},
        {0x0008, {1, 1, 1, 0}, 1, true, 3, 0x0000},   // syndrome 7
        {0x0400, {1, 0, 0, 0}, 1, true, 10, 0x0000},  // check bits: syndromes 1, 2, 4, 8
        {0x0800, {0, 1, 0, 0}, 1, true, 11, 0x0000},
        {0x1000, {0, 0, 1, 0}, 1, true, 12, 0x0000},
        {0x2000, {0, 0, 0, 1}, 1, true, 13, 0x0000},
        {0x0003, {0, 1, 1, 0}, 0, true, 2, 0x0003},   // double error: reported, unchanged
        // Odd parity with a zero syndrome names no data bit: reported, left unchanged.
        {0x4000, {0, 0, 0, 0}, 1, true, 0, 0x4000},
        {0x8000, {0, 0, 0, 0}, 1, true, 0, 0x8000},
        {0x3C00, {1, 1, 1, 1}, 0, true, 15, 0x3C00},  // syndrome 15, even parity
        {0x7C00, {1, 1, 1, 1}, 1, true, 15, 0xFC00},  // syndrome 15, odd parity: bit 15 inverted
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.word);
        EXPECT_EQ(syndrome(c.word), c.syndrome);
        EXPECT_EQ(global_parity(c.word), c.parity);
        // The word alone in channel 5 of the smallest one-chip packet.
        std::vector<std::uint8_t> packet(SMALLEST_ONE_CHIP, 0);
        const std::uint64_t at = channel_offsets()[5].start + 10;
        put_word(packet, at, c.word);
        const auto records = check(packet);
        if (!c.reported) {
            EXPECT_TRUE(records.empty());
            continue;
        }
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0], (EccRecord{10, at, c.word, c.corrected, c.bit, c.parity}));
        // Correction writes back parity-1 records only; here that is the corrected word in each case.
        auto expected = packet;
        put_word(expected, at, c.corrected);
        EXPECT_EQ(correct(packet), expected);
    }
}

TEST(EccCode, SyndromeToIndex) {
    using S = std::array<std::uint8_t, 4>;
    const std::tuple<S, std::optional<std::uint8_t>> cases[] = {
        {{1, 1, 0, 0}, 0},
        {{0, 0, 0, 0}, std::nullopt},
        {{1, 1, 1, 1}, 15},
        {{1, 0, 0, 0}, 10},
        {{0, 1, 1, 1}, 9},
        {{2, 0, 0, 0}, 11},  // weighted, not tested for being bits
        {{3, 0, 0, 1}, 6},   // 3 + 8 = 11
        {{16, 0, 0, 0}, std::nullopt},
        {{0, 0, 0, 2}, std::nullopt},
        {{255, 255, 255, 255}, std::nullopt},
    };
    for (const auto& [s, expected] : cases) {
        SCOPED_TRACE(s[0] + 2u * s[1] + 4u * s[2] + 8u * s[3]);
        EXPECT_EQ(syndrome_to_index(s), expected);
    }
    // For every syndrome value, the table names the bit whose flip gives it.
    for (int v = 1; v < 16; ++v) {
        const S s{std::uint8_t(v & 1), std::uint8_t(v >> 1 & 1), std::uint8_t(v >> 2 & 1), std::uint8_t(v >> 3 & 1)};
        EXPECT_EQ(syndrome_to_index(s), ref_bit_for(v)) << v;
    }
}

// Every one of the 65536 words, placed as the 16 x 4096 sample words of a one-chip packet, against
// the reference loop; both scan implementations and the full check.
TEST(EccCode, AllWordsMatchReference) {
    std::vector<std::uint8_t> packet(SMALLEST_ONE_CHIP, 0xA5);
    for (std::uint32_t w = 0; w < 65536; ++w) {
        const auto word = static_cast<std::uint16_t>(w);
        const std::array<std::uint8_t, 4> s = syndrome(word);
        for (int k = 0; k < 4; ++k) ASSERT_EQ(s[k], ref_syndrome_bit(word, k)) << w;
        ASSERT_EQ(global_parity(word), ref_parity(word)) << w;
        put_word(packet, channel_offsets()[w / 4096].start + 2 * (w % 4096), word);
    }
    const std::vector<EccRecord> expected = ref_check(packet);
    ASSERT_EQ(expected.size(), 65536u - 2048u);  // 2^10 data values x 2 values of bit 15 are clean

    EXPECT_EQ(check(packet), expected);
    for (auto kernel : {detail::Kernel::Portable, detail::Kernel::Avx2}) {
        if (!detail::kernel_available(kernel)) continue;
        std::vector<EccRecord> got;
        for (std::size_t k = 0; k < CHANNELS_PER_CHIP; ++k)
            detail::check_channel(kernel, packet.data(), channel_offsets()[k], got);
        EXPECT_EQ(got, expected) << "kernel " << int(kernel);
    }
}

TEST(EccCode, ChannelOffsets) {
    const auto& t = channel_offsets();
    EXPECT_EQ(t[0], (ChannelRange{3, 8195}));
    EXPECT_EQ(t[15], (ChannelRange{122943, 131135}));
    EXPECT_EQ(t[16], (ChannelRange{131143, 139335}));
    EXPECT_EQ(t[95], (ChannelRange{778643, 786835}));
    for (std::size_t k = 1; k < t.size(); ++k) {
        EXPECT_EQ(t[k].end - t[k].start, 8192u);
        EXPECT_GT(t[k].start, t[k - 1].end);
    }
    // Built once: every thread sees the same table.
    std::vector<const void*> seen(8);
    std::vector<std::thread> threads;
    for (auto& s : seen) threads.emplace_back([&s] { s = &channel_offsets(); });
    for (auto& th : threads) th.join();
    for (auto* s : seen) EXPECT_EQ(s, &t);
}

TEST(EccPacket, LengthsOutsideTheGeometryAreRefused) {
    // Valid: 2 and n*131140-5 .. n*131140+2 for n = 1..6.
    for (std::uint64_t length : {2ull, 131135ull, 131142ull, 262275ull, 524562ull, 786835ull, 786842ull}) {
        std::vector<std::uint8_t> packet(length, 0);
        EXPECT_TRUE(check(packet).empty()) << length;
        EXPECT_EQ(correct(packet), packet) << length;
    }
    for (std::uint64_t length : {0ull, 1ull, 3ull, 100ull, 131134ull, 131143ull, 262274ull, 786834ull,
                                 786843ull, 917982ull, 2000000ull}) {
        SCOPED_TRACE(length);
        std::vector<std::uint8_t> packet(length, 0x01);
        const auto r = ecc_check(packet);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error(), (EccError{EccErrorKind::InvalidLength, length}));
        EXPECT_FALSE(ecc_correct(packet).ok());
        EXPECT_FALSE(correct_in_place(packet).ok());
        EXPECT_EQ(packet, std::vector<std::uint8_t>(length, 0x01));
    }
    EXPECT_EQ((EccError{EccErrorKind::InvalidLength, 131143}.message()),
              "invalid packet length 131143: the valid lengths are 2, 131135 to 131142, 262275 to 262282, "
              "393415 to 393422, 524555 to 524562, 655695 to 655702 or 786835 to 786842 bytes");
}

TEST(EccPacket, ZeroSamplesAndForeignBytesGiveNoRecords) {
    // Bytes outside the sample ranges (headers, footers, padding) are never examined.
    std::vector<std::uint8_t> packet(FULL_PACKET_BYTES, 0xFF);
    for (const auto& r : channel_offsets()) std::fill(packet.begin() + r.start, packet.begin() + r.end, 0);
    EXPECT_TRUE(check(packet).empty());
    EXPECT_EQ(correct(packet), packet);
}

TEST(EccPacket, RecordsOrderedByChannel) {
    std::vector<std::uint8_t> packet(FULL_PACKET_BYTES, 0);
    put_word(packet, channel_offsets()[95].start + 8190, 0x0001);
    put_word(packet, channel_offsets()[40].start + 4, 0x0003);
    put_word(packet, channel_offsets()[40].start + 2, 0x8000);
    put_word(packet, channel_offsets()[0].start + 100, 0x0400);
    const auto records = check(packet);
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0].packet_offset, channel_offsets()[0].start + 100);
    EXPECT_EQ(records[1].channel_offset, 2u);
    EXPECT_EQ(records[2].channel_offset, 4u);
    EXPECT_EQ(records[3].packet_offset, channel_offsets()[95].start + 8190);
    EXPECT_EQ(records[3].channel_offset, 8190u);
}

// Random flips of one or two bits in random words of random channels of full packets.
TEST(EccPacket, RandomErrorsInFullPackets) {
    std::mt19937_64 rng(20240611);
    struct Case {
        const char* name;
        std::vector<int> bits;  // bits a flip may hit
        int flips;              // distinct bits flipped per word
        bool repaired;          // the corrected packet equals the clean one
    };
    const Case cases[] = {
        {"single data/check bit", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}, 1, true},
        {"single parity-only bit", {14, 15}, 1, false},
        {"double error", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}, 2, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto clean = clean_random_packet(rng);
        ASSERT_TRUE(check(clean).empty());
        auto dirty = clean;
        std::set<std::pair<std::size_t, std::uint64_t>> hit;  // (channel, channel offset)
        while (hit.size() < 300) {
            const std::size_t ch = rng() % CHANNEL_COUNT;
            const std::uint64_t off = 2 * (rng() % 4096);
            if (!hit.emplace(ch, off).second) continue;
            auto w = get_word(dirty, channel_offsets()[ch].start + off);
            std::vector<int> bits = c.bits;
            std::shuffle(bits.begin(), bits.end(), rng);
            for (int i = 0; i < c.flips; ++i) w = static_cast<std::uint16_t>(w ^ (1u << bits[i]));
            put_word(dirty, channel_offsets()[ch].start + off, w);
        }
        const auto records = check(dirty);
        EXPECT_EQ(records, ref_check(dirty));
        ASSERT_EQ(records.size(), hit.size());
        auto it = hit.begin();
        for (const auto& r : records) {
            EXPECT_EQ(r.packet_offset, channel_offsets()[it->first].start + it->second);
            EXPECT_EQ(r.parity, c.flips == 1 ? 1 : 0);
            ++it;
        }
        EXPECT_EQ(correct(dirty), c.repaired ? clean : dirty);
        // The caller's bytes are untouched; correcting in place gives the same bytes.
        auto in_place = dirty;
        ASSERT_TRUE(correct_in_place(in_place).ok());
        EXPECT_EQ(in_place, c.repaired ? clean : dirty);
    }
}

// Short packets of each chip count check exactly their own channels.
TEST(EccPacket, EveryChipCount) {
    std::mt19937_64 rng(7);
    for (std::uint64_t n = 1; n <= MAX_CHIPS; ++n) {
        for (std::uint64_t length : {n * CHIP_BLOCK_BYTES - 5, n * CHIP_BLOCK_BYTES + 2}) {
            SCOPED_TRACE(length);
            auto packet = clean_random_packet(rng, length);
            const auto last = channel_offsets()[n * 16 - 1];
            put_word(packet, last.end - 2, 0x0010);
            const auto records = check(packet);
            ASSERT_EQ(records.size(), 1u);
            EXPECT_EQ(records[0].packet_offset, last.end - 2);
            EXPECT_EQ(records[0].bit_index, 4);
        }
    }
}
