// Reads every event of an acquisition twice, with Acquisition::get (a walk from chunk 0 per event)
// and with EventReader::get (layout resolved once), and prints the rates.
//
//   bench_store <acquisition dir> [stride]
//
// With a stride k > 1, Acquisition::get reads only every k-th event (its cost per event depends on
// the chunk the event lies in, so an evenly spread sample gives the same rate in less time).
// Output lines: "<name> events=<n> bytes=<b> seconds=<s> events_per_s=<r>".
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "acquisition/acquisition.h"
#include "acquisition/event_reader.h"

namespace {

template <class Get>
int run(const char* name, std::uint64_t count, std::uint64_t stride, Get get) {
    std::uint64_t events = 0, bytes = 0, failures = 0;
    const auto start = std::chrono::steady_clock::now();
    for (std::uint64_t i = 0; i < count; i += stride) {
        auto r = get(i);
        if (r) bytes += r->size();
        else ++failures;
        ++events;
    }
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%s events=%llu bytes=%llu seconds=%.6f events_per_s=%.1f\n", name,
                static_cast<unsigned long long>(events), static_cast<unsigned long long>(bytes), s, events / s);
    if (failures) std::fprintf(stderr, "%s: %llu events failed to read\n", name, static_cast<unsigned long long>(failures));
    return failures ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <acquisition dir> [stride]\n", argv[0]);
        return 2;
    }
    const std::uint64_t stride = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;
    auto acq = brimo::Acquisition::open(argv[1]);
    if (!acq) {
        std::fprintf(stderr, "%s\n", acq.error().message().c_str());
        return 2;
    }
    auto len = acq->len();
    if (!len) {
        std::fprintf(stderr, "%s\n", len.error().message().c_str());
        return 2;
    }
    int rc = 0;
    brimo::EventReader reader(*acq);
    rc |= run("event_reader_get", *len, 1, [&](std::uint64_t i) { return reader.get(i); });
    rc |= run("acquisition_get", *len, stride ? stride : 1, [&](std::uint64_t i) { return acq->get(i); });
    return rc;
}
