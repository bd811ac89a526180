// The correcting adapter: wraps a source of parsed events of one record type and hands out each
// event corrected by the pedestal table, or a CorrectionError in its place. A failure is an item of
// the sequence, not its end: it costs exactly the one event.
#pragma once

#include <concepts>
#include <optional>
#include <type_traits>
#include <utility>

#include "calibration/pedestals.h"
#include "error/result.h"

namespace brimo {

// A source is either an object with next() or a callable, returning std::optional<Event>
// (std::nullopt when exhausted).
template <class Source>
auto pull_event(Source& source) {
    if constexpr (requires { source.next(); }) return source.next();
    else return source();
}

template <class Source>
using SourceEvent = typename decltype(pull_event(std::declval<Source&>()))::value_type;

template <class Source, class Event = SourceEvent<Source>>
class Corrected {
    static_assert(std::is_base_of_v<EventBase, Event>, "Corrected works on the event records");

public:
    using Item = Result<Event, CorrectionError>;

    Corrected(Corrections corrections, Source source)
        : corrections_(std::move(corrections)), source_(std::move(source)) {}

    // The next corrected event, a CorrectionError for an event that could not be corrected (the
    // event is dropped), or std::nullopt when the source is exhausted.
    std::optional<Item> next() {
        std::optional<Event> event = pull_event(source_);
        if (!event) return std::nullopt;
        if (!corrections_.apply(*event)) return Item(err(CorrectionError{}));
        return Item(std::move(*event));
    }

    const Corrections& corrections() const { return corrections_; }

private:
    Corrections corrections_;
    Source source_;
};

template <class Source>
Corrected(Corrections, Source) -> Corrected<Source>;

}  // namespace brimo
