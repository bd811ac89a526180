// The board models. Everything that lists them (the Model enumeration, the "model" names, dispatch
// from a Model to its record type, explicit instantiations, the fuzz target's model selector) is
// generated from the one table below, so a new model is one row here, one parser file and its
// record in parsing/events.h.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "parsing/events.h"
#include "parsing/framework.h"

namespace brimo {

// X(Model, Record, "model" values...): the exact, case-sensitive params "model" strings that select
// the parser, the first being the one tools and tests use for it. The kivrov1 parser is selected by
// "kivro"; the four lanwe values share one parser, and so do the two ovisk values. The order is the
// enumeration's, which the fuzz corpus's model selector byte relies on, and the order in which the
// tools list the model values: new rows go at the end.
#define BRIMO_FOR_EACH_MODEL(X)                                                                \
    X(Pellorv3, Pellorv3Event, "pellorv3")                                                     \
    X(Pellorv3S, Pellorv3SEvent, "pellorv3s")                                                  \
    X(Quarvelv3, Quarvelv3Event, "quarvelv3")                                                  \
    X(Lanwev1, Lanwev1Event, "lanwev1_evalr2", "lanwev2_eval", "lanwev2_evalr1", "lanwev2_evalr2") \
    X(Ovisk, OviskEvent, "ovisk_mirran", "ovisk_pellor")                                       \
    X(Skerd16, Skerd16Event, "skerd16")                                                        \
    X(Kivrov1, Kivrov1Event, "kivro")                                                          \
    X(Vombel96, Vombel96Event, "vombel96")                                                     \
    X(Mirranv2, Mirranv2Event, "mirranv2")

enum class Model : std::uint8_t {
#define BRIMO_MODEL_ENUM(M, E, ...) M,
    BRIMO_FOR_EACH_MODEL(BRIMO_MODEL_ENUM)
#undef BRIMO_MODEL_ENUM
};

#define BRIMO_MODEL_COUNT(M, E, ...) +1
inline constexpr std::size_t kModelCount = 0 BRIMO_FOR_EACH_MODEL(BRIMO_MODEL_COUNT);
#undef BRIMO_MODEL_COUNT

// A model's "model" values; unused slots are empty.
struct ModelNames {
    Model model;
    std::array<std::string_view, 4> names;
};

inline constexpr std::array<ModelNames, kModelCount> kModels{{
#define BRIMO_MODEL_NAMES(M, E, ...) {Model::M, {__VA_ARGS__}},
    BRIMO_FOR_EACH_MODEL(BRIMO_MODEL_NAMES)
#undef BRIMO_MODEL_NAMES
}};

std::optional<Model> model_from_name(std::string_view name);

// The "model" value that tools and tests use for `model`.
constexpr std::string_view model_name(Model model) { return kModels[static_cast<std::size_t>(model)].names[0]; }

template <class T> struct TypeTag { using type = T; };

// Calls f(TypeTag<Event>{}) with the event record of `model`; generic code instantiates once per record.
template <class F>
decltype(auto) visit_model(Model model, F&& f) {
    switch (model) {
#define BRIMO_MODEL_CASE(M, E, ...) \
    case Model::M: return f(TypeTag<E>{});
        BRIMO_FOR_EACH_MODEL(BRIMO_MODEL_CASE)
#undef BRIMO_MODEL_CASE
    }
    __builtin_unreachable();  // every enumerator has its case
}

// The layout keys a model's parser reads and the values it uses when params do not give them.
std::span<const LayoutKey> layout_keys(Model model);

}  // namespace brimo
