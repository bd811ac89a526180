#include "calibration/gzip.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>

namespace brimo::gzip {

namespace {

// Header flag bits (FLG).
constexpr std::uint8_t kFText = 0x01;  // informational only
constexpr std::uint8_t kFHcrc = 0x02;
constexpr std::uint8_t kFExtra = 0x04;
constexpr std::uint8_t kFName = 0x08;
constexpr std::uint8_t kFComment = 0x10;
constexpr std::uint8_t kFReserved = 0xE0;

constexpr std::size_t kFixedHeader = 10;  // ID1 ID2 CM FLG MTIME(4) XFL OS
constexpr std::size_t kTrailer = 8;       // CRC32 ISIZE, both little-endian

Err<GzipError> fail(const char* what) { return err(GzipError{what}); }

std::uint32_t le32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

// crc32() takes a uInt length; feed larger spans piecewise.
std::uint32_t crc_update(std::uint32_t crc, const std::uint8_t* p, std::size_t n) {
    while (n > 0) {
        const uInt k = static_cast<uInt>(std::min<std::size_t>(n, UINT_MAX));
        crc = static_cast<std::uint32_t>(::crc32(crc, p, k));
        p += k;
        n -= k;
    }
    return crc;
}

}  // namespace

Result<std::size_t, GzipError> parse_header(std::span<const std::uint8_t> file) {
    static_assert(kFText == 0x01);  // FTEXT only hints that the content is text; nothing to check
    if (file.size() < kFixedHeader) return fail("truncated gzip header");
    if (file[0] != 0x1F || file[1] != 0x8B) return fail("not a gzip file (bad magic)");
    if (file[2] != 8) return fail("unsupported gzip compression method");
    const std::uint8_t flags = file[3];
    if (flags & kFReserved) return fail("reserved gzip header flags set");

    std::size_t pos = kFixedHeader;
    const std::size_t size = file.size();
    if (flags & kFExtra) {
        if (size - pos < 2) return fail("truncated gzip extra field");
        const std::size_t xlen = std::size_t(file[pos]) | std::size_t(file[pos + 1]) << 8;
        pos += 2;
        if (size - pos < xlen) return fail("truncated gzip extra field");
        pos += xlen;
    }
    for (std::uint8_t text_flag : {kFName, kFComment}) {
        if (!(flags & text_flag)) continue;
        const void* nul = std::memchr(file.data() + pos, 0, size - pos);
        if (nul == nullptr) return fail("unterminated gzip name or comment");
        pos = static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - file.data()) + 1;
    }
    if (flags & kFHcrc) {
        if (size - pos < 2) return fail("truncated gzip header CRC");
        const std::uint32_t crc = crc_update(static_cast<std::uint32_t>(::crc32(0, nullptr, 0)),
                                             file.data(), pos);
        const std::uint32_t stored = std::uint32_t(file[pos]) | std::uint32_t(file[pos + 1]) << 8;
        if ((crc & 0xFFFF) != stored) return fail("gzip header CRC mismatch");
        pos += 2;
    }
    return pos;
}

struct Inflater::State {
    z_stream zs{};
    bool initialised = false;
    bool finished = false;  // trailer checked, nothing more to hand out
    const std::uint8_t* in = nullptr;  // input not yet given to zlib
    std::size_t in_left = 0;
    std::uint64_t total = 0;
    std::uint64_t max_output = 0;
    std::uint32_t crc = 0;

    ~State() {
        if (initialised) inflateEnd(&zs);
    }

    // Bytes of input that zlib has not consumed yet, counting both its window and ours.
    std::size_t unconsumed() const { return zs.avail_in + in_left; }
    const std::uint8_t* cursor() const { return zs.next_in; }

    void feed() {
        const uInt k = static_cast<uInt>(std::min<std::size_t>(in_left, UINT_MAX));
        zs.next_in = const_cast<Bytef*>(in);
        zs.avail_in = k;
        in += k;
        in_left -= k;
    }
};

Inflater::Inflater(std::unique_ptr<State> s) : s_(std::move(s)) {}
Inflater::Inflater(Inflater&&) noexcept = default;
Inflater& Inflater::operator=(Inflater&&) noexcept = default;
Inflater::~Inflater() = default;

std::uint64_t Inflater::total_out() const { return s_->total; }

Result<Inflater, GzipError> Inflater::open(std::span<const std::uint8_t> file, std::uint64_t max_output) {
    BRIMO_ASSIGN_OR_RETURN(const std::size_t header, parse_header(file));
    auto s = std::make_unique<State>();
    // Negative window bits: raw DEFLATE, since the gzip framing is handled here.
    if (inflateInit2(&s->zs, -15) != Z_OK) return fail("cannot initialise zlib");
    s->initialised = true;
    s->in = file.data() + header;
    s->in_left = file.size() - header;
    s->max_output = max_output;
    s->crc = static_cast<std::uint32_t>(::crc32(0, nullptr, 0));
    s->feed();
    return Inflater(std::move(s));
}

Result<std::size_t, GzipError> Inflater::read(std::uint8_t* dst, std::size_t cap) {
    State& s = *s_;
    if (s.finished || cap == 0) return std::size_t{0};
    const uInt room = static_cast<uInt>(std::min<std::size_t>(cap, UINT_MAX));
    s.zs.next_out = dst;
    s.zs.avail_out = room;
    bool stream_end = false;
    // Loop until some output appears: zlib may consume header blocks without producing any.
    while (s.zs.avail_out == room) {
        if (s.zs.avail_in == 0) {
            if (s.in_left == 0) return fail("truncated gzip data");
            s.feed();
        }
        const int rc = inflate(&s.zs, Z_NO_FLUSH);
        if (rc == Z_STREAM_END) {
            stream_end = true;
            break;
        }
        if (rc == Z_BUF_ERROR) {
            // No progress possible: zlib wants input we do not have.
            if (s.zs.avail_in == 0 && s.in_left == 0) return fail("truncated gzip data");
            continue;
        }
        if (rc != Z_OK) return fail(rc == Z_MEM_ERROR ? "out of memory inflating" : "corrupt gzip data");
    }
    const std::size_t produced = room - s.zs.avail_out;
    s.total += produced;
    if (s.total > s.max_output) return fail("gzip content exceeds the size limit");
    s.crc = crc_update(s.crc, dst, produced);
    if (stream_end) {
        // zlib's input window may stop short of the trailer when the file was fed piecewise.
        if (s.unconsumed() < kTrailer) return fail("truncated gzip trailer");
        std::uint8_t trailer[kTrailer];
        const std::size_t in_window = std::min<std::size_t>(s.zs.avail_in, kTrailer);
        std::memcpy(trailer, s.zs.next_in, in_window);
        std::memcpy(trailer + in_window, s.in, kTrailer - in_window);
        if (le32(trailer) != s.crc) return fail("gzip CRC-32 mismatch");
        if (le32(trailer + 4) != static_cast<std::uint32_t>(s.total)) return fail("gzip length mismatch");
        s.finished = true;
    }
    return produced;
}

Result<std::vector<std::uint8_t>, GzipError> decompress(std::span<const std::uint8_t> file,
                                                        std::uint64_t max_output) {
    BRIMO_ASSIGN_OR_RETURN(Inflater inf, Inflater::open(file, max_output));
    std::vector<std::uint8_t> out;
    std::size_t used = 0;
    for (;;) {
        if (out.size() - used < 4096) out.resize(std::max<std::size_t>(out.size() * 2, 65536));
        BRIMO_ASSIGN_OR_RETURN(const std::size_t n, inf.read(out.data() + used, out.size() - used));
        if (n == 0) break;
        used += n;
    }
    out.resize(used);
    return out;
}

}  // namespace brimo::gzip
