#include "export/export.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "concurrency/first_exception.h"
#include "export/csv.h"
#include "export/layout.h"
#include "export/parallel_rows.h"
#include "parsing/models.h"

namespace brimo {

namespace {

std::string chunk_file_name(const std::string& name, std::uint64_t k) {
    return name + " (chunk " + std::to_string(k) + ").csv";
}

// The output directory, opened once per export: every chunk file is created and renamed relative to
// this handle, so all of them land in the directory that was checked against the acquisition, even
// when the path is changed to point elsewhere while the export runs. O_PATH needs no read
// permission on the directory, only what creating files in it needs anyway.
class OutDir {
public:
    OutDir() = default;
    OutDir(const OutDir&) = delete;
    OutDir& operator=(const OutDir&) = delete;

    Result<void, ExportError> open(const std::filesystem::path& dir, const std::filesystem::path& acq_dir) {
        // No path holds a NUL: open(2) would cut it there and write to another directory.
        if (dir.native().find('\0') != std::string::npos) return err(ExportError::from_errno(ENOENT));
        UniqueFd fd(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!fd.valid()) return err(ExportError::from_errno(errno));
        fd_ = std::move(fd);
        // Nothing is ever written into an acquisition: the output directory must not be the
        // acquisition directory itself under another name (a link, "..", a bind mount).
        struct stat out_st, acq_st;
        if (::fstat(fd_.get(), &out_st) != 0) return err(ExportError::from_errno(errno));
        if (::stat(acq_dir.c_str(), &acq_st) == 0 && out_st.st_dev == acq_st.st_dev &&
            out_st.st_ino == acq_st.st_ino)
            return err(ExportError::of(ExportErrorKind::InvalidOptions));
        return {};
    }
    int fd() const { return fd_.get(); }

private:
    UniqueFd fd_;
};

// 64 bits that no other export of this or another process is likely to pick: the kernel's random
// bytes, or when those are unavailable a mix of time, process and a counter. Uniqueness itself is
// guaranteed by the exclusive create; this only keeps retries rare.
std::uint64_t random_suffix() {
    std::uint64_t r = 0;
    if (::getrandom(&r, sizeof r, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof r)) return r;
    static std::atomic<std::uint64_t> counter{0};
    r = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    r ^= static_cast<std::uint64_t>(::getpid()) << 32;
    r += 0x9e3779b97f4a7c15ull * (counter.fetch_add(1, std::memory_order_relaxed) + 1);
    r ^= r >> 31;
    r *= 0xbf58476d1ce4e5b9ull;
    return r ^ (r >> 29);
}

// A chunk file being written: a new file under a hidden temporary name in the output directory,
// renamed over its final name once complete and removed on every other way out. The temporary name
// (".brimoacq-<16 hex digits>.tmp") cannot be an output name, which always ends in ".csv".
class PendingFile {
public:
    explicit PendingFile(int dir_fd) : dir_fd_(dir_fd) {}
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;
    ~PendingFile() {
        if (!name_.empty()) ::unlinkat(dir_fd_, name_.c_str(), 0);
    }

    // Creates the file and returns its descriptor, or the ExportError converted from errno.
    Result<UniqueFd, ExportError> create() {
        static constexpr char kHex[] = "0123456789abcdef";
        for (int attempt = 0; attempt < 64; ++attempt) {
            std::uint64_t r = random_suffix();
            std::string name = ".brimoacq-";
            for (int i = 0; i < 16; ++i, r >>= 4) name += kHex[r & 15];
            name += ".tmp";
            // O_EXCL: a new file or nothing (an existing entry, a link included, is never opened);
            // O_NOFOLLOW for good measure. 0666 as reduced by the umask, like any created file.
            UniqueFd fd(::openat(dir_fd_, name.c_str(),
                                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0666));
            if (fd.valid()) {
                name_ = std::move(name);
                return fd;
            }
            if (errno != EEXIST) return err(ExportError::from_errno(errno));
        }
        return err(ExportError::from_errno(EEXIST));
    }

    // Replaces whatever `final_name` is (a file, a link, a FIFO; not a directory) with the complete
    // file. rename(2) swaps the directory entry: a link there is replaced, its target untouched.
    Result<void, ExportError> commit(const std::string& final_name) {
        if (::renameat(dir_fd_, name_.c_str(), dir_fd_, final_name.c_str()) != 0)
            return err(ExportError::from_errno(errno));
        name_.clear();
        return {};
    }

private:
    int dir_fd_;
    std::string name_;  // empty until created and once renamed
};

// Events of the chunk, in index order, without those that cannot be read, parsed or corrected.
// A cancelled export stops early; what it returns then is not used.
template <class Event>
std::vector<Event> collect_events(EventReader& reader, const Params& params, const Corrections& corrections,
                                  std::span<const std::uint64_t> indices, concurrency::WorkerPool* pool,
                                  Cancellation* cancel) {
    const Pedestals* pedestals = corrections.pedestals_table ? &*corrections.pedestals_table : nullptr;
    auto one = [&](const Result<std::vector<std::uint8_t>, AcquisitionError>& bytes) -> std::optional<Event> {
        if (!bytes) return std::nullopt;
        auto event = parse_into<Event>(Bytes(bytes->data(), bytes->size()), params);
        if (!event) return std::nullopt;
        if (pedestals != nullptr && !pedestals->correct(*event, corrections.params)) return std::nullopt;
        return std::move(*event);
    };
    auto stop = [cancel] { return cancel != nullptr && cancel->poll(); };

    std::vector<Event> events;
    events.reserve(indices.size());
    if (pool == nullptr) {
        for (const std::uint64_t index : indices) {
            if (stop()) break;
            if (auto event = one(reader.get(index))) events.push_back(std::move(*event));
        }
        return events;
    }

    // Reads take turns on the one reader; parsing and correcting run side by side. Each event keeps
    // its place, so the survivors come out in index order.
    std::vector<std::optional<Event>> parsed(indices.size());
    std::mutex reader_mutex;
    concurrency::FirstException thrown;  // out of memory while reading or parsing
    pool->parallel_for(indices.size(), 16, [&](std::size_t begin, std::size_t end) {
        thrown.run([&] {
            for (std::size_t i = begin; i < end; ++i) {
                if (stop() || thrown.any()) return;
                std::unique_lock lock(reader_mutex);
                auto bytes = reader.get(indices[i]);
                lock.unlock();
                parsed[i] = one(bytes);
            }
        });
    });
    thrown.rethrow_if_any();
    for (auto& event : parsed) {
        if (event) events.push_back(std::move(*event));
    }
    return events;
}

// While the calling thread waits for the pool, it keeps asking the cancellation.
void poll_cancellation(void* cancel) { static_cast<Cancellation*>(cancel)->poll(); }

}  // namespace

template <class Event>
Result<void, ExportError> export_chunk(EventReader& reader, const Params& params, const Corrections& corrections,
                                       std::span<const std::uint64_t> indices, int dir_fd,
                                       const std::string& file_name, concurrency::WorkerPool* pool, Cancellation* cancel) {
    if (pool != nullptr && pool->size() < 2) pool = nullptr;
    PendingFile pending(dir_fd);
    BRIMO_ASSIGN_OR_RETURN(UniqueFd fd, pending.create());
    CsvWriter out(std::move(fd));
    out.set_cancellation(cancel);

    // The header's channel list depends on every event of the file, so the whole chunk is parsed
    // before anything is written.
    const std::vector<Event> events = collect_events<Event>(reader, params, corrections, indices, pool, cancel);
    if (cancel != nullptr && cancel->cancelled()) return err(out.error());

    if (pool == nullptr) {
        BRIMO_TRY(export_csv<Event>(events, out, params));
    } else {
        BRIMO_TRY(export_csv_parallel<Event>(events, out, params, *pool));
    }
    BRIMO_TRY(out.finish());
    return pending.commit(file_name);
}

Result<void, ExportFailure> export_csv_from_acq(const Acquisition& acq, std::span<const std::uint64_t> indices,
                                                const Corrections& corrections,
                                                const std::filesystem::path& out_dir, std::uint64_t chunk_size,
                                                Cancellation* cancel) {
    concurrency::WorkerPool& pool = concurrency::global_pool();
    return export_csv_from_acq(acq, indices, corrections, out_dir, chunk_size, pool.size() > 1 ? &pool : nullptr,
                               cancel);
}

Result<void, ExportFailure> export_csv_from_acq(const Acquisition& acq, std::span<const std::uint64_t> indices,
                                                const Corrections& corrections,
                                                const std::filesystem::path& out_dir, std::uint64_t chunk_size,
                                                concurrency::WorkerPool* pool, Cancellation* cancel) {
    if (chunk_size == 0) return err(ExportFailure(ExportError::of(ExportErrorKind::InvalidOptions)));

    auto metadata = acq.metadata();
    if (!metadata) return err(ExportFailure(ExportError::from_metadata(std::move(metadata).error())));
    const Params params = std::move(metadata->params);

    if (indices.empty()) return {};

    // The files are named after the directory's name as stored, whatever its encoding.
    BRIMO_ASSIGN_OR_RETURN(const std::string name, acq.file_name());
    // The model is the same for every chunk: an unknown one fails before the first file is created.
    const auto model = model_from_name(params.model);
    if (!model) return err(ExportFailure(ExportError::from_parsing(ParsingError::UnsupportedModel)));

    OutDir dir;
    BRIMO_TRY(dir.open(out_dir, acq.path()));

    std::optional<concurrency::WaitCallback> waiting;
    if (cancel != nullptr && cancel->has_check())
        waiting.emplace(&poll_cancellation, cancel,
                        std::max(cancel->interval(), std::chrono::milliseconds(1)));

    // One reader for the whole export: the chunk layout is resolved once instead of walking the
    // chunk files from chunk 0 for every event. It is refreshed per output file, so each file sees
    // the acquisition as it is when that file is started.
    EventReader reader(acq);
    const std::uint64_t chunks = (indices.size() - 1) / chunk_size + 1;
    for (std::uint64_t k = 0; k < chunks; ++k) {
        if (cancel != nullptr && cancel->poll()) return err(ExportFailure(ExportCancelled{}));
        const std::uint64_t begin = k * chunk_size;
        const std::uint64_t count = std::min<std::uint64_t>(chunk_size, indices.size() - begin);
        const auto part = indices.subspan(begin, count);
        const std::string file = chunk_file_name(name, k);
        reader.refresh();
        auto r = visit_model(*model, [&](auto tag) {
            using Event = typename decltype(tag)::type;
            return export_chunk<Event>(reader, params, corrections, part, dir.fd(), file, pool, cancel);
        });
        if (cancel != nullptr && cancel->cancelled()) return err(ExportFailure(ExportCancelled{}));
        BRIMO_TRY(r);
    }
    return {};
}

#define BRIMO_INSTANTIATE_EXPORT_CHUNK(Event)                                                            \
    template Result<void, ExportError> export_chunk<Event>(EventReader&, const Params&, const Corrections&, \
                                                           std::span<const std::uint64_t>, int,         \
                                                           const std::string&, concurrency::WorkerPool*, Cancellation*);
#define BRIMO_MODEL_EXPORT_CHUNK(M, Event, ...) BRIMO_INSTANTIATE_EXPORT_CHUNK(Event)
BRIMO_FOR_EACH_MODEL(BRIMO_MODEL_EXPORT_CHUNK)
#undef BRIMO_MODEL_EXPORT_CHUNK
#undef BRIMO_INSTANTIATE_EXPORT_CHUNK

}  // namespace brimo
