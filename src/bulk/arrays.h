// Many events of one acquisition read at once into flat arrays: the packets back to back with their
// offsets, or the parsed (and optionally pedestal-corrected) events in a ragged layout, every channel
// of every event one after the other, with offset arrays marking where each (event, channel) run
// starts. Arrow and awkward-array use this layout, and numpy can wrap each array without a copy.
//
// The chunk layout is resolved once per reader (EventReader): a read sees the acquisition as it was
// when the reader first looked at it. Runs of consecutive events of one chunk are read with one read
// of their index entries and one read of their packets, so the cost grows with the number of events
// and chunks, not with their product.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "acquisition/event_reader.h"
#include "acquisition/metadata.h"
#include "calibration/pedestals.h"
#include "concurrency/pool.h"
#include "error/errors.h"
#include "error/result.h"

namespace brimo::bulk {

// A block of bytes whose ownership can be handed to another owner (the Python buffer object) without
// copying. Not cleared: every byte is written by its filler. A growable block is a memory mapping that
// grows by remapping its pages (never by copying), so an array can be filled part by part and still be
// allocated only once; large mappings ask for transparent huge pages, which cut the page faults of
// filling them.
class Array {
public:
    // What release() hands over: free it with Array::free_block.
    struct Block {
        void* data;
        std::size_t bytes;
        std::size_t capacity;
        bool mapped;
    };

    Array() = default;
    // A block of exactly `bytes`. Throws std::bad_alloc when the memory is not there.
    explicit Array(std::size_t bytes);
    // An empty growable block.
    static Array growable();
    Array(Array&& o) noexcept : b_(o.b_) { o.b_ = Block{nullptr, 0, 0, false}; }
    Array& operator=(Array&& o) noexcept;
    Array(const Array&) = delete;
    Array& operator=(const Array&) = delete;
    ~Array() { free_block(b_); }

    // Growable blocks only: makes the block `bytes` long, keeping its contents. Throws std::bad_alloc.
    void resize(std::size_t bytes);
    std::size_t bytes() const { return b_.bytes; }
    void* data() { return b_.data; }
    template <class T>
    T* as() {
        return static_cast<T*>(b_.data);
    }
    template <class T>
    const T* as() const {
        return static_cast<const T*>(b_.data);
    }
    // Gives up the block.
    Block release() {
        const Block b = b_;
        b_ = Block{nullptr, 0, 0, false};
        return b;
    }
    static void free_block(const Block& b) noexcept;

private:
    Block b_{nullptr, 0, 0, false};
};

// Why one requested event is missing from a result.
using EventError = std::variant<AcquisitionError, ParsingError, CorrectionError>;

struct EventFailure {
    std::size_t position = 0;  // in the requested list
    std::uint64_t index = 0;   // the event's acquisition-wide index
    EventError error;
};

// The packets of the requested events: bytes[offsets[k] : offsets[k + 1]] is event indices[k].
struct RawArrays {
    Array bytes;    // uint8
    Array offsets;  // int64 [E + 1]
};

// Reads the packets of `indices`, in the order given; the first event that cannot be read ends the
// read with its failure.
Result<RawArrays, EventFailure> read_raw(EventReader& reader, std::span<const std::uint64_t> indices);

// The parsed events, E events of C per-channel entries each.
struct EventArrays {
    std::size_t events = 0;
    std::size_t channels = 0;
    bool has_timing = false;
    Array index;           // int64 [E]
    Array data;            // float32, every sample
    Array offsets;         // int64 [E * C + 1] into data and time
    Array time;            // uint16, parallel to data
    Array window_labels;   // uint16, every window
    Array window_offsets;  // int64 [E * C + 1] into window_labels and timing
    Array timing;          // uint32, parallel to window_labels (lanwe records only)
};

struct ReadOptions {
    // Present: every event is corrected with this table and these params, as the CSV export does.
    SharedPedestals pedestals;
    // Leave failing events out instead of stopping at the first one.
    bool skip_failures = false;
};

// Builds EventArrays in steps, so that a caller can look for interruptions between them: parse()
// the requested events in consecutive parts, then finish(). Reading, parsing and correcting run on
// the worker pool; the parsed records are held until finish() copies them into arrays allocated once
// at their final size, releasing each record as it is copied.
class ArrayBuilder {
public:
    // UnsupportedModel for a model without a parser.
    static Result<ArrayBuilder, ParsingError> create(Params params, ReadOptions options, concurrency::WorkerPool& pool);
    ArrayBuilder(ArrayBuilder&&) noexcept;
    ArrayBuilder& operator=(ArrayBuilder&&) noexcept;
    ~ArrayBuilder();

    // Reads and parses the events `indices` (positions `first_position` on in the whole request).
    // Without skip_failures the earliest failing event of the part is returned and the build must
    // stop; with it failures are left out.
    std::optional<EventFailure> parse(EventReader& reader, std::span<const std::uint64_t> indices,
                                      std::size_t first_position);
    // The packet bytes of the last part read, and the fewest events a part should hold to keep every
    // worker busy: callers size their parts by them.
    std::uint64_t last_part_bytes() const;
    std::size_t min_part_events() const;
    // The arrays of every event parsed so far, in request order. InternalError when the parsed
    // records disagree in their number of channels or a channel's samples and times differ in count.
    Result<EventArrays, InternalError> finish();

    struct Impl;

private:
    explicit ArrayBuilder(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace brimo::bulk
