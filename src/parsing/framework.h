// What all parsers share: the ParseInto interface, the layout-key lookup, the model table and the
// big/little-endian word readers.
#pragma once

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

// Records are created with one entry per channel of params "channels". No board has anywhere near
// this many; a larger value comes from a corrupt metadata file and is refused with InvalidParameters
// rather than exhausting memory on empty channel lists.
inline constexpr std::uint64_t kMaxChannels = std::uint64_t(1) << 20;

// ---------------------------------------------------------------------------------------------
// Layout-key lookup. A key counts only when its value in params.extra is a non-negative integer
// (tags looked through, booleans are not integers); otherwise the default applies.
std::optional<std::uint64_t> lookup_uint(const Params& params, std::string_view key);
inline std::uint64_t lookup_u64(const Params& params, std::string_view key, std::uint64_t def) {
    return lookup_uint(params, key).value_or(def);
}
// Masks and shifts keep the low 16 bits of the integer.
inline std::uint16_t lookup_u16(const Params& params, std::string_view key, std::uint16_t def) {
    auto v = lookup_uint(params, key);
    return v ? static_cast<std::uint16_t>(*v) : def;
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

// ---------------------------------------------------------------------------------------------
// Model table: the exact, case-sensitive params "model" string selects the parser.
enum class Model : std::uint8_t {
    Pellorv3,
    Pellorv3S,
    Quarvelv3,
    Lanwev1,
    Ovisk,
    Skerd16,
    Kivrov1,
    Vombel96,
    Mirranv2,
};

std::optional<Model> model_from_name(std::string_view name);

template <Model M> struct ModelEvent;
template <> struct ModelEvent<Model::Pellorv3> { using type = Pellorv3Event; };
template <> struct ModelEvent<Model::Pellorv3S> { using type = Pellorv3SEvent; };
template <> struct ModelEvent<Model::Quarvelv3> { using type = Quarvelv3Event; };
template <> struct ModelEvent<Model::Lanwev1> { using type = Lanwev1Event; };
template <> struct ModelEvent<Model::Ovisk> { using type = OviskEvent; };
template <> struct ModelEvent<Model::Skerd16> { using type = Skerd16Event; };
template <> struct ModelEvent<Model::Kivrov1> { using type = Kivrov1Event; };
template <> struct ModelEvent<Model::Vombel96> { using type = Vombel96Event; };
template <> struct ModelEvent<Model::Mirranv2> { using type = Mirranv2Event; };

template <class T> struct TypeTag { using type = T; };

// Calls f(TypeTag<Event>{}) with the event record of `model`; generic code instantiates once per record.
template <class F>
decltype(auto) visit_model(Model model, F&& f) {
    switch (model) {
        case Model::Pellorv3: return f(TypeTag<Pellorv3Event>{});
        case Model::Pellorv3S: return f(TypeTag<Pellorv3SEvent>{});
        case Model::Quarvelv3: return f(TypeTag<Quarvelv3Event>{});
        case Model::Lanwev1: return f(TypeTag<Lanwev1Event>{});
        case Model::Ovisk: return f(TypeTag<OviskEvent>{});
        case Model::Skerd16: return f(TypeTag<Skerd16Event>{});
        case Model::Kivrov1: return f(TypeTag<Kivrov1Event>{});
        case Model::Vombel96: return f(TypeTag<Vombel96Event>{});
        case Model::Mirranv2: break;
    }
    return f(TypeTag<Mirranv2Event>{});
}

}  // namespace brimo
