#include <gtest/gtest.h>
#include <sys/resource.h>
#include <zlib.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "calibration/gzip.h"
#include "calibration/pedestals.h"
#include "calibration/pickle.h"
#include "pedestal_fixtures.h"

using namespace brimo;
using namespace pedestal_fixtures;
using Table = std::vector<std::vector<std::vector<float>>>;

namespace {

Result<Pedestals, PedestalDecodeError> decode_file(const Bytes& b) { return Pedestals::from_bytes(b); }

Bytes str_bytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

// Bitwise comparison, so that -0.0, infinities and exact roundings are all checked; any NaN matches any NaN.
void expect_table(const Table& got, const Table& want, const std::string& what) {
    ASSERT_EQ(got.size(), want.size()) << what;
    for (std::size_t c = 0; c < want.size(); ++c) {
        ASSERT_EQ(got[c].size(), want[c].size()) << what << " channel " << c;
        for (std::size_t w = 0; w < want[c].size(); ++w) {
            ASSERT_EQ(got[c][w].size(), want[c][w].size()) << what << " window " << c << "/" << w;
            for (std::size_t s = 0; s < want[c][w].size(); ++s) {
                if (std::isnan(got[c][w][s]) && std::isnan(want[c][w][s])) continue;
                EXPECT_EQ(std::bit_cast<std::uint32_t>(got[c][w][s]), std::bit_cast<std::uint32_t>(want[c][w][s]))
                    << what << " at " << c << "/" << w << "/" << s << ": " << got[c][w][s] << " vs " << want[c][w][s];
            }
        }
    }
}

const Table kBasic = {{{1.5f, 2.0f}}};
constexpr float kInf = std::numeric_limits<float>::infinity();

}  // namespace

// ---------------------------------------------------------------------------------------------
// Files written by Python, every protocol.

struct Accepted {
    const char* name;
    int min_protocol;  // below it the pickler writes a class reference and decoding fails
    Table want;
};

TEST(PedestalsDecode, AcceptedContentInEveryProtocol) {
    REQUIRE_PYTHON_FIXTURES();
    const std::vector<Accepted> cases = {
        {"dict", 0, kBasic},
        {"list", 0, kBasic},
        {"tuple", 0, kBasic},
        {"tables_as_tuples", 0, {{{1.0f, 2.0f}, {3.5f}}, {{}, {0.25f}}}},
        // 2^60 + 2^36 + 1 rounds up to 2^60 + 2^37 in one step; through a double it would give 2^60.
        {"ints", 0, {{{3.0f, -7.0f, 1152921642045800448.0f, -9223372036854775808.0f, 9223372036854775808.0f,
                      0.0f, 255.0f, 65535.0f, -1.0f, 2147483648.0f}}}},
        {"specials", 0, {{{kInf, -kInf, 0.0f, kInf, -0.0f, 0.1f}}}},
        {"shared", 0, {{{1.0f, 2.0f}, {1.0f, 2.0f}}, {{1.0f, 2.0f}}}},
        {"empty_table", 0, {}},
        {"both_keys", 0, kBasic},  // the text key wins over b"data"
        // Protocols 0 to 2 write bytes as _codecs.encode(text, "latin1"), the function and "latin1"
        // memoized at the first bytes object and fetched from the memo for the next.
        {"bytes_key", 0, {{{1.5f, 2.0f}}}},
        {"bytes_keys_memo", 0, kBasic},
        {"sets", 4, kBasic},
        {"bytearray", 5, kBasic},
    };
    for (const Accepted& c : cases) {
        for (int p = 0; p <= 5; ++p) {
            const std::string name = std::string(c.name) + "_" + std::to_string(p);
            auto r = decode_file(fixture(name + ".gz"));
            if (p < c.min_protocol) {
                EXPECT_FALSE(r.ok()) << name;
                continue;
            }
            ASSERT_TRUE(r.ok()) << name << ": " << r.error().what;
            expect_table(r->data, c.want, name);
        }
    }
}

TEST(PedestalsDecode, RandomTableMatchesPythonFloat32) {
    REQUIRE_PYTHON_FIXTURES();
    const Bytes flat = fixture("rand.f32");
    ASSERT_EQ(flat.size(), 4u * 16 * 8 * 4);
    for (int p = 0; p <= 5; ++p) {
        auto r = decode_file(fixture("rand_" + std::to_string(p) + ".gz"));
        ASSERT_TRUE(r.ok()) << p << ": " << r.error().what;
        Table want(4, std::vector<std::vector<float>>(16, std::vector<float>(8)));
        std::size_t i = 0;
        for (auto& ch : want)
            for (auto& win : ch)
                for (float& v : win) std::memcpy(&v, flat.data() + 4 * i++, 4);
        expect_table(r->data, want, "rand_" + std::to_string(p));
    }
}

TEST(PedestalsDecode, RefusedContentInEveryProtocol) {
    REQUIRE_PYTHON_FIXTURES();
    for (const char* name : {"trailing", "none", "true_el", "none_el", "str_el", "bytes_el", "big_el", "negbig_el",
                             "no_data", "empty_list", "empty_tuple", "four_levels", "two_levels", "dict_level",
                             "int_top", "str_top", "self_table", "array", "ordered"}) {
        for (int p = 0; p <= 5; ++p) {
            const std::string file = std::string(name) + "_" + std::to_string(p);
            EXPECT_FALSE(decode_file(fixture(file + ".gz")).ok()) << file;
            // The same pickle without gzip is refused too.
            EXPECT_FALSE(decode_file(fixture(file + ".pkl")).ok()) << file;
        }
    }
    // A bare pickle of good content is not a pedestal file either.
    for (int p = 0; p <= 5; ++p) EXPECT_FALSE(decode_file(fixture("dict_" + std::to_string(p) + ".pkl")).ok()) << p;
}

// ---------------------------------------------------------------------------------------------
// gzip framing.

namespace {

// The DEFLATE data and trailer of a Python-written member (its header is the plain 10 bytes).
Bytes member_body(const Bytes& gz) { return Bytes(gz.begin() + 10, gz.end()); }

Bytes with_header(std::uint8_t flags, const Bytes& fields, const Bytes& body, bool add_hcrc = false,
                  std::uint8_t method = 8) {
    Bytes b;
    b.reserve(12 + fields.size() + body.size());
    for (std::uint8_t v : {std::uint8_t(0x1F), std::uint8_t(0x8B), method, flags}) b.push_back(v);
    b.resize(10, 0);
    b[9] = 3;  // OS: Unix
    b.insert(b.end(), fields.begin(), fields.end());
    if (add_hcrc) {
        const auto crc = static_cast<std::uint32_t>(crc32(0, b.data(), static_cast<uInt>(b.size())));
        b.push_back(static_cast<std::uint8_t>(crc));
        b.push_back(static_cast<std::uint8_t>(crc >> 8));
    }
    b.insert(b.end(), body.begin(), body.end());
    return b;
}

}  // namespace

TEST(GzipHeader, OptionalFieldsAndFlags) {
    REQUIRE_PYTHON_FIXTURES();
    const Bytes body = member_body(fixture("dict_4.gz"));
    const Bytes name = str_bytes(std::string_view("pedestals.pkl\0", 14));
    const Bytes comment = str_bytes(std::string_view("run 12 \xe9\0", 9));
    const Bytes extra = {6, 0, 'A', 'P', 2, 0, 'x', 'y'};
    Bytes all = extra;
    all.insert(all.end(), name.begin(), name.end());
    all.insert(all.end(), comment.begin(), comment.end());

    struct Case { const char* what; Bytes file; bool ok; };
    Bytes bad_hcrc = with_header(0x1E, all, body, true);
    bad_hcrc[10 + all.size()] ^= 1;
    Bytes bad_magic = with_header(0, {}, body);
    bad_magic[1] = 0x8C;
    const std::vector<Case> cases = {
        {"plain", with_header(0, {}, body), true},
        {"FTEXT", with_header(0x01, {}, body), true},
        {"FNAME", with_header(0x08, name, body), true},
        {"FCOMMENT", with_header(0x10, comment, body), true},
        {"FEXTRA", with_header(0x04, extra, body), true},
        {"FHCRC alone", with_header(0x02, {}, body, true), true},
        {"all fields with FHCRC", with_header(0x1F, all, body, true), true},
        {"wrong FHCRC", bad_hcrc, false},
        {"reserved bit 5", with_header(0x20, {}, body), false},
        {"reserved bit 6", with_header(0x40, {}, body), false},
        {"reserved bit 7", with_header(0x80, {}, body), false},
        {"method 7", with_header(0, {}, body, false, 7), false},
        {"bad magic", bad_magic, false},
        {"unterminated FNAME", with_header(0x08, str_bytes("pedestals.pkl"), {}), false},
        {"FEXTRA longer than the file", with_header(0x04, {0xFF, 0xFF, 1, 2}, {}), false},
        {"FEXTRA length cut", with_header(0x04, {5}, {}), false},
        {"FHCRC cut", with_header(0x02, {0x12}, {}), false},
        {"header only", Bytes{0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0}, false},
        {"empty file", Bytes{}, false},
    };
    for (const Case& c : cases) {
        auto r = decode_file(c.file);
        EXPECT_EQ(r.ok(), c.ok) << c.what << (r.ok() ? "" : ": " + r.error().what);
        if (r.ok()) expect_table(r->data, kBasic, c.what);
    }
}

TEST(GzipTrailer, ChecksumLengthTruncationAndWhatFollows) {
    REQUIRE_PYTHON_FIXTURES();
    const Bytes good = fixture("dict_2.gz");
    ASSERT_TRUE(decode_file(good).ok());
    for (std::size_t i = 0; i < 8; ++i) {  // every byte of CRC-32 and ISIZE matters
        Bytes b = good;
        b[b.size() - 8 + i] ^= 0x10;
        EXPECT_FALSE(decode_file(b).ok()) << "trailer byte " << i;
    }
    for (std::size_t cut = 0; cut < good.size(); ++cut)
        EXPECT_FALSE(decode_file(Bytes(good.begin(), good.begin() + static_cast<long>(cut))).ok()) << cut;

    // Whatever follows the first member is never read: garbage, or a second member.
    Bytes garbage = good;
    garbage.insert(garbage.end(), {0xDE, 0xAD, 0xBE, 0xEF});
    Bytes two = good;
    const Bytes other = fixture("none_2.gz");
    two.insert(two.end(), other.begin(), other.end());
    for (const Bytes& b : {garbage, two}) {
        auto r = decode_file(b);
        ASSERT_TRUE(r.ok()) << r.error().what;
        expect_table(r->data, kBasic, "member followed by data");
    }
}

TEST(GzipInflater, StreamsAndEnforcesTheOutputCap) {
    Bytes content(300000);
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<std::uint8_t>(i * 7 % 251);
    const Bytes gz = gzip_bytes(content);
    auto all = gzip::decompress(gz);
    ASSERT_TRUE(all.ok()) << all.error().what;
    EXPECT_EQ(*all, content);
    EXPECT_TRUE(gzip::decompress(gz, content.size()).ok());
    EXPECT_FALSE(gzip::decompress(gz, content.size() - 1).ok());

    auto inf = gzip::Inflater::open(gz);
    ASSERT_TRUE(inf.ok());
    std::uint8_t piece[1000];
    Bytes got;
    for (;;) {
        auto n = inf->read(piece, sizeof piece);
        ASSERT_TRUE(n.ok());
        if (*n == 0) break;
        EXPECT_LE(*n, sizeof piece);
        got.insert(got.end(), piece, piece + *n);
    }
    EXPECT_EQ(got, content);
}

// A member that inflates to more than the cap, built as one fixed-Huffman block of maximal
// back-references (258 bytes each for 13 bits): about 1.03 GiB from 6.5 MB.
namespace {
Bytes bomb(const Bytes& prefix, std::uint64_t total) {
    Bytes out(10, 0);
    out[0] = 0x1F;
    out[1] = 0x8B;
    out[2] = 8;
    out.reserve(total / 150);
    std::uint64_t acc = 0;
    int nbits = 0;
    auto bits = [&](std::uint32_t v, int n) {  // LSB first
        acc |= std::uint64_t(v) << nbits;
        nbits += n;
        while (nbits >= 8) {
            out.push_back(static_cast<std::uint8_t>(acc));
            acc >>= 8;
            nbits -= 8;
        }
    };
    auto huff = [&](std::uint32_t code, int n) {  // Huffman codes go MSB first
        std::uint32_t r = 0;
        for (int i = 0; i < n; ++i) r |= ((code >> i) & 1u) << (n - 1 - i);
        bits(r, n);
    };
    bits(1, 1);  // BFINAL
    bits(1, 2);  // fixed Huffman
    for (std::uint8_t c : prefix) {
        if (c < 144) huff(0x30 + c, 8);
        else huff(0x190 + (c - 144), 9);
    }
    std::uint64_t produced = prefix.size();
    while (produced + 258 <= total) {
        huff(0xC5, 8);  // length symbol 285 = 258
        huff(0, 5);     // distance 1
        produced += 258;
    }
    huff(0, 7);  // end of block
    if (nbits) bits(0, 8 - nbits);
    put_le32(out, 0);  // the checks are never reached
    put_le32(out, static_cast<std::uint32_t>(produced));
    return out;
}

long max_rss_kib() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}
}  // namespace

TEST(GzipBomb, FailsFastWithoutHoldingTheOutput) {
    const auto start = std::chrono::steady_clock::now();
    // Zeros: not a pickle opcode, refused at the first byte.
    EXPECT_FALSE(decode_file(bomb({0}, std::uint64_t(1) << 31)).ok());
    // A byte string that claims 2^40 bytes: the decoder runs through the inflated bytes without
    // keeping them, and the stream is refused once it passes the 1 GiB cap.
    const Bytes lying = {0x80, 0x04, 0x8E, 0, 0, 0, 0, 0, 1, 0, 0, 'x'};
    const Bytes big = bomb(lying, (std::uint64_t(1) << 30) + 4096);
    const long before = max_rss_kib();
    auto r = decode_file(big);
    ASSERT_FALSE(r.ok());
    EXPECT_NE(r.error().what.find("size limit"), std::string::npos) << r.error().what;
    EXPECT_LT(max_rss_kib() - before, 64 * 1024) << "KiB of peak memory growth";
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

// ---------------------------------------------------------------------------------------------
// The pickle decoder on hand-written opcode sequences (Python's pickler never writes most of these).

namespace {
Result<pickle::Document, pickle::PickleError> unpickle(std::string_view s, const pickle::Limits& lim = {}) {
    return pickle::decode(std::span(reinterpret_cast<const std::uint8_t*>(s.data()), s.size()), lim);
}
// The decoded value as a pedestal file would give it: the table under "data" or at position 0.
Result<Pedestals, PedestalDecodeError> as_file(std::string_view pickle_text) {
    return Pedestals::from_bytes(gzip_bytes(str_bytes(pickle_text)));
}
}  // namespace

TEST(PickleOpcodes, HandWrittenSequences) {
    using namespace std::string_literals;
    struct Case { const char* what; std::string pickle; bool ok; Table want; };
    const std::vector<Case> cases = {
        // Protocol 0 text forms.
        {"int text", "(lp0\n(lp1\n(lp2\n(lp3\nI-12\naL99L\naL-9223372036854775808\naaaa.", true, {{{-12.f, 99.f, -9223372036854775808.f}}}},
        {"float text", "((((F1e-400\nF-1.5E3\nF+2.5\nFnan\ntttl.", true, {{{0.f, -1500.f, 2.5f, std::nanf("")}}}},
        {"float overflow", "((((F1e400\ntttl.", false, {}},
        {"float with parens", "((((Fnan(1)\ntttl.", false, {}},
        {"float with blank", "((((F 1.0\ntttl.", false, {}},
        {"int with leading zero", "((((I010\ntttl.", false, {}},
        {"int hex", "((((I0x10\ntttl.", false, {}},
        {"bool text", "((((I01\ntttl.", false, {}},
        {"INT beyond 64 bits", "((((I9223372036854775808\ntttl.", false, {}},
        {"LONG without L", "((((L7\ntttl.", true, {{{7.f}}}},
        {"UNICODE escaped key", "(dV\\u0064ata\n(((F1.0\nttts.", true, {{{1.f}}}},
        {"UNICODE key with even backslashes", "(dV\\\\u0064ata\n(((F1.0\nttts.", false, {}},
        {"UNICODE bad escape", "(dV\\u00zz\nI1\nsVdata\n(((F1.0\nttts.", false, {}},
        {"STRING key", "(dS'data'\n(((F1.0\nttts.", true, {{{1.f}}}},
        {"STRING escaped key", "(dS'd\\x61t\\141'\n(((F1.0\nttts.", true, {{{1.f}}}},
        {"STRING unquoted", "(dSdata\n(((F1.0\nttts.", false, {}},
        {"STRING bad hex", "(dS'\\xg0'\nI1\nsVdata\n(((F1.0\nttts.", false, {}},
        {"STRING non-ASCII", "(dS'\xff'\nI1\nsVdata\n(((F1.0\nttts.", false, {}},
        {"memo via PUT/GET after append", "(lp0\n(lp1\n(lp2\n(lp3\nF1.0\naaag2\naa.", true, {{{1.f}}, {{1.f}}}},
        {"GET of a missing id", "g5\n.", false, {}},
        {"negative PUT", "Np-1\n.", false, {}},
        // Binary forms.
        {"LONG1 sign extension", "]]]](\x8a\x01\xff\x8a\x02\x00\x80\x8a\x00\x8a\x09\xff\xff\xff\xff\xff\xff\xff\xff\xff" "eaaa."s, true,
         {{{-1.f, -32768.f, 0.f, -1.f}}}},
        {"LONG1 nine bytes out of range", "]]]]\x8a\x09\x00\x00\x00\x00\x00\x00\x00\x80\x00" "aaaa."s, false, {}},
        {"LONG4 negative count", "\x8b\xff\xff\xff\xff."s, false, {}},
        {"BININT family", "]]]](K\xffM\xff\xffJ\xfe\xff\xff\xff" "eaaa."s, true, {{{255.f, 65535.f, -2.f}}}},
        {"sparse memo ids", "]q\x07]r\x00\x00\x01\x00h\x07" "a\x85."s, true, {{}}},
        {"MEMOIZE counts entries", "]\x94]\x94h\x01h\x00\x86."s, true, {}},
        {"frame announces what exists", "\x80\x04\x95\x07\x00\x00\x00\x00\x00\x00\x00]]]\x85\x85\x85."s, true, {{{}}}},
        {"frame runs past the end", "\x80\x04\x95\x08\x00\x00\x00\x00\x00\x00\x00]]]\x85\x85\x85."s, false, {}},
        {"protocol 6", "\x80\x06N."s, false, {}},
        {"empty set key", "}\x8f" "Ns]]]\x85\x85\x85."s, false, {}},
        {"list as dict key", "}]Ns]]]\x85\x85\x85."s, false, {}},
        {"tuple holding a list as key", "}]\x85Ns]]]\x85\x85\x85."s, false, {}},
        {"tuple key", "})Ns]]]\x85\x85\x85."s, true, {{{}}}},
        {"append to tuple", ")Na."s, false, {}},
        {"append to dict", "}(Ne."s, false, {}},
        {"setitem on list", "]NNs."s, false, {}},
        {"odd DICT", "(Nd."s, false, {}},
        {"odd SETITEMS", "}(Nu."s, false, {}},
        {"STOP on empty stack", "."s, false, {}},
        {"STOP below a mark", "](."s, false, {}},
        {"APPEND below a mark", "](Na."s, false, {}},
        {"POP drops a mark", "]]]\x85\x85\x85(0."s, true, {{{}}}},
        {"POP underflow", "0."s, false, {}},
        {"no STOP", "]]]\x85\x85"s, false, {}},
        {"unknown opcode", "\xff."s, false, {}},
        {"GLOBAL", "c__builtin__\nlist\n)R."s, false, {}},
        // _codecs.encode(text, "latin1") is the bytes object, in exactly that form.
        {"encode key, GLOBAL", "(dc_codecs\nencode\n(Vdata\nVlatin1\ntR(((F1.0\nttts."s, true, {{{1.f}}}},
        {"encode key, STACK_GLOBAL", "}\x8c\x07_codecs\x8c\x06" "encode\x93\x8c\x04" "data\x8c\x06latin1\x86RK\x01\x85\x85\x85s."s,
         true, {{{1.f}}}},
        {"encode other codec", "(dc_codecs\nencode\n(Vdata\nVutf-8\ntR(((F1.0\nttts."s, false, {}},
        {"encode one argument", "(dc_codecs\nencode\n(Vdata\ntR(((F1.0\nttts."s, false, {}},
        {"encode of bytes", "(dc_codecs\nencode\n(C\x04" "dataVlatin1\ntR(((F1.0\nttts."s, false, {}},
        {"encode not called", "(dc_codecs\nencode\n(((F1.0\nttts."s, false, {}},
        {"encode in a row", "(dVdata\n(((c_codecs\nencode\nttts."s, false, {}},
        {"other _codecs function", "(dc_codecs\ndecode\n(Vdata\nVlatin1\ntR(((F1.0\nttts."s, false, {}},
        {"REDUCE of a tuple", "(dVdata\n)(((F1.0\ntttRs."s, false, {}},
        {"STACK_GLOBAL", "\x8c\x08" "builtins\x8c\x04list\x93."s, false, {}},
        {"persistent id", "N\x51."s, false, {}},
        {"out-of-band buffer", "\x97."s, false, {}},
        {"BINUNICODE invalid UTF-8", "}\x8c\x02\xc3\x28Ns]]]\x85\x85\x85."s, false, {}},
        {"BINUNICODE surrogate", "}\x8c\x03\xed\xa0\x80Ns]]]\x85\x85\x85."s, true, {{{}}}},
        {"BINSTRING non-ASCII", "}U\x01\x80Ns]]]\x85\x85\x85."s, false, {}},
        {"BINBYTES8 longer than data", "\x8e\xff\xff\xff\xff\xff\xff\xff\x7f."s, false, {}},
        {"BINUNICODE8 longer than data", "\x8d\x00\x00\x00\x00\x00\x00\x00\x01."s, false, {}},
        {"huge LONG4 count", "\x8b\xff\xff\xff\x7f."s, false, {}},
    };
    for (const Case& c : cases) {
        auto r = as_file(c.pickle);
        EXPECT_EQ(r.ok(), c.ok) << c.what << (r.ok() ? "" : ": " + r.error().what);
        if (r.ok() && c.ok) expect_table(r->data, c.want, c.what);
    }
}

TEST(PickleLimits, EveryBoundFailsCleanly) {
    using namespace std::string_literals;
    auto times = [](int n, const std::string& unit) {
        std::string s;
        for (int i = 0; i < n; ++i) s += unit;
        return s;
    };
    struct Case { const char* what; std::uint64_t pickle::Limits::*bound; std::uint64_t value; std::string pickle; bool ok; };
    const Case cases[] = {
        {"marks beyond the stack", &pickle::Limits::max_stack, 100, times(200, "(") + ".", false},
        {"items beyond the stack", &pickle::Limits::max_stack, 100, times(200, "N") + ".", false},
        {"items within the stack", &pickle::Limits::max_stack, 100, times(50, "N") + ".", true},
        {"lists", &pickle::Limits::max_nodes, 10, times(20, "]") + ".", false},
        {"numbers", &pickle::Limits::max_numbers, 10, "](" + times(20, "K\x01") + "e.", false},
        {"other items", &pickle::Limits::max_items, 10, "](" + times(20, "N") + "e.", false},
        {"memo entries", &pickle::Limits::max_memo, 3, "N\x94\x94\x94\x94.", false},
        {"overwriting an id is not a new entry", &pickle::Limits::max_memo, 3, "N\x94\x94\x94q\x00."s, true},
    };
    for (const Case& c : cases) {
        pickle::Limits lim;
        lim.*c.bound = c.value;
        EXPECT_EQ(unpickle(c.pickle, lim).ok(), c.ok) << c.what;
    }
    pickle::Limits lim;
    lim.max_line = 8;
    EXPECT_FALSE(unpickle("F1.00000000000\n.", lim).ok());
    EXPECT_TRUE(unpickle("F1.0000\n.", lim).ok());

    // Deep nesting costs no recursion: 500000 nested tuples, then a table.
    std::string deep = "\x80\x04)";
    for (int i = 0; i < 500000; ++i) deep += "\x85";
    deep += "]]\x85\x85.";
    auto r = as_file(deep);
    ASSERT_TRUE(r.ok()) << r.error().what;
    EXPECT_EQ(r->data.size(), 1u);
}

TEST(PedestalsDecode, SharedRowsCannotExpandBeyondTheCap) {
    using namespace std::string_literals;
    // One row of 1000 floats referenced 1000 x 1000 times: a few KB of pickle, 4 GB of table.
    std::string p = "\x80\x04](";
    for (int i = 0; i < 1000; ++i) p += "G\x3f\xf0\x00\x00\x00\x00\x00\x00"s;
    p += "e\x94](";
    for (int i = 0; i < 1000; ++i) p += "h\x00"s;
    p += "e\x94](";
    for (int i = 0; i < 1000; ++i) p += "h\x01";
    p += "e\x85.";
    const auto start = std::chrono::steady_clock::now();
    const long before = max_rss_kib();
    auto r = as_file(p);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().what, "the table is too large");
    EXPECT_LT(max_rss_kib() - before, 16 * 1024) << "KiB of peak memory growth";
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    // The same structure within the cap decodes, every reference reading the one row.
    const std::string small = "\x80\x04](G\x3f\xf0\x00\x00\x00\x00\x00\x00G\x40\x00\x00\x00\x00\x00\x00\x00" "e\x94](h\x00h\x00" "e\x94](h\x01h\x01h\x01" "e\x85."s;
    auto ok = as_file(small);
    ASSERT_TRUE(ok.ok()) << ok.error().what;
    expect_table(ok->data, Table(3, std::vector<std::vector<float>>(2, {1.f, 2.f})), "shared rows");
}

// ---------------------------------------------------------------------------------------------
// Seeded mutations of valid files: decoding must fail or succeed, never crash or hang.

TEST(PedestalsDecode, MutatedFilesNeverCrash) {
    REQUIRE_PYTHON_FIXTURES();
    std::mt19937 rng(20240611);
    std::size_t accepted = 0, total = 0;
    for (const char* base : {"dict", "tables_as_tuples", "ints", "shared", "rand", "bytes_key", "sets"}) {
        for (int p = 0; p <= 5; ++p) {
            const std::string name = std::string(base) + "_" + std::to_string(p);
            if (!have(name + ".pkl")) continue;
            const Bytes gz = fixture(name + ".gz");
            const Bytes pk = fixture(name + ".pkl");
            for (int m = 0; m < 60; ++m) {
                const bool in_pickle = m % 3 != 0;  // mostly mutate the pickle, then re-compress it
                Bytes b = in_pickle ? pk : gz;
                std::uniform_int_distribution<std::size_t> pos(0, b.size() - 1);
                switch (rng() % 4) {
                    case 0: b[pos(rng)] ^= static_cast<std::uint8_t>(1u << (rng() % 8)); break;
                    case 1: b[pos(rng)] = static_cast<std::uint8_t>(rng()); break;
                    case 2: b.resize(pos(rng)); break;
                    default: b.insert(b.begin() + static_cast<long>(pos(rng)), static_cast<std::uint8_t>(rng())); break;
                }
                auto r = decode_file(in_pickle ? gzip_bytes(b) : b);
                accepted += r.ok();
                ++total;
            }
        }
    }
    EXPECT_GT(total, 2000u);
    EXPECT_LT(accepted, total);
}
