#include "parsing/models.h"

namespace brimo {

std::optional<Model> model_from_name(std::string_view name) {
    if (name.empty()) return std::nullopt;  // empty slots of the name table name nothing
    for (const ModelNames& m : kModels)
        for (std::string_view n : m.names)
            if (n == name) return m.model;
    return std::nullopt;
}

std::span<const LayoutKey> layout_keys(Model model) {
    return visit_model(model, [](auto tag) { return layout_keys<typename decltype(tag)::type>(); });
}

}  // namespace brimo
