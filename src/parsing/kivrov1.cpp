// kivrov1 packets. Not parsed yet: the model is reported as unsupported until its parser lands.
#include "parsing/framework.h"

namespace brimo {

template <>
Result<Kivrov1Event, ParsingError> parse_into<Kivrov1Event>(Bytes, const Params&) {
    return err(ParsingError::UnsupportedModel);
}

}  // namespace brimo
