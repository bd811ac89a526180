// Parser throughput benchmark rows. Each row parses one prepared packet; the harness reports GB/s of
// packet bytes, ns per sample and the ratio to a memcpy of the same packet measured in the same run.
// Rows are listed in main() of bench_parsers.cpp (one line per row); another bench file may include
// this header and call run_parser_bench from its own main with its own rows.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "parsing/framework.h"

namespace brimo::bench {

struct ParserBenchRow {
    std::string name;
    std::vector<std::uint8_t> packet;
    Params params;
    std::uint64_t samples;  // samples in the packet, for ns per sample
    // Parses the packet once; returns false on a parse error (the bench then fails the row).
    std::function<bool(Bytes, const Params&)> parse;
};

template <class Event>
std::function<bool(Bytes, const Params&)> parser_of() {
    return [](Bytes b, const Params& p) {
        auto r = parse_into<Event>(b, p);
        benchmark::DoNotOptimize(r);
        return r.ok();
    };
}

// Big-endian word writer for building packets.
inline void be(std::vector<std::uint8_t>& out, std::uint16_t w) {
    out.push_back(static_cast<std::uint8_t>(w >> 8));
    out.push_back(static_cast<std::uint8_t>(w));
}

// Registers, for every row, the parse and a memcpy of the same packet, and prints the ratio table
// after the run.
struct BenchFigures {
    double parse_ns = 0, memcpy_ns = 0;
};

inline int run_parser_bench(int argc, char** argv, std::vector<ParserBenchRow> rows) {
    static std::vector<ParserBenchRow> all;
    static std::map<std::string, BenchFigures> figures;
    all = std::move(rows);
    for (const ParserBenchRow& row : all) {
        const ParserBenchRow* r = &row;
        // Several repetitions, of which the fastest counts: the machine is shared, and the ratio to
        // memcpy should reflect the code rather than the load of the moment.
        benchmark::RegisterBenchmark(("parse/" + r->name).c_str(), [r](benchmark::State& st) {
            const Bytes b(r->packet.data(), r->packet.size());
            for (auto _ : st)
                if (!r->parse(b, r->params)) st.SkipWithError("parse failed");
            st.SetBytesProcessed(static_cast<std::int64_t>(st.iterations() * r->packet.size()));
        })->Repetitions(5);
        benchmark::RegisterBenchmark(("memcpy/" + r->name).c_str(), [r](benchmark::State& st) {
            std::vector<std::uint8_t> dst(r->packet.size());
            for (auto _ : st) {
                std::memcpy(dst.data(), r->packet.data(), r->packet.size());
                benchmark::DoNotOptimize(dst.data());
                benchmark::ClobberMemory();
            }
            st.SetBytesProcessed(static_cast<std::int64_t>(st.iterations() * r->packet.size()));
        })->Repetitions(5);
    }

    // Collects the per-iteration times to print the ratios after the regular report.
    struct Reporter : benchmark::ConsoleReporter {
        void ReportRuns(const std::vector<Run>& runs) override {
            ConsoleReporter::ReportRuns(runs);
            for (const Run& run : runs) {
                if (run.run_type != Run::RT_Iteration) continue;
                const std::string name = run.run_name.function_name;
                const double ns = run.GetAdjustedRealTime();  // ns per iteration (default unit)
                const auto slash = name.find('/');
                const std::string kind = name.substr(0, slash), row = name.substr(slash + 1);
                double& best = kind == "parse" ? figures[row].parse_ns : figures[row].memcpy_ns;
                if (best <= 0 || ns < best) best = ns;
            }
        }
    } reporter;

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    std::printf("\n%-12s %10s %10s %10s %12s %14s\n", "parser", "bytes", "GB/s", "ns/sample", "memcpy GB/s",
                "parse/memcpy");
    for (const ParserBenchRow& row : all) {
        const BenchFigures& f = figures[row.name];
        if (f.parse_ns <= 0 || f.memcpy_ns <= 0) continue;
        const double bytes = static_cast<double>(row.packet.size());
        std::printf("%-12s %10zu %10.2f %10.3f %12.2f %13.1fx\n", row.name.c_str(), row.packet.size(),
                    bytes / f.parse_ns, f.parse_ns / static_cast<double>(row.samples), bytes / f.memcpy_ns,
                    f.parse_ns / f.memcpy_ns);
    }
    // The lines bench/run.py collects.
    for (const ParserBenchRow& row : all) {
        const BenchFigures& f = figures[row.name];
        if (f.parse_ns <= 0 || f.memcpy_ns <= 0) continue;
        std::printf("RESULT\tparse %s, %zu bytes\t%.3g GB/s\t%.3g GB/s (memcpy)\t%.3g\t-\t-\n", row.name.c_str(),
                    row.packet.size(), static_cast<double>(row.packet.size()) / f.parse_ns,
                    static_cast<double>(row.packet.size()) / f.memcpy_ns, f.parse_ns / f.memcpy_ns);
    }
    return 0;
}


}  // namespace brimo::bench
