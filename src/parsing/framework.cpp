#include "parsing/framework.h"
#include "parsing/util.h"

#include <array>
#include <bit>
#include <cstring>
#include <utility>

namespace brimo {

std::optional<std::uint64_t> lookup_uint(const Params& params, std::string_view key) {
    const YamlValue* v = params.find(key);
    if (!v) return std::nullopt;
    const YamlValue& u = v->untagged();
    if (u.kind != YamlValue::Kind::Int || (u.int_negative && u.int_magnitude != 0)) return std::nullopt;
    return u.int_magnitude;
}

// Both readers copy the bytes once and then fix the byte order word by word; the swap loop compiles
// to vector byte shuffles, which is what makes the word conversion cost about as much as a copy.
std::vector<std::uint16_t> words_be(Bytes bytes) {
    std::vector<std::uint16_t> w(bytes.size() / 2);
    if (w.empty()) return w;
    std::memcpy(w.data(), bytes.data(), w.size() * 2);
    if constexpr (std::endian::native == std::endian::little)
        for (std::uint16_t& x : w) x = static_cast<std::uint16_t>((x >> 8) | (x << 8));
    return w;
}

std::vector<std::uint16_t> words_le(Bytes bytes) {
    std::vector<std::uint16_t> w(bytes.size() / 2);
    if (w.empty()) return w;
    std::memcpy(w.data(), bytes.data(), w.size() * 2);
    if constexpr (std::endian::native == std::endian::big)
        for (std::uint16_t& x : w) x = static_cast<std::uint16_t>((x >> 8) | (x << 8));
    return w;
}

namespace {
// One pass from bytes to words: an unaligned 16-bit load and, when the packet's byte order is not the
// host's, a byte swap; the loop compiles to vector shuffles.
template <bool kBigEndian>
BRIMO_VECTOR_CLONES void convert_words(Bytes bytes, std::uint16_t* dst, std::size_t n) {
    const std::uint8_t* src = bytes.data();
    for (std::size_t k = 0; k < n; ++k) {
        std::uint16_t x;
        std::memcpy(&x, src + 2 * k, 2);
        if constexpr (kBigEndian == (std::endian::native == std::endian::little))
            x = static_cast<std::uint16_t>((x >> 8) | (x << 8));
        dst[k] = x;
    }
}
}  // namespace

Words load_words_be(Bytes bytes) {
    Words w;
    w.n_ = bytes.size() / 2;
    w.p_.reset(new std::uint16_t[w.n_]);  // default-initialized: every element is written below
    convert_words<true>(bytes, w.p_.get(), w.n_);
    return w;
}

Words load_words_le(Bytes bytes) {
    Words w;
    w.n_ = bytes.size() / 2;
    w.p_.reset(new std::uint16_t[w.n_]);
    convert_words<false>(bytes, w.p_.get(), w.n_);
    return w;
}

namespace {
// The thirteen "model" values. The kivrov1 parser is selected by "kivro"; the four lanwe values share
// one parser, and so do the two ovisk values.
constexpr std::array<std::pair<std::string_view, Model>, 13> kModelTable{{
    {"pellorv3", Model::Pellorv3},
    {"pellorv3s", Model::Pellorv3S},
    {"quarvelv3", Model::Quarvelv3},
    {"lanwev1_evalr2", Model::Lanwev1},
    {"lanwev2_eval", Model::Lanwev1},
    {"lanwev2_evalr1", Model::Lanwev1},
    {"lanwev2_evalr2", Model::Lanwev1},
    {"ovisk_mirran", Model::Ovisk},
    {"ovisk_pellor", Model::Ovisk},
    {"skerd16", Model::Skerd16},
    {"kivro", Model::Kivrov1},
    {"vombel96", Model::Vombel96},
    {"mirranv2", Model::Mirranv2},
}};
}  // namespace

std::optional<Model> model_from_name(std::string_view name) {
    for (const auto& [n, m] : kModelTable)
        if (n == name) return m;
    return std::nullopt;
}

}  // namespace brimo
