#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <sstream>

#include "acquisition/metadata.h"

using namespace brimo;

namespace {

// A compact rendering of a value tree, so that expectations fit in one table cell.
std::string show(const YamlValue& v) {
    std::ostringstream o;
    switch (v.kind) {
        case YamlValue::Kind::Null: return "null";
        case YamlValue::Kind::Bool: return v.boolean ? "true" : "false";
        case YamlValue::Kind::Int: return (v.int_negative ? "int:-" : "int:") + std::to_string(v.int_magnitude);
        case YamlValue::Kind::Float:
            if (std::isnan(v.real)) return "float:nan";
            o << "float:" << v.real;
            return o.str();
        case YamlValue::Kind::String: return "str:" + v.text;
        case YamlValue::Kind::Sequence: {
            std::string s = "[";
            for (std::size_t i = 0; i < v.sequence.size(); ++i) {
                if (i) s += ',';
                s += show(v.sequence[i]);
            }
            return s + "]";
        }
        case YamlValue::Kind::Mapping: {
            std::string s = "{";
            for (std::size_t i = 0; i < v.mapping.size(); ++i) {
                if (i) s += ',';
                s += show(v.mapping[i].first);
                s += '=';
                s += show(v.mapping[i].second);
            }
            return s + "}";
        }
        case YamlValue::Kind::Tagged: {
            std::string s = v.text;
            s += '(';
            s += show(*v.tagged);
            s += ')';
            return s;
        }
    }
    return "?";
}

std::string with_params(const std::string& params_body, const std::string& rest = "registers: {}\n") {
    return "params:\n  model: m\n  channels: 1\n  windows: 2\n  samples: 3\n" + params_body + rest;
}

}  // namespace

TEST(Metadata, AcceptedDocuments) {
    {
        auto md = parse_metadata(
            "params:\n  model: quarvelv3\n  channels: 4\n  windows: 64\n  samples: 32\n  chanmask: 15\n"
            "registers:\n  b: 1\n  a: [x, y]\n");
        ASSERT_TRUE(md) << md.error().yaml_error;
        const Params& p = md->params;
        EXPECT_EQ(p.model, "quarvelv3");
        EXPECT_EQ(p.channels, 4u);
        EXPECT_EQ(p.windows, 64u);
        EXPECT_EQ(p.samples, 32u);
        ASSERT_EQ(p.extra.size(), 1u);
        EXPECT_EQ(show(p.extra[0].first), "str:chanmask");
        EXPECT_EQ(show(p.extra[0].second), "int:15");
        ASSERT_NE(p.find("chanmask"), nullptr);
        EXPECT_EQ(p.find("windmask"), nullptr);
        ASSERT_EQ(md->registers.size(), 2u);
        EXPECT_EQ(show(md->registers[0].first), "str:b");  // document order kept
        EXPECT_EQ(show(md->registers[1].second), "[str:x,str:y]");
    }
    struct Case { const char* name; std::string yaml; std::string extra; std::string registers; };
    const Case cases[] = {
        {"extra keys keep order", with_params("  z: 1\n  a: 2\n  m: 3\n"), "{str:z=int:1,str:a=int:2,str:m=int:3}", "{}"},
        {"empty registers", with_params("", "registers:\n"), "{}", "{}"},
        {"other top-level keys ignored, even duplicated or odd",
         with_params("", "registers: {r: 1}\nnotes: [1, {a: 1, a: 2}]\nnotes: !weird x\n7: 8\n"), "{}", "{str:r=int:1}"},
        {"flow style, markers", "---\n{params: {model: m, channels: 1, windows: 2, samples: 3, k: v}, registers: {}}\n...\n",
         "{str:k=str:v}", "{}"},
        {"aliases resolve", "base: &b {x: 1}\n" + with_params("  n: &n 5\n  again: *n\n  copy: *b\n"),
         "{str:n=int:5,str:again=int:5,str:copy={str:x=int:1}}", "{}"},
        {"quoted key names", "'params':\n  \"model\": m\n  channels: 1\n  windows: 2\n  samples: 3\n\"registers\": {}\n",
         "{}", "{}"},
        {"complex and non-string keys", with_params("  1: one\n  [a, b]: seq\n  ~: nothing\n"),
         "{int:1=str:one,[str:a,str:b]=str:seq,null=str:nothing}", "{}"},
        {"equal-looking but distinct keys", with_params("  1: a\n  '1': b\n  1.0: c\n  !t 1: d\n"),
         "{int:1=str:a,str:1=str:b,float:1=str:c,!t(int:1)=str:d}", "{}"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto md = parse_metadata(c.yaml);
        ASSERT_TRUE(md) << md.error().yaml_error;
        YamlValue extra, regs;
        extra.kind = regs.kind = YamlValue::Kind::Mapping;
        extra.mapping = md->params.extra;
        regs.mapping = md->registers;
        EXPECT_EQ(show(extra), c.extra);
        EXPECT_EQ(show(regs), c.registers);
    }
}

TEST(Metadata, SizeFieldForms) {
    struct Case { const char* text; std::optional<std::uint64_t> value; };
    const Case cases[] = {
        {"0", 0}, {"4", 4}, {"+4", 4}, {"0x1F", 31}, {"0o17", 15}, {"0b101", 5}, {"4 # comment", 4},
        {"18446744073709551615", UINT64_MAX}, {"0xffffffffffffffff", UINT64_MAX}, {"!!int 12", 12},
        {"'4'", std::nullopt}, {"\"4\"", std::nullopt}, {"!!str 4", std::nullopt}, {"!custom 4", std::nullopt},
        {"-1", std::nullopt}, {"-0", std::nullopt}, {"04", std::nullopt}, {"+04", std::nullopt},
        {"1.0", std::nullopt}, {"1e3", std::nullopt}, {"0x", std::nullopt}, {"0X10", std::nullopt},
        {"+0x10", std::nullopt}, {"0b102", std::nullopt}, {"1_000", std::nullopt},
        {"18446744073709551616", std::nullopt}, {"0x10000000000000000", std::nullopt}, {"true", std::nullopt},
        {"~", std::nullopt}, {"", std::nullopt}, {"[4]", std::nullopt}, {"{a: 4}", std::nullopt},
        {"|\n    4", std::nullopt},
    };
    for (const Case& c : cases) {
        for (const char* field : {"channels", "windows", "samples"}) {
            SCOPED_TRACE(std::string(field) + ": " + c.text);
            std::string yaml = "params:\n  model: m\n";
            for (const char* f : {"channels", "windows", "samples"})
                yaml += std::string("  ") + f + ": " + (f == std::string(field) ? c.text : "1") + "\n";
            yaml += "registers: {}\n";
            auto md = parse_metadata(yaml);
            ASSERT_EQ(bool(md), c.value.has_value()) << (md ? "" : md.error().yaml_error);
            if (!md) continue;
            const Params& p = md->params;
            const std::uint64_t got = field == std::string("channels") ? p.channels
                                      : field == std::string("windows") ? p.windows : p.samples;
            EXPECT_EQ(got, *c.value);
        }
    }
}

TEST(Metadata, ScalarResolution) {
    struct Case { const char* text; const char* shown; };
    const Case cases[] = {
        {"", "null"}, {"~", "null"}, {"null", "null"}, {"NULL", "null"}, {"nUll", "str:nUll"},
        {"true", "true"}, {"False", "false"}, {"yes", "str:yes"}, {"on", "str:on"},
        {"12", "int:12"}, {"-12", "int:-12"}, {"+12", "int:12"}, {"-0", "int:0"}, {"0x1F", "int:31"},
        {"0o17", "int:15"}, {"0b11", "int:3"}, {"007", "str:007"}, {"-0x10", "str:-0x10"}, {"0x", "str:0x"},
        {"-18446744073709551615", "int:-18446744073709551615"}, {"18446744073709551616", "float:1.84467e+19"},
        {"0x10000000000000000", "float:1.84467e+19"},
        {"1.5", "float:1.5"}, {"-1.5e3", "float:-1500"}, {"1e3", "float:1000"}, {".5", "float:0.5"},
        {"1.", "float:1"}, {"1e999", "float:inf"}, {"1e-999", "float:0"}, {".inf", "float:inf"},
        {"-.Inf", "float:-inf"}, {".NaN", "float:nan"}, {"-.nan", "str:-.nan"}, {".", "str:."}, {"e3", "str:e3"},
        {"1e", "str:1e"}, {"1.2.3", "str:1.2.3"},
        {"'12'", "str:12"}, {"\"true\"", "str:true"}, {"'~'", "str:~"}, {"|\n    12", "str:12\n"},
        {"!!str 12", "str:12"}, {"!!int 0x10", "int:16"}, {"!!float 2", "float:2"}, {"!!float .5", "float:0.5"},
        {"!!bool true", "true"}, {"!!null ~", "null"}, {"! 12", "str:12"}, {"!!map {a: 1}", "{str:a=int:1}"},
        {"!custom 15", "!custom(int:15)"}, {"!custom '15'", "!custom(str:15)"}, {"!!binary aGk=", "!!binary(str:aGk=)"},
        {"!<tag:example.com,2000:x> 1", "tag:example.com,2000:x(int:1)"}, {"!c [1, a]", "!c([int:1,str:a])"},
        {"[1, [], {}]", "[int:1,[],{}]"}, {"!a !b 1", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        auto md = parse_metadata(with_params(std::string("  v: ") + c.text + "\n"));
        if (*c.shown == '\0') {
            EXPECT_FALSE(md);
            continue;
        }
        ASSERT_TRUE(md) << md.error().yaml_error;
        ASSERT_EQ(md->params.extra.size(), 1u);
        EXPECT_EQ(show(md->params.extra[0].second), c.shown);
    }
}

TEST(Metadata, RejectedDocuments) {
    const std::string base = "params:\n  model: m\n  channels: 1\n  windows: 2\n  samples: 3\n";
    struct Case { const char* name; std::string yaml; const char* names; };
    const Case cases[] = {
        {"empty text", "", ""},
        {"comment only", "# nothing\n", ""},
        {"empty document", "---\n", ""},
        {"sequence document", "- params\n", ""},
        {"scalar document", "params\n", ""},
        {"two documents", base + "registers: {}\n---\n" + base + "registers: {}\n", "more than one document"},
        {"syntax error", "params: [\n", ""},
        {"missing params", "registers: {}\n", "`params`"},
        {"missing registers", base, "`registers`"},
        {"params checked before registers", "other: 1\n", "`params`"},
        {"lacking windows and samples", "params: {model: m, channels: 1}\nregisters: {}\n", "`windows`"},
        {"lacking model and channels", "params: {windows: 1, samples: 1}\nregisters: {}\n", "`model`"},
        {"lacking channels", "params: {model: m, windows: 1, samples: 1}\nregisters: {}\n", "`channels`"},
        {"empty params", "params:\nregisters: {}\n", "`model`"},
        {"null params", "params: ~\nregisters: {}\n", ""},
        {"params a sequence", "params: [1]\nregisters: {}\n", ""},
        {"params a scalar", "params: x\nregisters: {}\n", ""},
        {"params under a local tag", "params: !p {model: m, channels: 1, windows: 2, samples: 3}\nregisters: {}\n", ""},
        {"registers a sequence", base + "registers: [1]\n", ""},
        {"registers a scalar", base + "registers: 5\n", ""},
        {"duplicate params", base + base + "registers: {}\n", "duplicate"},
        {"duplicate registers", base + "registers: {}\nregisters: {}\n", "duplicate"},
        {"duplicate model", base + "  model: n\nregisters: {}\n", "duplicate"},
        {"duplicate samples", base + "  samples: 3\nregisters: {}\n", "duplicate"},
        {"duplicate extra key", base + "  k: 1\n  k: 2\nregisters: {}\n", "duplicate"},
        {"duplicate by value, not spelling", base + "  0x10: 1\n  16: 2\nregisters: {}\n", "duplicate"},
        {"duplicate nested in params", base + "  k: [{a: 1, a: 2}]\nregisters: {}\n", "duplicate"},
        {"duplicate in registers", base + "registers: {r: {x: 1, y: 2, x: 3}}\n", "duplicate"},
        {"duplicate through an alias", "a: &m {x: 1, x: 2}\n" + base + "  k: *m\nregisters: {}\n", "duplicate"},
        {"model a sequence", "params: {model: [m], channels: 1, windows: 2, samples: 3}\nregisters: {}\n", "`model`"},
        {"model a mapping", "params: {model: {m: 1}, channels: 1, windows: 2, samples: 3}\nregisters: {}\n", "`model`"},
        {"unknown alias", base + "  k: *nothing\nregisters: {}\n", "anchor"},
        {"self-referencing alias", base + "  k: &a [*a]\nregisters: {}\n", "anchor"},
        {"value not fitting its core tag", base + "  k: !!int abc\nregisters: {}\n", "!!int"},
        {"sequence tagged as mapping", base + "  k: !!map [1]\nregisters: {}\n", "!!map"},
        {"scalar tagged as sequence", base + "  k: !!seq 1\nregisters: {}\n", "!!seq"},
        {"control character", base + "  k: \"\x01\"\nregisters: {}\n", ""},
        {"nul byte", std::string("params: {\0}\n", 12), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto md = parse_metadata(c.yaml);
        ASSERT_FALSE(md);
        EXPECT_EQ(md.error().kind, MetadataErrorKind::Deserialize);
        EXPECT_EQ(md.error().message(), "failed to serialized");
        EXPECT_NE(md.error().yaml_error.find(c.names), std::string::npos) << md.error().yaml_error;
    }
}

TEST(Metadata, HostileDocumentsAreRefusedQuickly) {
    // Each alias level multiplies the expanded size by ten: 10^9 nodes from a few hundred bytes.
    // (Built with += only: g++ 12 warns falsely on literal + std::string chains here.)
    auto label = [](char c, int i) {
        std::string s(1, c);
        s += std::to_string(i);
        return s;
    };
    std::string laughs = "a0: &a0 [x, x, x, x, x, x, x, x, x, x]\n";
    for (int i = 1; i <= 9; ++i) {
        std::string ref = "*";
        ref += label('a', i - 1);
        laughs += label('a', i);
        laughs += ": &";
        laughs += label('a', i);
        laughs += " [";
        laughs += ref;
        for (int k = 1; k < 10; ++k) {
            laughs += ", ";
            laughs += ref;
        }
        laughs += "]\n";
    }
    std::string in_params = "params:\n  model: m\n  channels: 1\n  windows: 2\n  samples: 3\n  k: *a9\nregisters: {}\n";
    // Deep nesting, directly and through a chain of aliases.
    std::string deep = "params:\n  model: m\n  channels: 1\n  windows: 2\n  samples: 3\n  k: " +
                       std::string(100000, '[') + std::string(100000, ']') + "\nregisters: {}\n";
    std::string chain = "c0: &c0 [1]\n";
    for (int i = 1; i < 300; ++i) {
        chain += label('c', i);
        chain += ": &";
        chain += label('c', i);
        chain += " [*";
        chain += label('c', i - 1);
        chain += "]\n";
    }
    const auto start = std::chrono::steady_clock::now();
    for (const std::string& doc : {laughs + in_params, laughs + "params: {}\n", deep, chain + in_params}) {
        auto md = parse_metadata(doc);
        ASSERT_FALSE(md);
        EXPECT_EQ(md.error().kind, MetadataErrorKind::Deserialize);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}
