// libFuzzer target for the pedestal decoder (gzip, then pickle, then the table). Byte 0 chooses how
// the rest is used: even, as the calibration file itself; odd, as the pickle, which is gzip-compressed
// here first so that mutations reach the pickle decoder instead of failing the gzip checks. A table
// that decodes is then subtracted from an event covering a few cells of it.
#include <zlib.h>

#include <cstdint>
#include <vector>

#include "calibration/pedestals.h"

namespace {

std::vector<std::uint8_t> gzip_compress(const std::uint8_t* data, std::size_t size) {
    z_stream zs{};
    std::vector<std::uint8_t> out;
    if (deflateInit2(&zs, 1, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) return out;
    out.resize(deflateBound(&zs, static_cast<uLong>(size)) + 32);
    zs.next_in = const_cast<Bytef*>(data);
    zs.avail_in = static_cast<uInt>(size);
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    const int rc = deflate(&zs, Z_FINISH);
    out.resize(rc == Z_STREAM_END ? zs.total_out : 0);
    deflateEnd(&zs);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::vector<std::uint8_t> file;
    if (data[0] & 1) {
        file = gzip_compress(data + 1, size - 1);
    } else {
        file.assign(data + 1, data + size);
    }
    auto table = brimo::Pedestals::from_bytes(file);
    if (!table) return 0;

    // Two channels, windows 0, 1 and 65535, two samples per window.
    brimo::Params params;
    params.channels = 2;
    params.windows = 4;
    params.samples = 2;
    brimo::EventBase ev(2);
    for (std::size_t c = 0; c < 2; ++c) {
        ev.window_labels[c] = {0, 1, 65535};
        ev.data[c] = {1, 2, 3, 4, 5, 6};
        ev.time[c] = {0, 1, 2, 3, 4, 5};
    }
    (void)table->correct(ev, params);
    return 0;
}
