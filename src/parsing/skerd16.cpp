// skerd16 packets. Not parsed yet: the model is reported as unsupported until its parser lands.
#include "parsing/framework.h"

namespace brimo {

template <>
Result<Skerd16Event, ParsingError> parse_into<Skerd16Event>(Bytes, const Params&) {
    return err(ParsingError::UnsupportedModel);
}

}  // namespace brimo
