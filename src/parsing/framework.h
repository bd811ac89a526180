// What all parsers share: the ParseInto interface, the layout-key tables and lookup, the common
// packet checks and the big/little-endian word readers. The list of models is parsing/models.h.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>
#include <vector>

#include "acquisition/metadata.h"
#include "error/errors.h"
#include "error/result.h"
#include "parsing/events.h"

namespace brimo {

using Bytes = std::span<const std::uint8_t>;

// ParseInto<Event>: one parse function per event record, a pure function of the packet and params.
// Each board model's source file defines the specialization for its record.
template <class Event>
Result<Event, ParsingError> parse_into(Bytes packet, const Params& params);

// ---------------------------------------------------------------------------------------------
// Layout keys. Each parser reads its packet layout from params.extra keys ("chanmask",
// "n_event_headers", ...) and lists them, with the values it uses when a key is absent, in one
// table of its own:
//     constexpr LayoutKeys<2> kKeys{{{{"chanmask", 0x0600}, {"n_footers", 2}}}};
// `kKeys["chanmask"]` is checked when compiling, and layout_keys<Event>() hands the table to the
// tools, so no default is written twice.
struct LayoutKey {
    std::string_view key;
    std::uint64_t default_value;
};

template <std::size_t N>
struct LayoutKeys {
    std::array<LayoutKey, N> keys;

    // The entry of `name`; a name that is not in the table does not compile.
    consteval LayoutKey operator[](std::string_view name) const {
        for (const LayoutKey& k : keys)
            if (k.key == name) return k;
        throw "not a layout key of this parser";
    }
};

// Two tables as one, for a parser whose layout includes a block that other parsers share.
template <std::size_t N, std::size_t M>
consteval LayoutKeys<N + M> operator+(const LayoutKeys<N>& a, const LayoutKeys<M>& b) {
    LayoutKeys<N + M> out{};
    for (std::size_t i = 0; i < N; ++i) out.keys[i] = a.keys[i];
    for (std::size_t i = 0; i < M; ++i) out.keys[N + i] = b.keys[i];
    return out;
}

// The layout-key table of the parser of `Event`; each parser's file defines its specialization.
template <class Event>
std::span<const LayoutKey> layout_keys();

// A key counts only when its value in params.extra is a non-negative integer (tags looked through,
// booleans are not integers); otherwise the default applies.
std::optional<std::uint64_t> lookup_uint(const Params& params, std::string_view key);
inline std::uint64_t lookup_u64(const Params& params, LayoutKey key) {
    return lookup_uint(params, key.key).value_or(key.default_value);
}
// Masks and shifts keep the low 16 bits of the integer.
inline std::uint16_t lookup_u16(const Params& params, LayoutKey key) {
    return static_cast<std::uint16_t>(lookup_u64(params, key));
}

// ---------------------------------------------------------------------------------------------
// The steps most parsers share.

// Packets of 16-bit words: a packet of no bytes has no data, one of an odd number of bytes cannot
// be whole words.
inline Result<void, ParsingError> check_word_packet(Bytes packet) {
    if (packet.empty()) return err(ParsingError::MissingData);
    if (packet.size() % 2 != 0) return err(ParsingError::UnexpectedLength);
    return {};
}

// Records are created with one entry per channel of params "channels". No board has anywhere near
// this many; a larger value comes from a corrupt metadata file and is refused with InvalidParameters
// rather than exhausting memory on empty channel lists.
inline constexpr std::uint64_t kMaxChannels = std::uint64_t(1) << 20;

template <class Event>
Result<Event, ParsingError> new_event(std::uint64_t channels) {
    if (channels > kMaxChannels) return err(ParsingError::InvalidParameters);
    return Event(static_cast<std::size_t>(channels));
}

// ---------------------------------------------------------------------------------------------
// Word readers. One 16-bit word at p, in either byte order (an unaligned load and, when the order is
// not the host's, a byte swap):
inline std::uint16_t load_be16(const std::uint8_t* p) {
    std::uint16_t w;
    std::memcpy(&w, p, 2);
    if constexpr (std::endian::native == std::endian::little) w = __builtin_bswap16(w);
    return w;
}
inline std::uint16_t load_le16(const std::uint8_t* p) {
    std::uint16_t w;
    std::memcpy(&w, p, 2);
    if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap16(w);
    return w;
}

// All words of a packet: two bytes per word, a trailing odd byte dropped.
std::vector<std::uint16_t> words_be(Bytes bytes);  // first byte high
std::vector<std::uint16_t> words_le(Bytes bytes);  // first byte low

// The same words in a buffer that is written once (a vector would be zero-filled first); for the hot
// path of the word-reading parsers.
class Words {
public:
    Words() = default;
    explicit Words(std::size_t n) : p_(new std::uint16_t[n]), n_(n) {}  // default-initialized
    std::uint16_t* data() { return p_.get(); }
    const std::uint16_t* data() const { return p_.get(); }
    std::size_t size() const { return n_; }
    std::uint16_t operator[](std::size_t i) const { return p_[i]; }
    std::span<const std::uint16_t> span() const { return {p_.get(), n_}; }

private:
    std::unique_ptr<std::uint16_t[]> p_;
    std::size_t n_ = 0;
};
Words load_words_be(Bytes bytes);
Words load_words_le(Bytes bytes);

}  // namespace brimo
