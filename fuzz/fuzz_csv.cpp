// libFuzzer target for the CSV layout: the header and the rows of events, written through the
// export's CsvWriter into an in-memory file and read back. Every record must end with "\n" and have
// the header's field count, whatever the events hold.
//
// Byte 0 below 0x80 picks a model as in the parser target and the rest is that target's input:
// a packet the parser accepts gives the events (the event twice, so that a file holds two). From
// 0x80 on, the rest describes one event field by field, so that fields that do not fit together
// (more samples than windows, short time axes, lanwe timing) reach the row writer too: byte 1 is
// the number of channels (modulo 9), byte 2 "samples" (modulo 9); per channel, a count byte and
// that many 16-bit values for the window numbers, the samples, the time axis and the timing.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "export/layout.h"
#include "fuzz_entry.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& text) {
    std::fprintf(stderr, "%s\n%.2000s\n", what, text.c_str());
    std::abort();
}

// Reads back the file and checks every record's field count against the header's. Exported fields
// are numbers and names, never quoted, so fields are the commas plus one.
void check_csv(int fd) {
    const off_t end = lseek(fd, 0, SEEK_END);
    std::string text(static_cast<std::size_t>(end), '\0');
    if (end > 0 && pread(fd, text.data(), text.size(), 0) != end) fail("short read back", {});
    if (text.empty()) fail("no header", text);
    if (text.back() != '\n') fail("the last record does not end with a newline", text);
    std::size_t fields = 0, expected = 0, line = 0;
    for (char ch : text) {
        if (ch == ',') ++fields;
        if (ch != '\n') continue;
        if (line++ == 0)
            expected = fields;
        else if (fields != expected)
            fail("a row does not have the header's field count", text);
        fields = 0;
    }
}

template <class Event>
void export_events(const std::vector<Event>& events, const brimo::Params& params) {
    const int fd = memfd_create("fuzz_csv", 0);
    if (fd < 0) std::abort();
    const int check = dup(fd);
    {
        brimo::CsvWriter out(brimo::UniqueFd(fd), 4096);
        auto r = brimo::export_csv<Event>(std::span<const Event>(events), out, params);
        auto fin = out.finish();
        if (r && fin) check_csv(check);
    }
    close(check);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // "Bad channel" lines go to standard output; keep them out of the fuzzer's log.
    static const bool quiet = [] {
        std::fflush(stdout);
        std::FILE* null = std::fopen("/dev/null", "w");
        if (null) dup2(fileno(null), 1);
        return true;
    }();
    (void)quiet;
    if (size == 0) return 0;

    if (data[0] < 0x80) {
        const brimo::Model model = brimo::fuzz_model(data[0]);
        const brimo::FuzzInput in = brimo::decode_fuzz_input(model, data + 1, size - 1);
        brimo::visit_model(model, [&](auto tag) {
            using Event = typename decltype(tag)::type;
            auto ev = brimo::parse_into<Event>(in.packet, in.params);
            if (!ev) return;
            std::vector<Event> events{*ev, *ev};
            export_events(events, in.params);
        });
        return 0;
    }

    brimo::FuzzReader r{data + 1, size - 1};
    brimo::Params params;
    const std::size_t channels = r.u8() % 9;
    params.channels = channels;
    params.samples = r.u8() % 9;
    brimo::Lanwev1Event ev(channels);
    for (std::size_t c = 0; c < channels; ++c) {
        ev.window_labels[c] = r.values<std::uint16_t>();
        ev.data[c] = r.values<float>();
        ev.time[c] = r.values<std::uint16_t>();
        ev.timing[c] = r.values<std::uint32_t>();
    }
    if (data[0] & 1) {
        export_events(std::vector<brimo::Lanwev1Event>{ev}, params);
    } else {
        brimo::OviskEvent plain;
        static_cast<brimo::EventBase&>(plain) = ev;
        export_events(std::vector<brimo::OviskEvent>{plain}, params);
    }
    return 0;
}
