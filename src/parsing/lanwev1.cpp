// lanwev1 packets. Not parsed yet: the model is reported as unsupported until its parser lands.
#include "parsing/framework.h"

namespace brimo {

template <>
Result<Lanwev1Event, ParsingError> parse_into<Lanwev1Event>(Bytes, const Params&) {
    return err(ParsingError::UnsupportedModel);
}

}  // namespace brimo
