// mirranv2 packets have exactly the pellorv3 layout, layout keys and defaults included; the record
// only differs in its type.
#include <utility>

#include "parsing/framework.h"

namespace brimo {

template <>
std::span<const LayoutKey> layout_keys<Mirranv2Event>() {
    return layout_keys<Pellorv3Event>();
}

template <>
Result<Mirranv2Event, ParsingError> parse_into<Mirranv2Event>(Bytes packet, const Params& params) {
    BRIMO_ASSIGN_OR_RETURN(Pellorv3Event p, parse_into<Pellorv3Event>(packet, params));
    Mirranv2Event event;
    event.data = std::move(p.data);
    event.window_labels = std::move(p.window_labels);
    event.time = std::move(p.time);
    event.header_value = p.header_value;
    event.header_byte = p.header_byte;
    return event;
}

}  // namespace brimo
