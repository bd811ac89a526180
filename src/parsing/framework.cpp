#include "parsing/framework.h"
#include "parsing/util.h"


namespace brimo {

std::optional<std::uint64_t> lookup_uint(const Params& params, std::string_view key) {
    const YamlValue* v = params.find(key);
    if (!v) return std::nullopt;
    const YamlValue& u = v->untagged();
    if (u.kind != YamlValue::Kind::Int || (u.int_negative && u.int_magnitude != 0)) return std::nullopt;
    return u.int_magnitude;
}

namespace {
// One pass from bytes to words; with the byte swap of a foreign byte order the loop compiles to
// vector shuffles, so the word conversion costs about as much as a copy.
template <bool kBigEndian>
BRIMO_VECTOR_CLONES void convert_words(const std::uint8_t* src, std::uint16_t* dst, std::size_t n) {
    for (std::size_t k = 0; k < n; ++k) dst[k] = kBigEndian ? load_be16(src + 2 * k) : load_le16(src + 2 * k);
}

template <bool kBigEndian>
std::vector<std::uint16_t> word_vector(Bytes bytes) {
    std::vector<std::uint16_t> w(bytes.size() / 2);
    convert_words<kBigEndian>(bytes.data(), w.data(), w.size());
    return w;
}

template <bool kBigEndian>
Words load_words(Bytes bytes) {
    Words w(bytes.size() / 2);  // not zero-filled: every element is written here
    convert_words<kBigEndian>(bytes.data(), w.data(), w.size());
    return w;
}
}  // namespace

std::vector<std::uint16_t> words_be(Bytes bytes) { return word_vector<true>(bytes); }
std::vector<std::uint16_t> words_le(Bytes bytes) { return word_vector<false>(bytes); }
Words load_words_be(Bytes bytes) { return load_words<true>(bytes); }
Words load_words_le(Bytes bytes) { return load_words<false>(bytes); }

}  // namespace brimo
