// pellorv3 packets. Not parsed yet: the model is reported as unsupported until its parser lands.
#include "parsing/framework.h"

namespace brimo {

template <>
Result<Pellorv3Event, ParsingError> parse_into<Pellorv3Event>(Bytes, const Params&) {
    return err(ParsingError::UnsupportedModel);
}

}  // namespace brimo
