#include "acquisition/metadata.h"

namespace brimo {

const YamlValue* Params::find(std::string_view key) const {
    for (const auto& [k, v] : extra)
        if (k.is_string(key)) return &v;
    return nullptr;
}

}  // namespace brimo
