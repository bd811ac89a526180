// A YAML value tree as read from metadata.yml: scalars resolved by the YAML 1.2 core schema,
// sequences, mappings in document order, and tagged values that keep their tag around the value.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace brimo {

struct YamlValue;
using YamlMapping = std::vector<std::pair<YamlValue, YamlValue>>;  // document order kept
using YamlSequence = std::vector<YamlValue>;

struct YamlValue {
    enum class Kind : std::uint8_t { Null, Bool, Int, Float, String, Sequence, Mapping, Tagged };

    Kind kind = Kind::Null;
    bool boolean = false;
    // Int: magnitude and sign; integers of the core schema from -(2^64-1) to 2^64-1. Larger ones are
    // read as Float.
    std::uint64_t int_magnitude = 0;
    bool int_negative = false;
    double real = 0.0;          // Float
    std::string text;           // String; Tagged: the tag as written (e.g. "!custom")
    YamlSequence sequence;      // Sequence
    YamlMapping mapping;        // Mapping
    std::shared_ptr<const YamlValue> tagged;  // Tagged: the value inside the tag (never null)

    // Declared here and defaulted below the class: a mapping holds pairs of YamlValue, which are
    // complete only once the class is, and some standard libraries look at the pair type while
    // defining these members inside the class.
    YamlValue();
    YamlValue(const YamlValue&);
    YamlValue(YamlValue&&) noexcept;
    YamlValue& operator=(const YamlValue&);
    YamlValue& operator=(YamlValue&&) noexcept;
    ~YamlValue();

    static YamlValue null() { return {}; }
    static YamlValue from_bool(bool b) { YamlValue v; v.kind = Kind::Bool; v.boolean = b; return v; }
    static YamlValue from_uint(std::uint64_t u) { YamlValue v; v.kind = Kind::Int; v.int_magnitude = u; return v; }
    static YamlValue from_int(std::int64_t i) {
        YamlValue v; v.kind = Kind::Int;
        v.int_negative = i < 0;
        v.int_magnitude = i < 0 ? std::uint64_t(0) - std::uint64_t(i) : std::uint64_t(i);
        return v;
    }
    static YamlValue from_float(double d) { YamlValue v; v.kind = Kind::Float; v.real = d; return v; }
    static YamlValue from_string(std::string s) { YamlValue v; v.kind = Kind::String; v.text = std::move(s); return v; }
    static YamlValue make_tagged(std::string tag, YamlValue inner) {
        YamlValue v; v.kind = Kind::Tagged; v.text = std::move(tag);
        v.tagged = std::make_shared<const YamlValue>(std::move(inner));
        return v;
    }

    // The value with every tag around it looked through.
    const YamlValue& untagged() const {
        const YamlValue* v = this;
        while (v->kind == Kind::Tagged) v = v->tagged.get();
        return *v;
    }
    bool is_string(std::string_view s) const { return kind == Kind::String && text == s; }
};

inline YamlValue::YamlValue() = default;
inline YamlValue::YamlValue(const YamlValue&) = default;
inline YamlValue::YamlValue(YamlValue&&) noexcept = default;
inline YamlValue& YamlValue::operator=(const YamlValue&) = default;
inline YamlValue& YamlValue::operator=(YamlValue&&) noexcept = default;
inline YamlValue::~YamlValue() = default;

}  // namespace brimo
