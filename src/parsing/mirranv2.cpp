// mirranv2 packets. Not parsed yet: the model is reported as unsupported until its parser lands.
#include "parsing/framework.h"

namespace brimo {

template <>
Result<Mirranv2Event, ParsingError> parse_into<Mirranv2Event>(Bytes, const Params&) {
    return err(ParsingError::UnsupportedModel);
}

}  // namespace brimo
