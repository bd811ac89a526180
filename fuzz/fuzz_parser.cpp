// libFuzzer target for every packet parser: byte 0 picks the model, the next bytes the board
// parameters and layout keys, the rest is the packet (see fuzz_entry.h). A parser may refuse any
// input with an error value; an event it returns must have the shape every consumer relies on.
#include <cstdio>
#include <cstdlib>

#include "fuzz_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const brimo::Model model = brimo::fuzz_model(data[0]);
    const std::string violation = brimo::fuzz_parse(model, data + 1, size - 1);
    if (!violation.empty()) {
        std::fprintf(stderr, "model %d: %s\n", int(model), violation.c_str());
        std::abort();
    }
    return 0;
}
