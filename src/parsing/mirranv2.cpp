// mirranv2 packets have exactly the pellorv3 layout, layout keys and defaults included; the record
// only differs in its type.
#include <utility>

#include "parsing/framework.h"

namespace brimo {

template <>
Result<Mirranv2Event, ParsingError> parse_into<Mirranv2Event>(Bytes packet, const Params& params) {
    auto parsed = parse_into<Pellorv3Event>(packet, params);
    if (!parsed) return err(parsed.error());
    Pellorv3Event& p = parsed.value();
    Mirranv2Event event;
    event.data = std::move(p.data);
    event.window_labels = std::move(p.window_labels);
    event.time = std::move(p.time);
    event.header_value = p.header_value;
    event.header_byte = p.header_byte;
    return event;
}

}  // namespace brimo
