// libFuzzer target for the lanwev1 parser. Not part of the default build; for example:
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -Isrc fuzz/fuzz_lanwev1.cpp
//       src/parsing/*.cpp src/error/*.cpp src/acquisition/*.cpp -o fuzz_lanwev1
// The first bytes of an input are the parameter blob described in parsing/fuzz_entry.h.
#include <cstdio>
#include <cstdlib>

#include "parsing/fuzz_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string violation = brimo::fuzz_parse(brimo::Model::Lanwev1, data, size);
    if (!violation.empty()) {
        std::fprintf(stderr, "lanwev1: %s\n", violation.c_str());
        std::abort();
    }
    return 0;
}
