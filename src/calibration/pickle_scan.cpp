#include "calibration/pickle_scan.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace brimo::pickle {
namespace {

// What follows each opcode of protocols 0 to 5.
enum class Arg : std::uint8_t {
    Unknown,  // not an opcode
    None,
    Fixed,    // `size` bytes
    Counted,  // a little-endian length of `size` bytes, then that many bytes
    Signed,   // as Counted, with a signed 4-byte length (negative: the unpickler refuses it)
    Line,     // one newline-terminated line
    Lines2,   // two lines (GLOBAL, INST)
    Put,      // PUT: a decimal line
    BinPut,   // BINPUT, LONG_BINPUT: `size` bytes
    Ext,      // EXT1, EXT2, EXT4: `size` bytes
    Stop,
};

struct OpArg {
    Arg arg = Arg::Unknown;
    std::uint8_t size = 0;
};

constexpr std::array<OpArg, 256> make_table() {
    std::array<OpArg, 256> t{};
    for (unsigned char c : std::string_view("(012NQRabdl}e]o)tsu\x81\x85\x86\x87\x88\x89\x8f\x90\x91\x92\x93\x94\x97\x98"))
        t[c] = {Arg::None, 0};
    for (unsigned char c : std::string_view("FILPSVgi")) t[c] = {Arg::Line, 0};
    t['c'] = t['i'] = {Arg::Lines2, 0};
    t['p'] = {Arg::Put, 0};
    t['K'] = t['h'] = t[0x80] = {Arg::Fixed, 1};
    t['M'] = {Arg::Fixed, 2};
    t['J'] = t['j'] = {Arg::Fixed, 4};
    t['G'] = t[0x95] = {Arg::Fixed, 8};
    t['q'] = {Arg::BinPut, 1};
    t['r'] = {Arg::BinPut, 4};
    t[0x82] = {Arg::Ext, 1};
    t[0x83] = {Arg::Ext, 2};
    t[0x84] = {Arg::Ext, 4};
    t['U'] = t['C'] = t[0x8c] = t[0x8a] = {Arg::Counted, 1};
    t['B'] = t['X'] = {Arg::Counted, 4};
    t['T'] = t[0x8b] = {Arg::Signed, 4};
    t[0x8d] = t[0x8e] = t[0x96] = {Arg::Counted, 8};
    t['.'] = {Arg::Stop, 0};
    return t;
}

constexpr std::array<OpArg, 256> kOps = make_table();

}  // namespace

bool OpcodeScan::finish_fixed() {
    std::uint64_t v = 0;
    for (unsigned i = 0; i < got_; ++i) v |= std::uint64_t(fixed_[i]) << (8 * i);
    state_ = State::Opcode;
    if ((use_ == Use::Length || use_ == Use::SignedLength) && v > max_length_ && !(use_ == Use::SignedLength && (v & 0x80000000u))) {
        found_ = Found::Length;
        argument_ = v;
        return false;
    }
    switch (use_) {
        case Use::Length:
            if (v > 0) {
                skip_ = v;
                state_ = State::Skip;
            }
            return true;
        case Use::SignedLength:
            if (v & 0x80000000u) state_ = State::Ended;  // refused by the unpickler right here
            else if (v > 0) {
                skip_ = v;
                state_ = State::Skip;
            }
            return true;
        case Use::Put:
            if (v < opcodes_) return true;
            found_ = Found::MemoIndex;
            argument_ = v;
            return false;
        case Use::Ext:
            found_ = Found::Extension;
            argument_ = v;
            return false;
        case Use::None:
            return true;
    }
    return true;
}

bool OpcodeScan::finish_line() {
    state_ = State::Opcode;
    if (use_ != Use::Put || !line_digits_ || line_other_ || line_value_ < opcodes_) return true;
    found_ = Found::MemoIndex;
    argument_ = line_value_;
    return false;
}

std::size_t OpcodeScan::feed(std::span<const std::uint8_t> piece) {
    if (found_ != Found::Nothing) return 0;
    const std::size_t n = piece.size();
    std::size_t i = 0;
    // The end of the opcode byte being read when it is in this piece (0 when it was in an earlier one):
    // what may be handed out when its argument is refused.
    std::size_t cut = 0;
    while (i < n) {
        switch (state_) {
            case State::Ended:
                return n;
            case State::Opcode: {
                const OpArg a = kOps[piece[i++]];
                cut = i;
                ++opcodes_;
                use_ = Use::None;
                switch (a.arg) {
                    case Arg::Unknown: case Arg::Stop:
                        state_ = State::Ended;
                        return n;
                    case Arg::None:
                        break;
                    case Arg::Fixed: case Arg::Counted: case Arg::Signed: case Arg::BinPut: case Arg::Ext:
                        use_ = a.arg == Arg::Counted ? Use::Length
                               : a.arg == Arg::Signed ? Use::SignedLength
                               : a.arg == Arg::BinPut ? Use::Put
                               : a.arg == Arg::Ext    ? Use::Ext
                                                      : Use::None;
                        need_ = a.size;
                        got_ = 0;
                        state_ = State::Fixed;
                        break;
                    case Arg::Line: case Arg::Lines2: case Arg::Put:
                        lines_ = a.arg == Arg::Lines2 ? 2 : 1;
                        use_ = a.arg == Arg::Put ? Use::Put : Use::None;
                        line_value_ = 0;
                        line_digits_ = line_other_ = false;
                        state_ = State::Line;
                        break;
                }
                break;
            }
            case State::Fixed:
                while (i < n && got_ < need_) fixed_[got_++] = piece[i++];
                if (got_ == need_ && !finish_fixed()) return cut;
                break;
            case State::Skip: {
                const std::uint64_t k = std::min<std::uint64_t>(skip_, n - i);
                i += static_cast<std::size_t>(k);
                skip_ -= k;
                if (skip_ == 0) state_ = State::Opcode;
                break;
            }
            case State::Line:
                while (i < n) {
                    const std::uint8_t c = piece[i++];
                    if (c == '\n') {
                        if (--lines_ == 0) break;
                        continue;
                    }
                    if (use_ != Use::Put) continue;
                    // Python's int() of the line: blanks, a '+' sign and '_' between digits are
                    // accepted there; an index that does not parse is refused by the unpickler itself.
                    if (c >= '0' && c <= '9') {
                        line_digits_ = true;
                        line_value_ = line_value_ > (std::uint64_t(1) << 60) ? line_value_ : line_value_ * 10 + (c - '0');
                    } else if (c != ' ' && c != '\t' && c != '\r' && c != '_' && c != '+') {
                        line_other_ = true;
                    }
                }
                if (lines_ == 0 && !finish_line()) return cut;
                break;
        }
    }
    return n;
}

}  // namespace brimo::pickle
