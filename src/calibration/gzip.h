// Reading one gzip member (RFC 1952): the header is parsed here, the DEFLATE data is inflated by
// zlib in raw mode, and the trailer's CRC-32 and length are checked against what was inflated.
//
// The inflated bytes are handed out piece by piece (Inflater::read) so that a consumer can decode
// them as they come: a small file that inflates to gigabytes then costs time up to the output cap,
// never memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "error/errors.h"
#include "error/result.h"

namespace brimo::gzip {

using GzipError = Error;

// Default bound on the inflated size of one member. The largest pedestal table we expect
// (96 channels x 512 windows x 1024 samples) pickles to about 450 MiB with the binary protocols,
// so a member beyond 1 GiB is refused rather than inflated further.
inline constexpr std::uint64_t kDefaultMaxOutput = std::uint64_t(1) << 30;

// Parses the member header at the start of `file`; returns the offset of the DEFLATE data.
// Refuses a wrong magic, a method other than 8 (DEFLATE), reserved flag bits, optional fields that
// run past the end of the file and an FHCRC that does not match the header bytes before it.
Result<std::size_t, GzipError> parse_header(std::span<const std::uint8_t> file);

// Streams the inflated content of the first member of `file`. Data after that member is never read.
class Inflater {
public:
    static Result<Inflater, GzipError> open(std::span<const std::uint8_t> file,
                                            std::uint64_t max_output = kDefaultMaxOutput);
    Inflater(Inflater&&) noexcept;
    Inflater& operator=(Inflater&&) noexcept;
    ~Inflater();

    // Inflates up to `cap` bytes into `dst`. Returns the number of bytes written, at least one
    // until the member ends; 0 means the member ended and its trailer (CRC-32, ISIZE) matched.
    // Truncated or corrupt data, a trailer mismatch and output beyond max_output are errors.
    Result<std::size_t, GzipError> read(std::uint8_t* dst, std::size_t cap);

    std::uint64_t total_out() const;

private:
    struct State;
    explicit Inflater(std::unique_ptr<State> s);
    std::unique_ptr<State> s_;
};

// The whole first member at once (tests and small files).
Result<std::vector<std::uint8_t>, GzipError> decompress(std::span<const std::uint8_t> file,
                                                        std::uint64_t max_output = kDefaultMaxOutput);

}  // namespace brimo::gzip
