#include "calibration/pickle.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string_view>
#include <unordered_map>

namespace brimo::pickle {

namespace {

// ---------------------------------------------------------------------------------------------
// Input: either a byte span in memory, or a Source pulled into a buffer as the decoder needs it.
// The decoder asks for a few bytes at a time (ensure), for a whole protocol 0 text line, or to run
// through a long string argument piecewise (consume) without ever holding it.
class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> bytes)
        : begin_(bytes.data()), p_(bytes.data()), e_(bytes.data() + bytes.size()) {}
    Reader(Source& src, std::size_t buffer_size)
        : src_(&src), buf_(new std::uint8_t[buffer_size]), buf_size_(buffer_size) {
        begin_ = p_ = e_ = buf_.get();
    }

    // Makes n bytes available; fails with the source's error, or as truncated when the input ends first.
    Result<void, PickleError> ensure(std::size_t n) {
        if (static_cast<std::size_t>(e_ - p_) >= n) return {};
        return need(n);
    }
    // Callers ensure() first.
    std::uint8_t u8() { return *p_++; }
    const std::uint8_t* take(std::size_t n) {
        const std::uint8_t* r = p_;
        p_ += n;
        return r;
    }
    // Absolute offset of the next unread byte.
    std::uint64_t position() const { return base_ + static_cast<std::uint64_t>(p_ - begin_); }

    // The next line without its '\n'. Fails on end of input or a line longer than max_line.
    Result<std::string_view, PickleError> line(std::size_t max_line) {
        std::size_t scanned = 0;
        for (;;) {
            const std::size_t avail = static_cast<std::size_t>(e_ - p_);
            const void* nl = std::memchr(p_ + scanned, '\n', avail - scanned);
            if (nl != nullptr) {
                const auto* q = static_cast<const std::uint8_t*>(nl);
                if (static_cast<std::size_t>(q - p_) > max_line) return too_long();
                const std::string_view out(reinterpret_cast<const char*>(p_), static_cast<std::size_t>(q - p_));
                p_ = q + 1;
                return out;
            }
            scanned = avail;
            if (scanned > max_line) return too_long();
            BRIMO_TRY(need(scanned + 1));
        }
    }

    // Hands the next n bytes to f in pieces. Fails if the input ends first.
    template <class F>
    Result<void, PickleError> consume(std::uint64_t n, F&& f) {
        if (src_ == nullptr && n > static_cast<std::uint64_t>(e_ - p_)) return truncated();
        while (n > 0) {
            if (p_ == e_) BRIMO_TRY(need(1));
            const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(n, static_cast<std::uint64_t>(e_ - p_)));
            f(p_, k);
            p_ += k;
            n -= k;
        }
        return {};
    }

    // Whether no byte follows; with a Source this asks it for more (and lets it verify its end).
    Result<bool, PickleError> at_end() {
        if (p_ != e_) return false;
        if (src_ == nullptr || src_ended_) return true;
        BRIMO_ASSIGN_OR_RETURN(const bool more, refill(1));
        return !more;
    }

private:
    [[gnu::cold]] static Err<PickleError> truncated() { return err(PickleError{"pickle data was truncated"}); }
    [[gnu::cold]] static Err<PickleError> too_long() { return err(PickleError{"pickle text argument too long"}); }

    Result<void, PickleError> need(std::size_t n) {
        BRIMO_ASSIGN_OR_RETURN(const bool got, refill(n));
        if (!got) return truncated();
        return {};
    }

    // Makes at least n bytes available (n never exceeds the buffer: lines are bounded below it). False
    // when the input ends first; an error of the source (a gzip stream that cannot be inflated) is
    // that error.
    Result<bool, PickleError> refill(std::size_t n) {
        if (src_ == nullptr || src_ended_) return false;
        std::size_t have = static_cast<std::size_t>(e_ - p_);
        base_ += static_cast<std::uint64_t>(p_ - begin_);
        std::memmove(buf_.get(), p_, have);
        begin_ = p_ = buf_.get();
        e_ = p_ + have;
        while (have < n) {
            BRIMO_ASSIGN_OR_RETURN(const std::size_t got, src_->fill(buf_.get() + have, buf_size_ - have));
            if (got == 0) {
                src_ended_ = true;
                return false;
            }
            have += got;
            e_ = p_ + have;
        }
        return true;
    }

    Source* src_ = nullptr;
    std::unique_ptr<std::uint8_t[]> buf_;  // left uninitialised: the source writes before we read
    std::size_t buf_size_ = 0;
    const std::uint8_t* begin_;
    const std::uint8_t* p_;
    const std::uint8_t* e_;
    std::uint64_t base_ = 0;
    bool src_ended_ = false;
};

// ---------------------------------------------------------------------------------------------
// Text forms of protocol 0.

bool is_digit(char c) { return c >= '0' && c <= '9'; }

enum class IntText { Bad, Fits, Big };
struct IntValue {
    IntText kind;
    std::int64_t value = 0;  // Fits only
};

// A decimal integer as Python writes it: optional sign, digits without leading zeros. Other
// spellings that Python's reader would take (hex, octal, blanks, underscores) are refused: the
// pickler never writes them, and "010" reads as octal 8 in one of Python's code paths.
IntValue parse_int_text(std::string_view s) {
    bool negative = false;
    if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
        negative = s[0] == '-';
        s.remove_prefix(1);
    }
    if (s.empty() || !std::all_of(s.begin(), s.end(), is_digit)) return {IntText::Bad};
    if (s.size() > 1 && s[0] == '0') return {IntText::Bad};
    std::uint64_t mag = 0;
    auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), mag);
    if (ec == std::errc::result_out_of_range) return {IntText::Big};
    if (ec != std::errc() || ptr != s.data() + s.size()) return {IntText::Bad};
    constexpr std::uint64_t kMaxPos = std::uint64_t(std::numeric_limits<std::int64_t>::max());
    if (negative) {
        if (mag > kMaxPos + 1) return {IntText::Big};
        return {IntText::Fits,
                mag == kMaxPos + 1 ? std::numeric_limits<std::int64_t>::min() : -static_cast<std::int64_t>(mag)};
    }
    if (mag > kMaxPos) return {IntText::Big};
    return {IntText::Fits, static_cast<std::int64_t>(mag)};
}

// The decimal exponent of the leading significant digit of a float's text (sign already removed);
// only used to tell overflow from underflow when the value is out of the double range.
long long leading_exponent(std::string_view s) {
    long long lead = 0;
    bool found = false;
    long long int_digits = 0;
    std::size_t i = 0;
    for (; i < s.size() && is_digit(s[i]); ++i, ++int_digits) {
        if (!found && s[i] != '0') {
            found = true;
            lead = -int_digits;  // completed below, once the count of integer digits is known
        }
    }
    if (found) {
        lead += int_digits - 1;
    } else if (i < s.size() && s[i] == '.') {
        long long frac = 0;
        for (++i; i < s.size() && is_digit(s[i]); ++i) {
            ++frac;
            if (!found && s[i] != '0') {
                found = true;
                lead = -frac;
            }
        }
    }
    while (i < s.size() && s[i] != 'e' && s[i] != 'E') ++i;
    long long exp = 0;
    if (i < s.size()) {
        ++i;
        bool neg = false;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
        for (; i < s.size() && is_digit(s[i]); ++i) exp = std::min<long long>(exp * 10 + (s[i] - '0'), 1LL << 40);
        if (neg) exp = -exp;
    }
    return lead + exp;
}

// Python's float() of a protocol 0 FLOAT argument: exact (correctly rounded) decimal conversion.
// A value beyond the double range is an error there (OverflowError); one below it becomes zero.
// Inlined by force, like do_append below: both lie on the path of every number of a table, and left
// to itself the compiler stops inlining into the large opcode loop, which costs the decoder ~10%.
[[gnu::always_inline]] inline std::optional<double> parse_float_text(std::string_view s) {
    bool negative = false;
    if (!s.empty() && s[0] == '+') s.remove_prefix(1);
    else if (!s.empty() && s[0] == '-') {
        negative = true;
        s.remove_prefix(1);
    }
    if (s.empty() || s[0] == '+' || s[0] == '-' || s.find('(') != std::string_view::npos) return std::nullopt;
    double v = 0;
    auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), v, std::chars_format::general);
    if (ptr != s.data() + s.size()) return std::nullopt;
    if (ec == std::errc::result_out_of_range) {
        if (leading_exponent(s) >= 0) return std::nullopt;
        v = 0.0;
    } else if (ec != std::errc()) {
        return std::nullopt;
    }
    return negative ? -v : v;
}

// The few strings the decoder tells apart (a string's payload): the "data" key, and the parts of
// `_codecs.encode(text, "latin1")`, which is how protocols 0 to 2 write a bytes object.
std::uint32_t word_of(std::string_view s) {
    if (s == "data") return kWordData;
    if (s == "latin1") return kWordLatin1;
    if (s == "_codecs") return kWordCodecs;
    if (s == "encode") return kWordEncode;
    return 0;
}

// Tracks which of those words a decoded string is, character by character.
struct WordMatcher {
    char head[8] = {};
    std::size_t n = 0;
    bool narrow = true;
    void put(std::uint32_t c) {
        if (n < sizeof head) {
            narrow = narrow && c < 0x80;
            head[n] = static_cast<char>(c);
        }
        ++n;
    }
    std::uint32_t word() const { return narrow && n <= sizeof head ? word_of({head, n}) : 0; }
};

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// STRING: a quoted, backslash-escaped byte string, read by Python 3 as ASCII text.
std::optional<std::uint32_t> decode_string_opcode(std::string_view s) {
    if (s.size() < 2 || s.front() != s.back() || (s.front() != '\'' && s.front() != '"')) return std::nullopt;
    s = s.substr(1, s.size() - 2);
    WordMatcher m;
    for (std::size_t i = 0; i < s.size();) {
        char c = s[i++];
        std::uint32_t out = static_cast<std::uint8_t>(c);
        if (c == '\\') {
            if (i == s.size()) return std::nullopt;  // trailing backslash
            c = s[i++];
            switch (c) {
                case '\n': continue;
                case '\\': case '\'': case '"': out = static_cast<std::uint8_t>(c); break;
                case 'b': out = 8; break;
                case 'f': out = 12; break;
                case 't': out = 9; break;
                case 'n': out = 10; break;
                case 'r': out = 13; break;
                case 'v': out = 11; break;
                case 'a': out = 7; break;
                case 'x': {
                    if (s.size() - i < 2 || hex_value(s[i]) < 0 || hex_value(s[i + 1]) < 0) return std::nullopt;
                    out = static_cast<std::uint32_t>(hex_value(s[i]) * 16 + hex_value(s[i + 1]));
                    i += 2;
                    break;
                }
                default:
                    if (c >= '0' && c <= '7') {
                        out = static_cast<std::uint32_t>(c - '0');
                        for (int k = 0; k < 2 && i < s.size() && s[i] >= '0' && s[i] <= '7'; ++k)
                            out = out * 8 + static_cast<std::uint32_t>(s[i++] - '0');
                        out &= 0xFF;
                    } else {
                        // An unknown escape keeps its backslash.
                        m.put('\\');
                        out = static_cast<std::uint8_t>(c);
                    }
            }
        }
        if (out >= 0x80) return std::nullopt;  // not ASCII
        m.put(out);
    }
    return m.word();
}

// UNICODE: raw-unicode-escape text. \uXXXX and \UXXXXXXXX are escapes when preceded by an odd
// number of backslashes; every other byte is its own Latin-1 character.
std::optional<std::uint32_t> decode_unicode_opcode(std::string_view s) {
    WordMatcher m;
    std::size_t i = 0;
    while (i < s.size()) {
        if (s[i] != '\\') {
            m.put(static_cast<std::uint8_t>(s[i++]));
            continue;
        }
        std::size_t j = i;
        while (j < s.size() && s[j] == '\\') ++j;
        const std::size_t run = j - i;
        if (run % 2 == 0 || j == s.size() || (s[j] != 'u' && s[j] != 'U')) {
            for (std::size_t k = 0; k < run; ++k) m.put('\\');
            i = j;
            continue;
        }
        for (std::size_t k = 0; k + 1 < run; ++k) m.put('\\');
        const std::size_t count = s[j] == 'u' ? 4 : 8;
        ++j;
        if (s.size() - j < count) return std::nullopt;
        std::uint32_t cp = 0;
        for (std::size_t k = 0; k < count; ++k) {
            const int h = hex_value(s[j + k]);
            if (h < 0) return std::nullopt;
            cp = cp * 16 + static_cast<std::uint32_t>(h);
        }
        if (cp > 0x10FFFF) return std::nullopt;
        m.put(cp);
        i = j + count;
    }
    return m.word();
}

// UTF-8 as Python decodes it for pickles ("surrogatepass": encoded surrogates are accepted).
struct Utf8Check {
    int need = 0;
    std::uint8_t lo = 0x80, hi = 0xBF;
    bool ok = true;
    void feed(const std::uint8_t* s, std::size_t n) {
        for (std::size_t i = 0; i < n && ok; ++i) {
            const std::uint8_t b = s[i];
            if (need == 0) {
                if (b < 0x80) continue;
                lo = 0x80;
                hi = 0xBF;
                if (b >= 0xC2 && b <= 0xDF) need = 1;
                else if (b == 0xE0) { need = 2; lo = 0xA0; }
                else if (b >= 0xE1 && b <= 0xEF) need = 2;
                else if (b == 0xF0) { need = 3; lo = 0x90; }
                else if (b >= 0xF1 && b <= 0xF3) need = 3;
                else if (b == 0xF4) { need = 3; hi = 0x8F; }
                else ok = false;
            } else {
                if (b < lo || b > hi) ok = false;
                lo = 0x80;
                hi = 0xBF;
                --need;
            }
        }
    }
    bool done() const { return ok && need == 0; }
};

// ---------------------------------------------------------------------------------------------
// Opcodes.
namespace op {
constexpr std::uint8_t MARK = '(', STOP = '.', POP = '0', POP_MARK = '1', DUP = '2', FLOAT = 'F', INT = 'I',
                       BININT = 'J', BININT1 = 'K', LONG = 'L', BININT2 = 'M', NONE = 'N', PERSID = 'P',
                       BINPERSID = 'Q', REDUCE = 'R', STRING = 'S', BINSTRING = 'T', SHORT_BINSTRING = 'U',
                       UNICODE = 'V', BINUNICODE = 'X', APPEND = 'a', BUILD = 'b', GLOBAL = 'c', DICT = 'd',
                       EMPTY_DICT = '}', APPENDS = 'e', GET = 'g', BINGET = 'h', INST = 'i', LONG_BINGET = 'j',
                       LIST = 'l', EMPTY_LIST = ']', OBJ = 'o', PUT = 'p', BINPUT = 'q', LONG_BINPUT = 'r',
                       SETITEM = 's', TUPLE = 't', EMPTY_TUPLE = ')', SETITEMS = 'u', BINFLOAT = 'G',
                       PROTO = 0x80, NEWOBJ = 0x81, EXT1 = 0x82, EXT2 = 0x83, EXT4 = 0x84, TUPLE1 = 0x85,
                       TUPLE2 = 0x86, TUPLE3 = 0x87, NEWTRUE = 0x88, NEWFALSE = 0x89, LONG1 = 0x8a,
                       LONG4 = 0x8b, BINBYTES = 'B', SHORT_BINBYTES = 'C', SHORT_BINUNICODE = 0x8c,
                       BINUNICODE8 = 0x8d, BINBYTES8 = 0x8e, EMPTY_SET = 0x8f, ADDITEMS = 0x90,
                       FROZENSET = 0x91, NEWOBJ_EX = 0x92, STACK_GLOBAL = 0x93, MEMOIZE = 0x94, FRAME = 0x95,
                       BYTEARRAY8 = 0x96, NEXT_BUFFER = 0x97, READONLY_BUFFER = 0x98;
}  // namespace op

constexpr int kHighestProtocol = 5;

class Decoder {
public:
    Decoder(Reader& in, const Limits& lim) : in_(in), lim_(lim) {}

    Result<Document, PickleError> run() {
        BRIMO_TRY(loop());
        return std::move(doc_);
    }

private:
    using Status = Result<void, PickleError>;

    [[gnu::cold]] static Err<PickleError> fail(const char* what) { return err(PickleError{what}); }
    [[gnu::cold]] static Err<PickleError> underflow() { return fail("pickle stack underflow"); }
    std::size_t fence() const { return marks_.empty() ? 0 : marks_.back(); }

    Status push(Value v) {
        if (stack_.size() + marks_.size() >= lim_.max_stack) return fail("pickle stack too deep");
        stack_.push_back(v);
        return {};
    }
    Result<std::size_t, PickleError> pop_mark() {
        if (marks_.empty()) return fail("could not find MARK");
        const std::size_t mark = marks_.back();
        marks_.pop_back();
        return mark;
    }
    Result<Value, PickleError> new_node(Kind kind) {
        if (doc_.nodes.size() >= std::min<std::uint64_t>(lim_.max_nodes, std::numeric_limits<std::uint32_t>::max()))
            return fail("too many lists, tuples or dicts in pickle");
        doc_.nodes.emplace_back();
        doc_.nodes.back().kind = kind;
        return Value{static_cast<std::uint32_t>(doc_.nodes.size() - 1), kind};
    }
    bool hashable(Value v) const {
        switch (v.kind) {
            case Kind::List: case Kind::Dict: case Kind::Set: case Kind::ByteArray: case Kind::Absent:
            case Kind::CodecsEncode:
                return false;
            case Kind::Tuple:
                return doc_.nodes[v.payload].hashable;
            default:
                return true;
        }
    }
    Status add_item(Node& n, Value v) {
        if (v.kind == Kind::CodecsEncode) return fail("pickle references a class or function");
        if (n.numeric && v.kind == Kind::Number) {
            if (++numbers_ > lim_.max_numbers) return fail("too many numbers in pickle");
            n.numbers.push_back(v.as_float());
            return {};
        }
        if (n.numeric) {
            items_ += n.numbers.size();
            if (items_ > lim_.max_items) return fail("too many items in pickle");
            n.items.reserve(n.numbers.size() + 1);
            for (float f : n.numbers) n.items.push_back(Value::number(f));
            n.numbers = {};
            n.numeric = false;
        }
        if (++items_ > lim_.max_items) return fail("too many items in pickle");
        n.items.push_back(v);
        if (n.kind == Kind::Tuple && !hashable(v)) n.hashable = false;
        return {};
    }
    // Builds a list or tuple of the stack entries from `from` to the top, which are removed.
    Status build_sequence(Kind kind, std::size_t from) {
        BRIMO_ASSIGN_OR_RETURN(const Value v, new_node(kind));
        Node& n = doc_.nodes[v.payload];
        for (std::size_t i = from; i < stack_.size(); ++i) BRIMO_TRY(add_item(n, stack_[i]));
        stack_.resize(from);
        return push(v);
    }
    Status set_item(Node& dict, Value key, Value value) {
        if (key.kind == Kind::CodecsEncode || value.kind == Kind::CodecsEncode)
            return fail("pickle references a class or function");
        if (!hashable(key)) return fail("unhashable dict key in pickle");
        if (key.spells_data()) (key.kind == Kind::Str ? dict.data_text : dict.data_bytes) = value;
        return {};
    }
    [[gnu::always_inline]] Status do_append(std::size_t x) {
        const std::size_t len = stack_.size();
        if (x > len || x <= fence()) return underflow();
        if (x == len) return {};
        const Value target = stack_[x - 1];
        if (target.kind != Kind::List) return fail("APPEND to something that is not a list");
        Node& n = doc_.nodes[target.payload];
        for (std::size_t i = x; i < len; ++i) BRIMO_TRY(add_item(n, stack_[i]));
        stack_.resize(x);
        return {};
    }
    Status do_setitems(std::size_t x) {
        const std::size_t len = stack_.size();
        if (x > len || x <= fence()) return underflow();
        if (x == len) return {};
        if ((len - x) % 2 != 0) return fail("odd number of items for SETITEMS");
        const Value target = stack_[x - 1];
        if (target.kind != Kind::Dict) return fail("SETITEM on something that is not a dict");
        Node& d = doc_.nodes[target.payload];
        for (std::size_t i = x; i < len; i += 2) BRIMO_TRY(set_item(d, stack_[i], stack_[i + 1]));
        stack_.resize(x);
        return {};
    }

    // Memo: dense ids (the pickler counts up from 0) in a vector, any others in a map.
    Status memo_put(std::uint64_t idx) {
        if (stack_.size() <= fence()) return underflow();
        const Value v = stack_.back();
        if (idx < memo_dense_.size()) {
            memo_dense_[idx] = v;
            return {};
        }
        const bool is_new = !memo_sparse_.contains(idx);
        if (is_new && memo_dense_.size() + memo_sparse_.size() >= lim_.max_memo) return fail("pickle memo too large");
        if (idx == memo_dense_.size()) {
            memo_sparse_.erase(idx);
            memo_dense_.push_back(v);
        } else {
            memo_sparse_[idx] = v;
        }
        return {};
    }
    Status memo_get(std::uint64_t idx) {
        if (idx < memo_dense_.size()) return push(memo_dense_[idx]);
        auto it = memo_sparse_.find(idx);
        if (it == memo_sparse_.end()) return fail("memo value not found");
        return push(it->second);
    }

    Result<std::string_view, PickleError> text_line() { return in_.line(lim_.max_line); }
    Result<std::uint64_t, PickleError> text_index() {
        BRIMO_ASSIGN_OR_RETURN(const std::string_view s, text_line());
        if (s.empty() || !std::all_of(s.begin(), s.end(), is_digit)) return fail("bad memo index");
        std::uint64_t idx = 0;
        auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), idx);
        if (ec != std::errc() || ptr != s.data() + s.size()) return fail("bad memo index");
        return idx;
    }
    Status push_int(std::int64_t v) { return push(Value::number(static_cast<float>(v))); }

    // Little-endian two's complement of n bytes (LONG1, LONG4).
    Status binary_long(std::uint64_t n) {
        if (n <= 8) {
            BRIMO_TRY(in_.ensure(static_cast<std::size_t>(n)));
            const std::uint8_t* p = in_.take(static_cast<std::size_t>(n));
            if (n == 0) return push_int(0);
            std::uint64_t u = 0;
            for (std::uint64_t i = 0; i < n; ++i) u |= std::uint64_t(p[i]) << (8 * i);
            if (n < 8 && (p[n - 1] & 0x80)) u |= ~std::uint64_t(0) << (8 * n);
            return push_int(static_cast<std::int64_t>(u));
        }
        // Longer than 8 bytes: fits only if every further byte repeats the sign of byte 7.
        BRIMO_TRY(in_.ensure(8));
        const std::uint8_t* p = in_.take(8);
        std::uint64_t u = 0;
        for (int i = 0; i < 8; ++i) u |= std::uint64_t(p[i]) << (8 * i);
        const std::uint8_t ext = (p[7] & 0x80) ? 0xFF : 0x00;
        bool fits = true;
        BRIMO_TRY(in_.consume(n - 8, [&](const std::uint8_t* q, std::size_t k) {
            for (std::size_t i = 0; i < k; ++i) fits = fits && q[i] == ext;
        }));
        return fits ? push_int(static_cast<std::int64_t>(u)) : push(Value{0, Kind::BigInt});
    }

    enum class Text { Utf8, Ascii, Raw };
    // A counted string argument of n bytes: checked, compared with the words above, never stored.
    Status counted(std::uint64_t n, Text text, Kind kind) {
        std::uint8_t head[8];
        Utf8Check utf8;
        bool ascii = true;
        std::uint64_t seen = 0;
        BRIMO_TRY(in_.consume(n, [&](const std::uint8_t* q, std::size_t k) {
            for (std::size_t i = 0; i < k && seen + i < sizeof head; ++i) head[seen + i] = q[i];
            seen += k;
            if (text == Text::Utf8) utf8.feed(q, k);
            else if (text == Text::Ascii)
                for (std::size_t i = 0; i < k; ++i) ascii = ascii && q[i] < 0x80;
        }));
        if (text == Text::Utf8 && !utf8.done()) return fail("invalid UTF-8 in pickled string");
        if (!ascii) return fail("non-ASCII byte in pickled string");
        std::uint32_t word =
            n <= sizeof head ? word_of({reinterpret_cast<const char*>(head), static_cast<std::size_t>(n)}) : 0;
        if (kind != Kind::Str && word != kWordData) word = 0;
        return push(Value{word, kind});
    }

    // The counted string and bytes opcodes differ only in the width of their little-endian length
    // and in what their bytes hold.
    struct CountedOp {
        std::uint8_t code;
        std::uint8_t width;
        Text text;
        Kind kind;
    };
    static constexpr CountedOp kCountedOps[] = {
        {op::SHORT_BINSTRING, 1, Text::Ascii, Kind::Str},    {op::BINSTRING, 4, Text::Ascii, Kind::Str},
        {op::SHORT_BINUNICODE, 1, Text::Utf8, Kind::Str},    {op::BINUNICODE, 4, Text::Utf8, Kind::Str},
        {op::BINUNICODE8, 8, Text::Utf8, Kind::Str},         {op::SHORT_BINBYTES, 1, Text::Raw, Kind::Bytes},
        {op::BINBYTES, 4, Text::Raw, Kind::Bytes},           {op::BINBYTES8, 8, Text::Raw, Kind::Bytes},
        {op::BYTEARRAY8, 8, Text::Raw, Kind::ByteArray},
    };

    Status counted_opcode(std::uint8_t code) {
        const CountedOp* c = kCountedOps;
        while (c->code != code) ++c;  // the caller's switch lists exactly the table's opcodes
        BRIMO_ASSIGN_OR_RETURN(const std::uint64_t n, fixed<std::uint64_t>(c->width));
        // BINSTRING's length is signed (the 4-byte forms of the other opcodes are not).
        if (c->code == op::BINSTRING && static_cast<std::int32_t>(n) < 0) return fail("negative BINSTRING length");
        BRIMO_TRY(counted(n, c->text, c->kind));
        if (c->kind == Kind::ByteArray) stack_.back().payload = 0;
        return {};
    }

    // An unsigned little-endian number of n bytes.
    template <class T>
    Result<T, PickleError> fixed(std::size_t n) {
        BRIMO_TRY(in_.ensure(n));
        const std::uint8_t* p = in_.take(n);
        std::uint64_t u = 0;
        for (std::size_t i = 0; i < n; ++i) u |= std::uint64_t(p[i]) << (8 * i);
        return static_cast<T>(u);
    }

    Status loop() {
        for (;;) {
            BRIMO_TRY(in_.ensure(1));
            const std::uint8_t code = in_.u8();
            switch (code) {
                case op::BINFLOAT: {
                    BRIMO_TRY(in_.ensure(8));
                    const std::uint8_t* p = in_.take(8);
                    std::uint64_t u;
                    std::memcpy(&u, p, 8);
                    if constexpr (std::endian::native == std::endian::little) u = __builtin_bswap64(u);
                    BRIMO_TRY(push(Value::number(static_cast<float>(std::bit_cast<double>(u)))));
                    break;
                }
                case op::BININT1: {
                    BRIMO_ASSIGN_OR_RETURN(const std::uint8_t v, fixed<std::uint8_t>(1));
                    BRIMO_TRY(push_int(v));
                    break;
                }
                case op::BININT2: {
                    BRIMO_ASSIGN_OR_RETURN(const std::uint16_t v, fixed<std::uint16_t>(2));
                    BRIMO_TRY(push_int(v));
                    break;
                }
                case op::BININT: {
                    BRIMO_ASSIGN_OR_RETURN(const std::uint32_t v, fixed<std::uint32_t>(4));
                    BRIMO_TRY(push_int(static_cast<std::int32_t>(v)));
                    break;
                }
                case op::MARK:
                    if (stack_.size() + marks_.size() >= lim_.max_stack) return fail("pickle stack too deep");
                    marks_.push_back(stack_.size());
                    break;
                case op::STOP: {
                    if (stack_.size() <= fence()) return underflow();
                    doc_.root = stack_.back();
                    if (frame_end_ > in_.position()) return fail("pickle frame runs past the end of the data");
                    BRIMO_ASSIGN_OR_RETURN(const bool at_end, in_.at_end());
                    if (!at_end) return fail("data after the pickle's STOP opcode");
                    return {};
                }
                case op::POP:
                    if (stack_.size() > fence()) stack_.pop_back();
                    else if (!marks_.empty()) marks_.pop_back();
                    else return underflow();
                    break;
                case op::POP_MARK: {
                    BRIMO_ASSIGN_OR_RETURN(const std::size_t m, pop_mark());
                    stack_.resize(m);
                    break;
                }
                case op::DUP:
                    if (stack_.size() <= fence()) return underflow();
                    BRIMO_TRY(push(stack_.back()));
                    break;
                case op::FLOAT: {
                    BRIMO_ASSIGN_OR_RETURN(const std::string_view s, text_line());
                    const std::optional<double> d = parse_float_text(s);
                    if (!d) return fail("bad FLOAT argument");
                    BRIMO_TRY(push(Value::number(static_cast<float>(*d))));
                    break;
                }
                case op::INT: case op::LONG: {
                    BRIMO_ASSIGN_OR_RETURN(std::string_view s, text_line());
                    if (code == op::INT && (s == "00" || s == "01")) {  // protocol 0 and 1 booleans
                        BRIMO_TRY(push(Value{s == "01" ? 1u : 0u, Kind::Bool}));
                        break;
                    }
                    if (code == op::LONG && !s.empty() && s.back() == 'L') s.remove_suffix(1);
                    const IntValue v = parse_int_text(s);
                    switch (v.kind) {
                        case IntText::Bad: return fail("bad INT or LONG argument");
                        case IntText::Big: BRIMO_TRY(push(Value{0, Kind::BigInt})); break;
                        case IntText::Fits: BRIMO_TRY(push_int(v.value)); break;
                    }
                    break;
                }
                case op::LONG1: {
                    BRIMO_ASSIGN_OR_RETURN(const std::uint8_t n, fixed<std::uint8_t>(1));
                    BRIMO_TRY(binary_long(n));
                    break;
                }
                case op::LONG4: {
                    BRIMO_ASSIGN_OR_RETURN(const std::uint32_t n, fixed<std::uint32_t>(4));
                    if (static_cast<std::int32_t>(n) < 0) return fail("negative LONG4 byte count");
                    BRIMO_TRY(binary_long(n));
                    break;
                }
                case op::NONE:
                    BRIMO_TRY(push(Value{0, Kind::None}));
                    break;
                case op::NEWTRUE: case op::NEWFALSE:
                    BRIMO_TRY(push(Value{code == op::NEWTRUE ? 1u : 0u, Kind::Bool}));
                    break;
                case op::STRING: case op::UNICODE: {
                    BRIMO_ASSIGN_OR_RETURN(const std::string_view s, text_line());
                    const std::optional<std::uint32_t> word =
                        code == op::STRING ? decode_string_opcode(s) : decode_unicode_opcode(s);
                    if (!word) return fail("bad STRING or UNICODE argument");
                    BRIMO_TRY(push(Value{*word, Kind::Str}));
                    break;
                }
                case op::BINSTRING: case op::SHORT_BINSTRING: case op::SHORT_BINUNICODE: case op::BINUNICODE:
                case op::BINUNICODE8: case op::SHORT_BINBYTES: case op::BINBYTES: case op::BINBYTES8:
                case op::BYTEARRAY8:
                    BRIMO_TRY(counted_opcode(code));
                    break;
                case op::EMPTY_LIST: case op::EMPTY_TUPLE: case op::EMPTY_DICT: {
                    const Kind k =
                        code == op::EMPTY_LIST ? Kind::List : code == op::EMPTY_TUPLE ? Kind::Tuple : Kind::Dict;
                    BRIMO_ASSIGN_OR_RETURN(const Value v, new_node(k));
                    BRIMO_TRY(push(v));
                    break;
                }
                case op::LIST: case op::TUPLE: {
                    BRIMO_ASSIGN_OR_RETURN(const std::size_t m, pop_mark());
                    BRIMO_TRY(build_sequence(code == op::LIST ? Kind::List : Kind::Tuple, m));
                    break;
                }
                case op::TUPLE1: case op::TUPLE2: case op::TUPLE3: {
                    const std::size_t n = code - op::TUPLE1 + 1u;
                    if (stack_.size() - fence() < n) return underflow();
                    BRIMO_TRY(build_sequence(Kind::Tuple, stack_.size() - n));
                    break;
                }
                case op::DICT: {
                    BRIMO_ASSIGN_OR_RETURN(const std::size_t m, pop_mark());
                    if ((stack_.size() - m) % 2 != 0) return fail("odd number of items for DICT");
                    BRIMO_ASSIGN_OR_RETURN(const Value v, new_node(Kind::Dict));
                    for (std::size_t i = m; i < stack_.size(); i += 2)
                        BRIMO_TRY(set_item(doc_.nodes[v.payload], stack_[i], stack_[i + 1]));
                    stack_.resize(m);
                    BRIMO_TRY(push(v));
                    break;
                }
                case op::APPEND:
                    if (stack_.empty()) return underflow();
                    BRIMO_TRY(do_append(stack_.size() - 1));
                    break;
                case op::APPENDS: {
                    BRIMO_ASSIGN_OR_RETURN(const std::size_t m, pop_mark());
                    BRIMO_TRY(do_append(m));
                    break;
                }
                case op::SETITEM:
                    if (stack_.size() < 2) return underflow();
                    BRIMO_TRY(do_setitems(stack_.size() - 2));
                    break;
                case op::SETITEMS: {
                    BRIMO_ASSIGN_OR_RETURN(const std::size_t m, pop_mark());
                    BRIMO_TRY(do_setitems(m));
                    break;
                }
                case op::EMPTY_SET:
                    BRIMO_TRY(push(Value{0, Kind::Set}));
                    break;
                case op::ADDITEMS: {
                    BRIMO_ASSIGN_OR_RETURN(const std::size_t m, pop_mark());
                    if (m > stack_.size() || m <= fence()) return underflow();
                    if (m == stack_.size()) break;
                    if (stack_[m - 1].kind != Kind::Set) return fail("ADDITEMS to something that is not a set");
                    for (std::size_t i = m; i < stack_.size(); ++i)
                        if (!hashable(stack_[i])) return fail("unhashable set element in pickle");
                    stack_.resize(m);
                    break;
                }
                case op::FROZENSET: {
                    BRIMO_ASSIGN_OR_RETURN(const std::size_t m, pop_mark());
                    for (std::size_t i = m; i < stack_.size(); ++i)
                        if (!hashable(stack_[i])) return fail("unhashable set element in pickle");
                    stack_.resize(m);
                    BRIMO_TRY(push(Value{0, Kind::FrozenSet}));
                    break;
                }
                case op::PUT: {
                    BRIMO_ASSIGN_OR_RETURN(const std::uint64_t idx, text_index());
                    BRIMO_TRY(memo_put(idx));
                    break;
                }
                case op::BINPUT: {
                    BRIMO_ASSIGN_OR_RETURN(const std::uint8_t idx, fixed<std::uint8_t>(1));
                    BRIMO_TRY(memo_put(idx));
                    break;
                }
                case op::LONG_BINPUT: {
                    BRIMO_ASSIGN_OR_RETURN(const std::uint32_t idx, fixed<std::uint32_t>(4));
                    BRIMO_TRY(memo_put(idx));
                    break;
                }
                case op::MEMOIZE:
                    BRIMO_TRY(memo_put(memo_dense_.size() + memo_sparse_.size()));
                    break;
                case op::GET: {
                    BRIMO_ASSIGN_OR_RETURN(const std::uint64_t idx, text_index());
                    BRIMO_TRY(memo_get(idx));
                    break;
                }
                case op::BINGET: {
                    BRIMO_ASSIGN_OR_RETURN(const std::uint8_t idx, fixed<std::uint8_t>(1));
                    BRIMO_TRY(memo_get(idx));
                    break;
                }
                case op::LONG_BINGET: {
                    BRIMO_ASSIGN_OR_RETURN(const std::uint32_t idx, fixed<std::uint32_t>(4));
                    BRIMO_TRY(memo_get(idx));
                    break;
                }
                case op::PROTO: {
                    BRIMO_ASSIGN_OR_RETURN(const std::uint8_t v, fixed<std::uint8_t>(1));
                    if (v > kHighestProtocol) return fail("unsupported pickle protocol");
                    break;
                }
                case op::FRAME: {
                    BRIMO_ASSIGN_OR_RETURN(const std::uint64_t n, fixed<std::uint64_t>(8));
                    // A frame only announces how many bytes follow; they must exist.
                    if (n > (std::uint64_t(1) << 62)) return fail("pickle frame too large");
                    frame_end_ = std::max(frame_end_, in_.position() + n);
                    break;
                }
                case op::GLOBAL: {
                    BRIMO_ASSIGN_OR_RETURN(const std::string_view module, text_line());
                    const bool codecs = module == "_codecs";
                    BRIMO_ASSIGN_OR_RETURN(const std::string_view name, text_line());
                    if (!codecs || name != "encode") return fail("pickle references a class or function");
                    BRIMO_TRY(push(Value{0, Kind::CodecsEncode}));
                    break;
                }
                case op::STACK_GLOBAL: {
                    if (stack_.size() - fence() < 2) return underflow();
                    const Value module = stack_[stack_.size() - 2], name = stack_.back();
                    if (module.kind != Kind::Str || module.payload != kWordCodecs || name.kind != Kind::Str ||
                        name.payload != kWordEncode)
                        return fail("pickle references a class or function");
                    stack_.pop_back();
                    stack_.back() = Value{0, Kind::CodecsEncode};
                    break;
                }
                case op::REDUCE: {
                    // Only _codecs.encode(text, "latin1"): a bytes object, "data" when the text is.
                    if (stack_.size() - fence() < 2) return underflow();
                    const Value function = stack_[stack_.size() - 2], args = stack_.back();
                    if (function.kind != Kind::CodecsEncode || args.kind != Kind::Tuple)
                        return fail("pickle references a class or function");
                    const Node& a = doc_.node(args);
                    if (a.size() != 2 || a.item(0).kind != Kind::Str || a.item(1).kind != Kind::Str ||
                        a.item(1).payload != kWordLatin1)
                        return fail("pickle calls _codecs.encode with other arguments than Python writes");
                    const std::uint32_t word = a.item(0).payload == kWordData ? kWordData : 0;
                    stack_.pop_back();
                    stack_.back() = Value{word, Kind::Bytes};
                    break;
                }
                case op::INST: case op::OBJ:
                case op::BUILD: case op::NEWOBJ: case op::NEWOBJ_EX: case op::EXT1: case op::EXT2: case op::EXT4:
                    return fail("pickle references a class or function");
                case op::PERSID: case op::BINPERSID:
                    return fail("pickle uses persistent ids");
                case op::NEXT_BUFFER: case op::READONLY_BUFFER:
                    return fail("pickle uses out-of-band buffers");
                default:
                    return fail("invalid pickle opcode");
            }
        }
    }

    Reader& in_;
    const Limits& lim_;
    Document doc_;
    std::vector<Value> stack_;
    std::vector<std::size_t> marks_;
    std::vector<Value> memo_dense_;
    std::unordered_map<std::uint64_t, Value> memo_sparse_;
    std::uint64_t numbers_ = 0;
    std::uint64_t items_ = 0;
    std::uint64_t frame_end_ = 0;
};

}  // namespace

Result<Document, PickleError> decode(std::span<const std::uint8_t> bytes, const Limits& limits) {
    Reader in(bytes);
    return Decoder(in, limits).run();
}

Result<Document, PickleError> decode(Source& source, const Limits& limits) {
    Reader in(source, std::max<std::size_t>(std::size_t(1) << 18, limits.max_line + 64));
    return Decoder(in, limits).run();
}

}  // namespace brimo::pickle
