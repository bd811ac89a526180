// A pass over the opcodes of a pickle, without decoding it, that finds the two opcode forms that make
// the interpreter's own unpickler misbehave on hostile input whatever the allowed classes are:
//
//  - a memo store (PUT, BINPUT, LONG_BINPUT) at a huge index: the unpickler sizes its memo table to
//    the index, so the 5 bytes of `LONG_BINPUT 2^31-1` ask for tens of GiB. Picklers number memo
//    entries from 0 upwards, one per memoized object, so an index is refused once it is not below the
//    number of opcodes before it; the memo table then stays proportional to the pickle.
//  - an extension code (EXT1, EXT2, EXT4), which the unpickler resolves through the process-wide
//    copyreg registry and its cache rather than through the class lookup the caller restricts;
//  - a counted string, bytes or bytearray longer than the whole input may be: the unpickler allocates
//    the announced length before it reads, so a 20-byte pickle could ask for gigabytes.
//
// The bytes arrive in pieces of any size (an inflating stream). feed() says how many bytes of each
// piece lie before the argument of the first such opcode, so that a caller hands the unpickler only
// those and fails its read of the argument (an error while reading an opcode byte itself would be
// reported by the unpickler as the end of the data). Scanning
// ends at STOP (what follows is not part of the pickle) and at an opcode it does not know, which the
// unpickler refuses on its own at the same place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace brimo::pickle {

class OpcodeScan {
public:
    enum class Found : std::uint8_t { Nothing, MemoIndex, Extension, Length };

    // max_length: the most bytes the pickle can hold (the caller's bound on its input).
    explicit OpcodeScan(std::uint64_t max_length) : max_length_(max_length) {}

    // Scans the next piece; returns the number of its bytes that may be handed out: the whole piece,
    // or, when the piece completes a refused opcode, its bytes up to and including that opcode byte
    // (0 when the opcode byte was in an earlier piece). The unpickler thus never gets the whole
    // argument of a refused opcode. Once something was found, every later piece gives 0.
    std::size_t feed(std::span<const std::uint8_t> piece);

    Found found() const { return found_; }
    // The extension code when found() is Extension, the memo index when MemoIndex, the length when
    // Length.
    std::uint64_t argument() const { return argument_; }

private:
    enum class State : std::uint8_t { Opcode, Fixed, Skip, Line, Ended };
    enum class Use : std::uint8_t { None, Length, SignedLength, Put, Ext };

    bool finish_fixed();
    bool finish_line();

    std::uint64_t max_length_;
    State state_ = State::Opcode;
    Use use_ = Use::None;
    std::uint8_t need_ = 0;       // Fixed: bytes still to collect
    std::uint8_t got_ = 0;        // Fixed: bytes collected
    std::uint8_t lines_ = 0;      // Line: newlines still to pass
    std::uint8_t fixed_[8] = {};  // Fixed: the collected bytes, little-endian
    std::uint64_t skip_ = 0;      // Skip: bytes still to pass
    std::uint64_t opcodes_ = 0;   // opcodes seen, the current one included
    // Line of a PUT: its decimal value, or an overflow marker once it cannot be an index.
    std::uint64_t line_value_ = 0;
    bool line_digits_ = false;
    bool line_other_ = false;
    Found found_ = Found::Nothing;
    std::uint64_t argument_ = 0;
};

}  // namespace brimo::pickle
