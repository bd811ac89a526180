#include "acquisition/metadata.h"

#include <yaml.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace brimo {

const YamlValue* Params::find(std::string_view key) const {
    for (const auto& [k, v] : extra)
        if (k.is_string(key)) return &v;
    return nullptr;
}

namespace {

// Bounds on what one metadata document may make us build. Real files are a few hundred nodes deep
// by a handful of levels; the bounds stop nesting from exhausting the stack and aliases from
// expanding a small file into an enormous tree ("billion laughs").
constexpr std::uint32_t kMaxDepth = 128;
constexpr std::uint64_t kMaxNodes = std::uint64_t(1) << 20;

constexpr std::string_view kCoreTagPrefix = "tag:yaml.org,2002:";

// ---------------------------------------------------------------------------------------------
// Scalar resolution (YAML 1.2 core schema).

bool is_digit(char c, int base) {
    switch (base) {
        case 2: return c == '0' || c == '1';
        case 8: return c >= '0' && c <= '7';
        case 10: return c >= '0' && c <= '9';
        default: return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    }
}

int digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return c - 'A' + 10;
}

struct UnsignedForm {
    int base = 10;
    std::string_view digits;
};

// The unsigned integer forms: decimal digits without a leading zero (a lone "0" is fine), or the
// prefixes 0x, 0o, 0b followed by at least one digit. Decimal with leading zeros is left out on
// purpose: YAML 1.1 readers take "010" as octal 8 and YAML 1.2 readers as 10, so such a value is
// kept as text rather than guessed.
std::optional<UnsignedForm> unsigned_form(std::string_view s) {
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'o' || s[1] == 'b')) {
        const int base = s[1] == 'x' ? 16 : s[1] == 'o' ? 8 : 2;
        for (char c : s.substr(2))
            if (!is_digit(c, base)) return std::nullopt;
        return UnsignedForm{base, s.substr(2)};
    }
    if (s.empty() || (s.size() > 1 && s[0] == '0')) return std::nullopt;
    for (char c : s)
        if (!is_digit(c, 10)) return std::nullopt;
    return UnsignedForm{10, s};
}

// Value of the digits, or nullopt beyond 2^64 - 1.
std::optional<std::uint64_t> form_value(const UnsignedForm& f) {
    std::uint64_t v = 0;
    const auto base = static_cast<std::uint64_t>(f.base);
    for (char c : f.digits) {
        const auto d = static_cast<std::uint64_t>(digit_value(c));
        if (v > (UINT64_MAX - d) / base) return std::nullopt;
        v = v * base + d;
    }
    return v;
}

double form_value_approx(const UnsignedForm& f) {
    double v = 0;
    for (char c : f.digits) v = v * f.base + digit_value(c);
    return v;
}

// "channels", "windows", "samples": a plain scalar "+"? followed by one of the unsigned forms, up to
// 2^64 - 1.
std::optional<std::uint64_t> parse_core_uint(std::string_view s) {
    const bool plus = !s.empty() && s[0] == '+';
    if (plus) s.remove_prefix(1);
    auto form = unsigned_form(s);
    // As in the general integer resolution, only decimal takes a sign.
    if (!form || (plus && form->base != 10)) return std::nullopt;
    return form_value(*form);
}

std::optional<YamlValue> resolve_int(std::string_view s) {
    bool negative = false;
    bool signed_ = false;
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
        negative = s[0] == '-';
        signed_ = true;
        s.remove_prefix(1);
    }
    auto form = unsigned_form(s);
    // The core schema gives a sign only to decimal integers.
    if (!form || (signed_ && form->base != 10)) return std::nullopt;
    YamlValue v;
    if (auto mag = form_value(*form)) {
        v.kind = YamlValue::Kind::Int;
        v.int_magnitude = *mag;
        v.int_negative = negative && *mag != 0;
    } else {
        // Integers beyond 64 bits are read as floating point.
        v.kind = YamlValue::Kind::Float;
        v.real = negative ? -form_value_approx(*form) : form_value_approx(*form);
    }
    return v;
}

// [-+]? ( . digits | digits ( . digits? )? ) ( [eE] [-+]? digits )?, with a "." or an exponent (a
// run of digits alone is an integer form), or the special values .inf and .nan.
std::optional<double> resolve_float(std::string_view s) {
    for (std::string_view nan : {".nan", ".NaN", ".NAN"})
        if (s == nan) return std::numeric_limits<double>::quiet_NaN();
    bool negative = false;
    std::string_view body = s;
    if (!body.empty() && (body[0] == '+' || body[0] == '-')) {
        negative = body[0] == '-';
        body.remove_prefix(1);
    }
    for (std::string_view inf : {".inf", ".Inf", ".INF"})
        if (body == inf)
            return negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();

    std::size_t i = 0;
    auto digits = [&] {
        const std::size_t start = i;
        while (i < body.size() && is_digit(body[i], 10)) ++i;
        return i - start;
    };
    const std::size_t int_digits = digits();
    bool dot = false;
    std::size_t frac_digits = 0;
    if (i < body.size() && body[i] == '.') {
        dot = true;
        ++i;
        frac_digits = digits();
    }
    if (int_digits == 0 && frac_digits == 0) return std::nullopt;
    bool exponent = false;
    bool exponent_negative = false;
    if (i < body.size() && (body[i] == 'e' || body[i] == 'E')) {
        exponent = true;
        ++i;
        if (i < body.size() && (body[i] == '+' || body[i] == '-')) exponent_negative = body[i++] == '-';
        if (digits() == 0) return std::nullopt;
    }
    if (i != body.size() || (!dot && !exponent)) return std::nullopt;

    double value = 0;
    const auto [p, ec] = std::from_chars(body.data(), body.data() + body.size(), value);
    if (ec == std::errc::result_out_of_range)
        value = exponent_negative ? 0.0 : std::numeric_limits<double>::infinity();
    else if (ec != std::errc() || p != body.data() + body.size())
        return std::nullopt;
    return negative ? -value : value;
}

YamlValue resolve_plain(std::string_view s) {
    if (s.empty() || s == "~" || s == "null" || s == "Null" || s == "NULL") return YamlValue::null();
    if (s == "true" || s == "True" || s == "TRUE") return YamlValue::from_bool(true);
    if (s == "false" || s == "False" || s == "FALSE") return YamlValue::from_bool(false);
    if (auto i = resolve_int(s)) return std::move(*i);
    if (auto f = resolve_float(s)) return YamlValue::from_float(*f);
    return YamlValue::from_string(std::string(s));
}

// ---------------------------------------------------------------------------------------------
// Key equality and hashing, for the duplicate-key check.

bool values_equal(const YamlValue& a, const YamlValue& b);

bool mappings_equal(const YamlMapping& a, const YamlMapping& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!values_equal(a[i].first, b[i].first) || !values_equal(a[i].second, b[i].second)) return false;
    return true;
}

bool values_equal(const YamlValue& a, const YamlValue& b) {
    if (a.kind != b.kind) return false;
    switch (a.kind) {
        case YamlValue::Kind::Null: return true;
        case YamlValue::Kind::Bool: return a.boolean == b.boolean;
        case YamlValue::Kind::Int: return a.int_magnitude == b.int_magnitude && a.int_negative == b.int_negative;
        case YamlValue::Kind::Float: return a.real == b.real || (std::isnan(a.real) && std::isnan(b.real));
        case YamlValue::Kind::String: return a.text == b.text;
        case YamlValue::Kind::Sequence:
            if (a.sequence.size() != b.sequence.size()) return false;
            for (std::size_t i = 0; i < a.sequence.size(); ++i)
                if (!values_equal(a.sequence[i], b.sequence[i])) return false;
            return true;
        case YamlValue::Kind::Mapping: return mappings_equal(a.mapping, b.mapping);
        case YamlValue::Kind::Tagged: return a.text == b.text && values_equal(*a.tagged, *b.tagged);
    }
    return false;
}

std::size_t hash_combine(std::size_t h, std::size_t v) { return h ^ (v + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2)); }

std::size_t value_hash(const YamlValue& v) {
    std::size_t h = static_cast<std::size_t>(v.kind);
    switch (v.kind) {
        case YamlValue::Kind::Null: break;
        case YamlValue::Kind::Bool: h = hash_combine(h, v.boolean); break;
        case YamlValue::Kind::Int: h = hash_combine(hash_combine(h, v.int_magnitude), v.int_negative); break;
        case YamlValue::Kind::Float:
            // Equal values must hash alike: every NaN is one key, and 0.0 == -0.0.
            h = hash_combine(h, std::isnan(v.real) ? 1 : v.real == 0 ? 0 : std::hash<double>{}(v.real));
            break;
        case YamlValue::Kind::String: h = hash_combine(h, std::hash<std::string>{}(v.text)); break;
        case YamlValue::Kind::Sequence:
            for (const auto& e : v.sequence) h = hash_combine(h, value_hash(e));
            break;
        case YamlValue::Kind::Mapping:
            for (const auto& [k, e] : v.mapping) h = hash_combine(hash_combine(h, value_hash(k)), value_hash(e));
            break;
        case YamlValue::Kind::Tagged:
            h = hash_combine(hash_combine(h, std::hash<std::string>{}(v.text)), value_hash(*v.tagged));
            break;
    }
    return h;
}

// ---------------------------------------------------------------------------------------------
// The document as libyaml reports it, before any typing: scalars keep their text, style and tag so
// that the required fields can insist on an unquoted integer. An alias shares the anchored node.

struct Node {
    enum class Kind : std::uint8_t { Scalar, Sequence, Mapping };
    Kind kind = Kind::Scalar;
    bool plain = false;  // scalar written without quotes or block style
    std::string tag;     // resolved tag; empty when none was written
    std::string text;    // scalar
    std::vector<std::shared_ptr<const Node>> children;  // mapping: key, value, key, value, ...
    std::uint32_t height = 1;
    std::uint64_t expanded = 1;  // nodes once every alias is expanded (saturating)
    std::size_t line = 0;
};
using NodePtr = std::shared_ptr<const Node>;

std::string at_line(std::size_t line) { return " at line " + std::to_string(line + 1); }

class Composer {
public:
    explicit Composer(std::string_view text) {
        yaml_parser_initialize(&parser_);
        yaml_parser_set_input_string(&parser_, reinterpret_cast<const unsigned char*>(text.data()), text.size());
    }
    ~Composer() { yaml_parser_delete(&parser_); }
    Composer(const Composer&) = delete;
    Composer& operator=(const Composer&) = delete;

    // The root node of the only document of the stream.
    Result<NodePtr, std::string> compose() {
        NodePtr root;
        std::size_t documents = 0;
        std::uint64_t events = 0;
        for (;;) {
            yaml_event_t ev;
            if (!yaml_parser_parse(&parser_, &ev)) {
                std::string why = parser_.problem ? parser_.problem : "invalid YAML";
                return err(why + at_line(parser_.problem_mark.line));
            }
            struct EventGuard {
                yaml_event_t* e;
                ~EventGuard() { yaml_event_delete(e); }
            } guard{&ev};
            if (++events > kMaxNodes) return err(std::string("document too large"));
            const std::size_t line = ev.start_mark.line;

            switch (ev.type) {
                case YAML_STREAM_END_EVENT:
                    if (documents == 0) return err(std::string("EOF while parsing a value"));
                    return root;
                case YAML_DOCUMENT_START_EVENT:
                    if (++documents > 1)
                        return err("deserializing from YAML containing more than one document is not supported" +
                                   at_line(line));
                    anchors_.clear();
                    break;
                case YAML_SCALAR_EVENT: {
                    auto n = std::make_shared<Node>();
                    n->kind = Node::Kind::Scalar;
                    n->plain = ev.data.scalar.style == YAML_PLAIN_SCALAR_STYLE;
                    if (ev.data.scalar.tag) n->tag = reinterpret_cast<const char*>(ev.data.scalar.tag);
                    n->text.assign(reinterpret_cast<const char*>(ev.data.scalar.value), ev.data.scalar.length);
                    n->line = line;
                    BRIMO_TRY(complete(std::move(n), ev.data.scalar.anchor, root));
                    break;
                }
                case YAML_ALIAS_EVENT: {
                    // Only completed nodes are registered, so an alias cannot refer to a node that
                    // contains it.
                    auto it = anchors_.find(reinterpret_cast<const char*>(ev.data.alias.anchor));
                    if (it == anchors_.end()) return err("unknown anchor" + at_line(line));
                    BRIMO_TRY(complete(it->second, nullptr, root));
                    break;
                }
                case YAML_SEQUENCE_START_EVENT:
                case YAML_MAPPING_START_EVENT: {
                    if (open_.size() >= kMaxDepth) return err("recursion limit exceeded" + at_line(line));
                    const bool seq = ev.type == YAML_SEQUENCE_START_EVENT;
                    auto n = std::make_shared<Node>();
                    n->kind = seq ? Node::Kind::Sequence : Node::Kind::Mapping;
                    const yaml_char_t* tag = seq ? ev.data.sequence_start.tag : ev.data.mapping_start.tag;
                    const yaml_char_t* anchor = seq ? ev.data.sequence_start.anchor : ev.data.mapping_start.anchor;
                    if (tag) n->tag = reinterpret_cast<const char*>(tag);
                    n->line = line;
                    open_.push_back(Open{std::move(n), anchor ? reinterpret_cast<const char*>(anchor) : ""});
                    break;
                }
                case YAML_SEQUENCE_END_EVENT:
                case YAML_MAPPING_END_EVENT: {
                    Open o = std::move(open_.back());
                    open_.pop_back();
                    BRIMO_TRY(complete(std::move(o.node), nullptr, root, &o.anchor));
                    break;
                }
                default: break;
            }
        }
    }

private:
    struct Open {
        std::shared_ptr<Node> node;
        std::string anchor;
    };

    Result<void, std::string> complete(NodePtr n, const yaml_char_t* anchor, NodePtr& root,
                                       const std::string* open_anchor = nullptr) {
        if (n->height > kMaxDepth) return err("recursion limit exceeded" + at_line(n->line));
        if (n->expanded > kMaxNodes) return err("repetition limit exceeded" + at_line(n->line));
        if (anchor) anchors_[reinterpret_cast<const char*>(anchor)] = n;
        if (open_anchor && !open_anchor->empty()) anchors_[*open_anchor] = n;
        if (open_.empty()) {
            root = std::move(n);
            return {};
        }
        Node& parent = *open_.back().node;
        parent.height = std::max(parent.height, n->height + 1);
        parent.expanded = n->expanded > kMaxNodes ? kMaxNodes + 1 : parent.expanded + n->expanded;
        parent.children.push_back(std::move(n));
        if (parent.height > kMaxDepth) return err("recursion limit exceeded" + at_line(parent.line));
        if (parent.expanded > kMaxNodes) return err("repetition limit exceeded" + at_line(parent.line));
        return {};
    }

    yaml_parser_t parser_;
    std::vector<Open> open_;
    std::unordered_map<std::string, NodePtr> anchors_;
};

// ---------------------------------------------------------------------------------------------
// Typing: Node -> YamlValue.
//
// Tags of the core schema are applied, not kept: "!!str 5" is the text "5", "!!int 0x10" the
// integer 16, "!!float 1" the number 1.0, "!!bool"/"!!null" check their value, "!!seq"/"!!map"
// must sit on a sequence/mapping, and a value that does not fit its core tag is an error. The
// non-specific tag "!" makes a scalar text. Every other tag, local ("!custom") or global, and the
// remaining "!!" types of the YAML type repository ("!!binary", "!!timestamp", "!!set", ...), is
// kept as a Tagged value around the value as it would read untagged; "!!" names are shown in their
// short form.

bool is_core_tag(const std::string& tag, std::string_view name) {
    return tag.size() == kCoreTagPrefix.size() + name.size() && tag.compare(0, kCoreTagPrefix.size(), kCoreTagPrefix) == 0 &&
           tag.compare(kCoreTagPrefix.size(), std::string::npos, name) == 0;
}

std::string shown_tag(const std::string& tag) {
    if (tag.compare(0, kCoreTagPrefix.size(), kCoreTagPrefix) == 0) return "!!" + tag.substr(kCoreTagPrefix.size());
    return tag;
}

class Typer {
public:
    // `check_duplicates`: within "params" and "registers", a key that occurs twice in any mapping is
    // an error.
    explicit Typer(bool check_duplicates) : check_duplicates_(check_duplicates) {}

    Result<YamlValue, std::string> value(const Node& n) {
        if (n.kind == Node::Kind::Scalar) return scalar(n);
        const bool seq = n.kind == Node::Kind::Sequence;
        YamlValue v;
        if (seq) {
            v.kind = YamlValue::Kind::Sequence;
            v.sequence.reserve(n.children.size());
            for (const auto& c : n.children) {
                BRIMO_ASSIGN_OR_RETURN(YamlValue item, value(*c));
                v.sequence.push_back(std::move(item));
            }
        } else {
            v.kind = YamlValue::Kind::Mapping;
            v.mapping.reserve(n.children.size() / 2);
            for (std::size_t i = 0; i + 1 < n.children.size(); i += 2) {
                BRIMO_ASSIGN_OR_RETURN(YamlValue key, value(*n.children[i]));
                BRIMO_ASSIGN_OR_RETURN(YamlValue item, value(*n.children[i + 1]));
                v.mapping.emplace_back(std::move(key), std::move(item));
            }
            if (check_duplicates_) {
                if (auto r = check_unique_keys(v.mapping); !r) return err(r.error() + at_line(n.line));
            }
        }
        if (n.tag.empty() || n.tag == "!" || is_core_tag(n.tag, seq ? "seq" : "map")) return v;
        if (is_core_tag(n.tag, seq ? "map" : "seq") || is_core_tag(n.tag, "str") || is_core_tag(n.tag, "int") ||
            is_core_tag(n.tag, "float") || is_core_tag(n.tag, "bool") || is_core_tag(n.tag, "null"))
            return err("invalid value for tag " + shown_tag(n.tag) + at_line(n.line));
        return YamlValue::make_tagged(shown_tag(n.tag), std::move(v));
    }

    static Result<void, std::string> check_unique_keys(const YamlMapping& m) {
        if (m.size() < 2) return {};
        auto hash = [&](std::size_t i) { return value_hash(m[i].first); };
        auto eq = [&](std::size_t a, std::size_t b) { return values_equal(m[a].first, m[b].first); };
        std::unordered_set<std::size_t, decltype(hash), decltype(eq)> seen(m.size() * 2, hash, eq);
        for (std::size_t i = 0; i < m.size(); ++i)
            if (!seen.insert(i).second) return err(std::string("duplicate entry in mapping"));
        return {};
    }

private:
    static Result<YamlValue, std::string> scalar(const Node& n) {
        const std::string& t = n.tag;
        if (t.empty()) return n.plain ? resolve_plain(n.text) : YamlValue::from_string(n.text);
        if (t == "!" || is_core_tag(t, "str")) return YamlValue::from_string(n.text);
        auto bad = [&] { return err("invalid value for tag " + shown_tag(t) + at_line(n.line)); };
        if (is_core_tag(t, "int")) {
            if (auto i = resolve_int(n.text)) return std::move(*i);
            return bad();
        }
        if (is_core_tag(t, "float")) {
            if (auto f = resolve_float(n.text)) return YamlValue::from_float(*f);
            if (auto i = resolve_int(n.text)) {
                const YamlValue& iv = *i;
                if (iv.kind == YamlValue::Kind::Float) return YamlValue::from_float(iv.real);
                const double mag = static_cast<double>(iv.int_magnitude);
                return YamlValue::from_float(iv.int_negative ? -mag : mag);
            }
            return bad();
        }
        if (is_core_tag(t, "bool") || is_core_tag(t, "null")) {
            YamlValue v = resolve_plain(n.text);
            const auto want = is_core_tag(t, "bool") ? YamlValue::Kind::Bool : YamlValue::Kind::Null;
            if (v.kind == want) return v;
            return bad();
        }
        if (is_core_tag(t, "seq") || is_core_tag(t, "map")) return bad();
        return YamlValue::make_tagged(shown_tag(t), n.plain ? resolve_plain(n.text) : YamlValue::from_string(n.text));
    }

    bool check_duplicates_;
};

// ---------------------------------------------------------------------------------------------
// Shape of the document.

bool is_plain_mapping(const Node& n) {
    return n.kind == Node::Kind::Mapping && (n.tag.empty() || n.tag == "!" || is_core_tag(n.tag, "map"));
}

// A key written as nothing at all ("params:") stands for an empty mapping.
bool is_empty_value(const Node& n) { return n.kind == Node::Kind::Scalar && n.plain && n.tag.empty() && n.text.empty(); }

// The key of a top-level or "params" entry as text, when it is a string.
std::optional<std::string> key_text(const Node& k) {
    auto v = Typer(false).value(k);
    if (!v || v->kind != YamlValue::Kind::String) return std::nullopt;
    return std::move(v->text);
}

Result<std::uint64_t, std::string> uint_field(const Node& n, std::string_view key) {
    const bool tag_ok = n.tag.empty() || is_core_tag(n.tag, "int");
    if (n.kind == Node::Kind::Scalar && n.plain && tag_ok) {
        if (auto v = parse_core_uint(n.text)) return *v;
    }
    return err("invalid value for `" + std::string(key) + "`, expected u64" + at_line(n.line));
}

Result<Params, std::string> read_params(const Node& n) {
    Params p;
    if (is_empty_value(n)) return err(std::string("missing field `model`"));
    if (!is_plain_mapping(n)) return err("`params`: invalid type, expected a mapping" + at_line(n.line));

    // The keys are checked as a whole first: a duplicate, "model" or any other, is an error.
    Typer typer(true);
    YamlMapping keys;
    keys.reserve(n.children.size() / 2);
    for (std::size_t i = 0; i + 1 < n.children.size(); i += 2) {
        BRIMO_ASSIGN_OR_RETURN(YamlValue k, typer.value(*n.children[i]));
        keys.emplace_back(std::move(k), YamlValue{});
    }
    if (auto r = Typer::check_unique_keys(keys); !r) return err(r.error() + " `params`" + at_line(n.line));

    bool have_model = false, have_channels = false, have_windows = false, have_samples = false;
    for (std::size_t i = 0; i + 1 < n.children.size(); i += 2) {
        YamlValue& key = keys[i / 2].first;
        const Node& val = *n.children[i + 1];
        if (key.is_string("model")) {
            if (val.kind != Node::Kind::Scalar) return err("`model`: invalid type, expected a string" + at_line(val.line));
            p.model = val.text;
            have_model = true;
        } else if (key.is_string("channels") || key.is_string("windows") || key.is_string("samples")) {
            BRIMO_ASSIGN_OR_RETURN(const auto v, uint_field(val, key.text));
            if (key.text == "channels") {
                p.channels = v;
                have_channels = true;
            } else if (key.text == "windows") {
                p.windows = v;
                have_windows = true;
            } else {
                p.samples = v;
                have_samples = true;
            }
        } else {
            BRIMO_ASSIGN_OR_RETURN(YamlValue v, typer.value(val));
            p.extra.emplace_back(std::move(key), std::move(v));
        }
    }
    if (!have_model) return err(std::string("missing field `model`"));
    if (!have_channels) return err(std::string("missing field `channels`"));
    if (!have_windows) return err(std::string("missing field `windows`"));
    if (!have_samples) return err(std::string("missing field `samples`"));
    return p;
}

Result<YamlMapping, std::string> read_registers(const Node& n) {
    if (is_empty_value(n)) return YamlMapping{};
    if (!is_plain_mapping(n)) return err("`registers`: invalid type, expected a mapping" + at_line(n.line));
    BRIMO_ASSIGN_OR_RETURN(YamlValue v, Typer(true).value(n));
    return std::move(v.mapping);
}

Result<Metadata, std::string> read_metadata(const Node& root) {
    if (!is_plain_mapping(root)) return err("invalid type: expected a mapping" + at_line(root.line));
    Metadata md;
    bool have_params = false, have_registers = false;
    for (std::size_t i = 0; i + 1 < root.children.size(); i += 2) {
        auto key = key_text(*root.children[i]);
        if (!key) continue;
        const Node& val = *root.children[i + 1];
        if (*key == "params") {
            if (have_params) return err("duplicate field `params`" + at_line(root.children[i]->line));
            BRIMO_ASSIGN_OR_RETURN(md.params, read_params(val));
            have_params = true;
        } else if (*key == "registers") {
            if (have_registers) return err("duplicate field `registers`" + at_line(root.children[i]->line));
            BRIMO_ASSIGN_OR_RETURN(md.registers, read_registers(val));
            have_registers = true;
        }
        // Every other top-level key is ignored, whatever its value.
    }
    if (!have_params) return err(std::string("missing field `params`"));
    if (!have_registers) return err(std::string("missing field `registers`"));
    return md;
}

}  // namespace

Result<Metadata, MetadataError> parse_metadata(std::string_view yaml_text) {
    Composer composer(yaml_text);
    auto root = composer.compose();
    if (!root) return err(MetadataError::deserialize(std::move(root).error()));
    auto md = read_metadata(**root);
    if (!md) return err(MetadataError::deserialize(std::move(md).error()));
    return std::move(md).value();
}

}  // namespace brimo
