// Throughput of the parsers on a packet of 4 channels x 64 windows x 64 samples, against a memcpy of
// the same bytes. Run: ./bench_parsers [--benchmark_min_time=0.2]
#include "bench_parsers.h"


namespace brimo::bench {

namespace {

Params params(const char* model, std::uint64_t C, std::uint64_t W, std::uint64_t S) {
    Params p;
    p.model = model;
    p.channels = C;
    p.windows = W;
    p.samples = S;
    return p;
}

// pellorv3: windows interleaved over the channels, header word (channel << 9 | window << 1).
ParserBenchRow pellorv3_row(std::uint16_t C, std::uint16_t I, std::uint16_t S) {
    std::vector<std::uint8_t> pkt;
    for (int h = 0; h < 3; ++h) be(pkt, 0x1234);
    for (std::uint16_t w = 0; w < I; ++w)
        for (std::uint16_t c = 0; c < C; ++c) {
            be(pkt, static_cast<std::uint16_t>((c << 9) | ((w & 0xFF) << 1)));
            for (std::uint16_t n = 0; n < S; ++n) be(pkt, static_cast<std::uint16_t>(((n * 37 + w) & 0xFFF) << 1));
        }
    be(pkt, 0);
    return {"pellorv3", std::move(pkt), params("pellorv3", C, 256, S), std::uint64_t(C) * I * S,
            parser_of<Pellorv3Event>()};
}

// quarvelv3: per window block C channel blocks (header channel << 10 | window << 1) and one word.
ParserBenchRow quarvelv3_row(std::uint16_t C, std::uint16_t I, std::uint16_t S) {
    std::vector<std::uint8_t> pkt;
    for (int h = 0; h < 3; ++h) be(pkt, 0x1234);
    for (std::uint16_t w = 0; w < I; ++w) {
        for (std::uint16_t c = 0; c < C; ++c) {
            be(pkt, static_cast<std::uint16_t>((c << 10) | ((w & 0x1FF) << 1)));
            for (std::uint16_t n = 0; n < S; ++n) be(pkt, static_cast<std::uint16_t>(((n * 37 + w) & 0xFFF) << 1));
        }
        be(pkt, 0);
    }
    be(pkt, 0);
    return {"quarvelv3", std::move(pkt), params("quarvelv3", C, 512, S), std::uint64_t(C) * I * S,
            parser_of<Quarvelv3Event>()};
}

// pellorv3s: per window block C channel blocks (header channel << 8 | window).
ParserBenchRow pellorv3s_row(std::uint16_t C, std::uint16_t I, std::uint16_t S) {
    std::vector<std::uint8_t> pkt;
    for (int h = 0; h < 3; ++h) be(pkt, 0x1234);
    for (std::uint16_t w = 0; w < I; ++w)
        for (std::uint16_t c = 0; c < C; ++c) {
            be(pkt, static_cast<std::uint16_t>((c << 8) | (w & 0xFF)));
            for (std::uint16_t n = 0; n < S; ++n) be(pkt, static_cast<std::uint16_t>((n * 37 + w) & 0x1FFF));
        }
    be(pkt, 0);
    return {"pellorv3s", std::move(pkt), params("pellorv3s", C, 256, S), std::uint64_t(C) * I * S,
            parser_of<Pellorv3SEvent>()};
}

}  // namespace

}  // namespace brimo::bench

int main(int argc, char** argv) {
    using namespace brimo::bench;
    // One line per parser row; 4 channels x 64 windows x 64 samples each.
    return run_parser_bench(argc, argv, {
        pellorv3_row(4, 64, 64),
        quarvelv3_row(4, 64, 64),
        pellorv3s_row(4, 64, 64),
    });
}
