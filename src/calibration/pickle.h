// A decoder for the subset of Python's pickle format that a pedestal calibration uses: one pickle of
// protocol 0 to 5 holding None, booleans, integers, floats, strings, byte strings, lists, tuples and
// dicts (plus the sets and bytearrays of protocols 4 and 5, kept only as opaque values). Anything that
// names a class or a function, persistent ids and out-of-band buffers are refused, with one exception:
// `_codecs.encode(text, "latin1")`, which is how protocols 0 to 2 write a bytes object, is that bytes
// object.
//
// Values are modelled as Python holds them: lists, tuples and dicts are shared nodes in an arena,
// so a list that was memoized and later appended to shows its items through every reference.
// Numbers are kept as the 32-bit float they will become in the table, together with their kind
// (an int out of the signed 64-bit range, or a bool, is kept only as its kind). Of a dict only the
// values under the keys "data" and b"data" are kept; of strings and byte strings only whether they
// spell "data".
//
// The decoder never recurses and bounds everything it allocates (Limits), so a hostile pickle can
// fail but cannot crash it, exhaust memory or make it loop without consuming input.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "error/errors.h"
#include "error/result.h"

namespace brimo::pickle {

using PickleError = Error;

enum class Kind : std::uint8_t {
    Absent,     // no value (a dict without the key)
    None,
    Bool,       // payload 0 or 1
    Number,     // an int within signed 64 bits or a float; payload = the nearest 32-bit float
    BigInt,     // an int outside signed 64 bits
    Str,        // payload: kWord* below
    Bytes,      // payload 1 when the bytes are exactly b"data"
    Set,        // opaque
    FrozenSet,  // opaque
    ByteArray,  // opaque
    List,       // payload = node index
    Tuple,      // payload = node index
    Dict,       // payload = node index
    CodecsEncode,  // the function _codecs.encode; only ever the callable of a REDUCE
};

// Payloads of Str: the strings the decoder tells apart (0 for any other). Bytes use kWordData only.
inline constexpr std::uint32_t kWordData = 1;
inline constexpr std::uint32_t kWordLatin1 = 2;
inline constexpr std::uint32_t kWordCodecs = 3;
inline constexpr std::uint32_t kWordEncode = 4;

struct Value {
    std::uint32_t payload = 0;
    Kind kind = Kind::Absent;

    static Value number(float f) { return {std::bit_cast<std::uint32_t>(f), Kind::Number}; }
    float as_float() const { return std::bit_cast<float>(payload); }
    bool is_node() const { return kind == Kind::List || kind == Kind::Tuple || kind == Kind::Dict; }
    bool is_sequence() const { return kind == Kind::List || kind == Kind::Tuple; }
    bool spells_data() const { return (kind == Kind::Str || kind == Kind::Bytes) && payload == 1; }
};

// A list, tuple or dict.
struct Node {
    Kind kind = Kind::List;
    // List or tuple: while every item is a number the items live in `numbers` (the common case of a
    // table row, 4 bytes an item); the first other item moves them all to `items`.
    bool numeric = true;
    bool hashable = true;  // tuple: every item hashable (a tuple holding a list cannot be a dict key)
    std::vector<float> numbers;
    std::vector<Value> items;
    // Dict: the values under "data" and b"data" (Kind::Absent when the key is missing).
    Value data_text;
    Value data_bytes;

    std::size_t size() const { return numeric ? numbers.size() : items.size(); }
    Value item(std::size_t i) const { return numeric ? Value::number(numbers[i]) : items[i]; }
};

struct Document {
    std::vector<Node> nodes;
    Value root;

    const Node& node(Value v) const { return nodes[v.payload]; }
};

// Bounds on what one pickle may make the decoder hold (together below 1 GB at the very worst, most
// of it the numbers, which the largest table needs anyway).
// Every one is well above what a pedestal table of 96 channels x 512 windows x 1024 samples needs:
// 50 million numbers in 49 thousand lists.
struct Limits {
    std::uint64_t max_stack = std::uint64_t(1) << 22;      // stack entries plus open marks
    std::uint64_t max_nodes = std::uint64_t(1) << 20;      // lists, tuples and dicts
    std::uint64_t max_numbers = std::uint64_t(1) << 26;    // numeric items over all lists/tuples
    std::uint64_t max_items = std::uint64_t(1) << 22;      // other items over all lists/tuples
    std::uint64_t max_memo = std::uint64_t(1) << 20;       // memo entries
    std::size_t max_line = std::size_t(1) << 16;           // protocol 0 text argument, bytes
};

// Where the pickle bytes come from when they are not all in memory (an inflating gzip stream).
class Source {
public:
    virtual ~Source() = default;
    // Writes up to `cap` bytes into dst; 0 means the source ended cleanly.
    virtual Result<std::size_t, PickleError> fill(std::uint8_t* dst, std::size_t cap) = 0;
};

// Decodes exactly one pickle that must end with the last byte (nothing after STOP).
Result<Document, PickleError> decode(std::span<const std::uint8_t> bytes, const Limits& limits = {});
Result<Document, PickleError> decode(Source& source, const Limits& limits = {});

}  // namespace brimo::pickle
