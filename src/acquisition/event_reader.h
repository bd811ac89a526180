// Reads many events of one acquisition with the chunk layout resolved once, for bulk readers such as
// the CSV export. Acquisition::get walks the chunks from chunk 0 and reopens every file on each call;
// this keeps the directory and the chunk read last open and knows each chunk's first global index.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "acquisition/acquisition.h"
#include "acquisition/chunk.h"
#include "error/errors.h"
#include "error/result.h"

namespace brimo {

class EventReader {
public:
    explicit EventReader(const Acquisition& acq);
    EventReader(EventReader&&) noexcept;
    EventReader& operator=(EventReader&&) noexcept;
    ~EventReader();

    // The bytes of global event `index`: the same result that Acquisition::get gives for the chunk
    // layout seen when the layout was last resolved (on first use, or by refresh()).
    Result<std::vector<std::uint8_t>, AcquisitionError> get(std::uint64_t index);
    // Forget the resolved layout; the next get() resolves it again (sees chunks and events added since).
    void refresh();

    // For bulk readers that read runs of events straight from the chunk files. The resolved layout
    // (resolved on first use): ends()[n] is one past the global index of the last event of chunk n.
    const std::vector<std::uint64_t>& ends();
    // The error get() gives for an index at or beyond ends().back().
    AcquisitionError beyond_error();
    // Chunk n of the layout, opened if it is not the one held open (it then stays open until another
    // is asked for); IndexOutOfBounds when it vanished since the layout was resolved.
    Result<const ReadChunkFile*, AcquisitionError> chunk(std::uint64_t n);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace brimo
