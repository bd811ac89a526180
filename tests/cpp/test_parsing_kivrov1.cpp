#include <gtest/gtest.h>

#include <limits>

#include "packet_test_support.h"

using namespace brimo;
using namespace brimo::testing;

namespace {

struct Window {
    std::uint16_t number, channel;
    std::vector<std::uint16_t> samples;
};

// One full board block with the default layout (7 event header words, window blocks of two header
// words and S samples, one footer word, one more word), four windows.
void board(Packet& pk, std::uint16_t number, const std::vector<Window>& windows) {
    pk.be(number).be({0x0E01, 0x0E02, 0x0E03, 0x0E04, 0x0E05, 0x0E06});
    for (const Window& w : windows) pk.be(w.number).be(w.channel).be(w.samples);
    pk.be({0xF00F, 0xF11F});
}

std::vector<Window> four_windows(std::uint16_t first_number, std::size_t S) {
    std::vector<Window> ws;
    for (std::uint16_t c = 0; c < 4; ++c)
        ws.push_back({static_cast<std::uint16_t>(first_number + c), c, iota16(S, static_cast<std::uint16_t>(1000 * c))});
    return ws;
}

Packet two_boards(std::size_t S) {
    Packet pk;
    board(pk, 0, four_windows(0, S));
    board(pk, 2, four_windows(4, S));
    return pk.be({0xAAAA, 0xBBBB});  // trailer
}

}  // namespace

TEST(Kivrov1, RoundTripTwoBoards) {
    const Params p = make_params("kivro", 12, 8, 32);
    const Packet pk = two_boards(32);
    ASSERT_EQ(pk.bytes.size(), 584u);
    const auto r = parse<Kivrov1Event>(pk, p);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->data.size(), 12u);
    for (std::uint16_t c = 0; c < 4; ++c) {
        // Board 0 serves channels 0..3, board 2 channels 8..11.
        EXPECT_EQ(r->data[c], as_floats(iota16(32, std::uint16_t(1000 * c))));
        EXPECT_EQ(r->window_labels[c], std::vector<std::uint16_t>{c});
        EXPECT_EQ(r->data[8 + c], r->data[c]);
        EXPECT_EQ(r->window_labels[8 + c], std::vector<std::uint16_t>{std::uint16_t(4 + c)});
        EXPECT_EQ(r->time[8 + c], iota16(32));
        EXPECT_TRUE(r->data[4 + c].empty());
    }
}

TEST(Kivrov1, BoardBlockLengths) {
    // Defaults with S = 32: V = 68, U = 290. The last board block may be down to U - 4 bytes.
    const Params p = make_params("kivro", 12, 8, 32);
    const Packet full = two_boards(32);
    struct Case { std::size_t len; bool ok; };
    for (const Case& c : {Case{584, true}, Case{580, true}, Case{578, false}, Case{290, true}, Case{288, false},
                          Case{0, false}, Case{583, false}}) {
        Packet pk = full;
        pk.bytes.resize(c.len);
        const auto r = parse<Kivrov1Event>(pk, p);
        if (c.ok) {
            EXPECT_TRUE(r.ok()) << c.len;
        } else {
            EXPECT_TRUE(fails_with(r, ParsingError::UnexpectedLength)) << c.len;
        }
    }
}

TEST(Kivrov1, FieldDecoding) {
    const Params p = make_params("kivro", 12, 0x2000, 2);
    Packet pk;
    board(pk, 2, {{0x1234, 3, {0x0102, 0xFFFF}}, {0, 0, {0, 0}}, {0, 1, {0, 0}}, {1, 3, {7, 7}}});
    pk.fill(4);
    const auto r = parse<Kivrov1Event>(pk, p);
    ASSERT_TRUE(r.ok());
    // Board 2, channel 3 in the board: channel 11; the window number is the label, unmasked.
    EXPECT_EQ(r->data[11], (std::vector<float>{258, 65535, 7, 7}));
    EXPECT_EQ(r->window_labels[11], (std::vector<std::uint16_t>{0x1234, 1}));
    // Relative window of label 1 after label 0x1234: 1 + 0x2000 - 0x1234, times 2 samples, 16 bits.
    const std::uint16_t t = static_cast<std::uint16_t>((1 + 0x2000 - 0x1234) * 2);
    EXPECT_EQ(r->time[11], (std::vector<std::uint16_t>{0, 1, t, std::uint16_t(t + 1)}));
}

TEST(Kivrov1, OrderOfChecks) {
    const Params p = make_params("kivro", 12, 8, 32);
    Params footer2 = p;
    set_key(footer2, "n_footer_words", u(2));
    Params header1 = p;
    set_key(header1, "n_window_headers", u(1));
    Packet bad_channel;
    board(bad_channel, 3, four_windows(0, 32));  // board 3 serves channels 12..15
    bad_channel.fill(4);
    Packet good;
    board(good, 0, four_windows(0, 32));
    good.fill(4);
    struct Case { const char* what; Packet pk; Params p; ParsingError e; };
    const Case cases[] = {
        {"odd", Packet{}.fill(291), p, ParsingError::UnexpectedLength},
        {"bad channel", bad_channel, p, ParsingError::InvalidChannel},
        // Two footer words leave 2 bytes over in the window region (U = 292, packet of 292 bytes).
        {"window region remainder", Packet{good}.fill(2), footer2, ParsingError::UnexpectedLength},
        // One window header word: U = 2 * (7 + 4 * 33 + 1) + 2 = 282; a window block of 66 bytes cannot
        // hold two header words and 32 samples, but the channel check comes first.
        {"short window block", Packet{}.be(0).fill(12).be({0, 1}).fill(266), header1, ParsingError::UnexpectedLength},
        {"short window block, bad channel first", Packet{}.be(0).fill(12).be({0, 12}).fill(266), header1,
         ParsingError::InvalidChannel},
        {"samples beyond 64 bits", Packet{}.fill(584), make_params("kivro", 12, 8, std::uint64_t(1) << 62),
         ParsingError::UnexpectedLength},
        {"window block under 4 bytes", Packet{}.fill(26), make_params("kivro", 12, 8, 1, {{"n_window_headers", u(0)}}),
         ParsingError::InvalidParameters},
        {"empty window block", Packet{}.fill(20), make_params("kivro", 12, 8, 0, {{"n_window_headers", u(0)},
                                                                                  {"n_footer_words", u(0)},
                                                                                  {"n_event_headers", u(0)}}),
         ParsingError::InvalidParameters},
        {"absurd channels", two_boards(32), make_params("kivro", std::uint64_t(1) << 50, 8, 32),
         ParsingError::InvalidParameters},
    };
    for (const Case& c : cases) EXPECT_TRUE(fails_with(parse<Kivrov1Event>(c.pk, c.p), c.e)) << c.what;
}

TEST(Kivrov1, ExtraWindowHeadersFollowTheSamples) {
    // With three window header words the samples still start at byte 4 of the window block.
    const Params p = make_params("kivro", 4, 8, 2, {{"n_window_headers", tagged(3)}});
    Packet pk;
    pk.be(0).be({0, 0, 0, 0, 0, 0});
    for (std::uint16_t c = 0; c < 4; ++c) pk.be({std::uint16_t(5), c, std::uint16_t(10 + c), std::uint16_t(20 + c), 0xEEEE});
    pk.be({0, 0}).fill(4);
    const auto r = parse<Kivrov1Event>(pk, p);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->data[2], (std::vector<float>{12, 22}));
}

TEST(Kivrov1, UnusableLayoutKeysFallBackToDefaults) {
    expect_same_parse<Kivrov1Event>(two_boards(32), make_params("kivro", 12, 8, 32),
                                    unusable_for({"n_event_headers", "n_window_headers", "n_footer_words"}));
}
