#include "acquisition/event_reader.h"

#include <algorithm>
#include <optional>

#include "acquisition/chunk.h"
#include "io/unique_fd.h"

namespace brimo {

// The layout is the list of chunks reachable from chunk 0 with their event counts, as Acquisition::get
// would walk them. Chunk files are not all kept open (a long acquisition has more chunks than a
// process may hold descriptors); the chunk read last stays open, which serves sequential reading.
struct EventReader::Impl {
    std::filesystem::path path;
    UniqueFd dir;
    bool resolved = false;
    // ends[n]: one past the global index of the last event of chunk n.
    std::vector<std::uint64_t> ends;
    // The walk stopped at a chunk whose index file could not be sized: indices at or beyond
    // ends.back() give InvalidPath instead of IndexOutOfBounds, as the walk would.
    bool walk_failed = false;
    std::optional<ReadChunkFile> open_chunk;
    std::uint64_t open_chunk_number = 0;

    explicit Impl(std::filesystem::path p) : path(std::move(p)) {}

    void resolve() {
        resolved = true;
        ends.clear();
        walk_failed = false;
        open_chunk.reset();
        dir.reset();
        auto opened = open_directory(path);
        if (!opened) return;
        dir = std::move(*opened);
        std::uint64_t total = 0;
        for (std::uint64_t n = 0;; ++n) {
            auto chunk = ReadChunkFile::open_at(dir.get(), n);
            if (!chunk) break;
            auto count = chunk->event_count();
            if (!count) {
                walk_failed = true;
                break;
            }
            total = *count > UINT64_MAX - total ? UINT64_MAX : total + *count;
            ends.push_back(total);
            open_chunk = std::move(chunk).value();
            open_chunk_number = n;
        }
    }

    Result<std::vector<std::uint8_t>, AcquisitionError> get(std::uint64_t index) {
        if (!resolved) resolve();
        // First chunk whose end lies beyond the index; empty chunks are passed over as in the walk.
        const auto it = std::upper_bound(ends.begin(), ends.end(), index);
        if (it == ends.end())
            return err(acq_error(walk_failed ? AcquisitionErrorKind::InvalidPath
                                             : AcquisitionErrorKind::IndexOutOfBounds));
        const std::uint64_t n = static_cast<std::uint64_t>(it - ends.begin());
        const std::uint64_t first = n == 0 ? 0 : ends[n - 1];
        BRIMO_ASSIGN_OR_RETURN(const ReadChunkFile* c, chunk(n));
        return c->get(index - first);
    }

    Result<const ReadChunkFile*, AcquisitionError> chunk(std::uint64_t n) {
        if (!resolved) resolve();
        if (!open_chunk || open_chunk_number != n) {
            open_chunk.reset();
            auto chunk = ReadChunkFile::open_at(dir.get(), n);
            // The chunk vanished since the layout was resolved; the walk would end here.
            if (!chunk) return err(acq_error(AcquisitionErrorKind::IndexOutOfBounds));
            open_chunk = std::move(chunk).value();
            open_chunk_number = n;
        }
        return &*open_chunk;
    }
};

EventReader::EventReader(const Acquisition& acq) : impl_(std::make_unique<Impl>(acq.path())) {}
EventReader::EventReader(EventReader&&) noexcept = default;
EventReader& EventReader::operator=(EventReader&&) noexcept = default;
EventReader::~EventReader() = default;

Result<std::vector<std::uint8_t>, AcquisitionError> EventReader::get(std::uint64_t index) {
    if (!impl_) return err(acq_error(AcquisitionErrorKind::InvalidPath));  // moved from
    return impl_->get(index);
}

const std::vector<std::uint64_t>& EventReader::ends() {
    static const std::vector<std::uint64_t> none;
    if (!impl_) return none;
    if (!impl_->resolved) impl_->resolve();
    return impl_->ends;
}

AcquisitionError EventReader::beyond_error() {
    const bool failed = !impl_ || impl_->walk_failed;
    return acq_error(failed ? AcquisitionErrorKind::InvalidPath : AcquisitionErrorKind::IndexOutOfBounds);
}

Result<const ReadChunkFile*, AcquisitionError> EventReader::chunk(std::uint64_t n) {
    if (!impl_) return err(acq_error(AcquisitionErrorKind::InvalidPath));
    return impl_->chunk(n);
}

void EventReader::refresh() {
    if (impl_) impl_->resolved = false;
}

}  // namespace brimo
