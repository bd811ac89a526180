// The records read from an acquisition's "metadata.yml".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "acquisition/yaml_value.h"
#include "error/errors.h"
#include "error/result.h"

namespace brimo {

// Board parameters: the value of the top-level "params" mapping. Shared, read-only, by all parsers.
struct Params {
    std::string model;
    std::uint64_t channels = 0;
    std::uint64_t windows = 0;
    std::uint64_t samples = 0;
    // Every other key under "params", in document order, with its value unconverted.
    YamlMapping extra;

    // The value of the extra key named `key` (a string key), or nullptr.
    const YamlValue* find(std::string_view key) const;
};

struct Metadata {
    Params params;
    YamlMapping registers;  // only its presence and its being a mapping are checked
};

// Parses the text of metadata.yml (one YAML document) into Metadata. Every YAML or shape failure is
// MetadataError::Deserialize.
Result<Metadata, MetadataError> parse_metadata(std::string_view yaml_text);

}  // namespace brimo
