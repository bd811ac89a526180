#include "export/export.h"

#include <fcntl.h>

#include <cerrno>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "export/csv.h"
#include "export/layout.h"
#include "export/parallel_rows.h"
#include "parsing/framework.h"

namespace brimo {

namespace {

std::filesystem::path chunk_file_path(const std::filesystem::path& out_dir, const std::string& name,
                                      std::uint64_t k) {
    return out_dir / (name + " (chunk " + std::to_string(k) + ").csv");
}

// Events of the chunk, in index order, without those that cannot be read, parsed or corrected.
template <class Event>
std::vector<Event> collect_events(EventReader& reader, const Params& params, const Corrections& corrections,
                                  std::span<const std::uint64_t> indices, ecc::WorkerPool* pool) {
    const Pedestals* pedestals = corrections.pedestals_table ? &*corrections.pedestals_table : nullptr;
    auto one = [&](const Result<std::vector<std::uint8_t>, AcquisitionError>& bytes) -> std::optional<Event> {
        if (!bytes) return std::nullopt;
        auto event = parse_into<Event>(Bytes(bytes->data(), bytes->size()), params);
        if (!event) return std::nullopt;
        if (pedestals != nullptr && !pedestals->correct(*event, corrections.params)) return std::nullopt;
        return std::move(*event);
    };

    std::vector<Event> events;
    events.reserve(indices.size());
    if (pool == nullptr) {
        for (const std::uint64_t index : indices) {
            if (auto event = one(reader.get(index))) events.push_back(std::move(*event));
        }
        return events;
    }

    // Reads take turns on the one reader; parsing and correcting run side by side. Each event keeps
    // its place, so the survivors come out in index order.
    std::vector<std::optional<Event>> parsed(indices.size());
    std::mutex reader_mutex;
    std::exception_ptr thrown;
    pool->parallel_for(indices.size(), 16, [&](std::size_t begin, std::size_t end) {
        try {
            for (std::size_t i = begin; i < end; ++i) {
                std::unique_lock lock(reader_mutex);
                if (thrown) return;
                auto bytes = reader.get(indices[i]);
                lock.unlock();
                parsed[i] = one(bytes);
            }
        } catch (...) {
            std::lock_guard lock(reader_mutex);
            if (!thrown) thrown = std::current_exception();
        }
    });
    if (thrown) std::rethrow_exception(thrown);
    for (auto& event : parsed) {
        if (event) events.push_back(std::move(*event));
    }
    return events;
}

}  // namespace

template <class Event>
Result<void, ExportError> export_chunk(EventReader& reader, const Params& params, const Corrections& corrections,
                                       std::span<const std::uint64_t> indices, const std::filesystem::path& file,
                                       ecc::WorkerPool* pool) {
    if (pool != nullptr && pool->size() < 2) pool = nullptr;
    // No file name holds a NUL: open(2) would cut the path there and write to another file.
    if (file.native().find('\0') != std::string::npos) return err(ExportError::from_errno(ENOENT));
    // O_TRUNC: rewriting a longer file of the same name must not leave its old tail behind.
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return err(ExportError::from_errno(errno));
    CsvWriter out(fd);

    // The header's channel list depends on every event of the file, so the whole chunk is parsed
    // before anything is written.
    const std::vector<Event> events = collect_events<Event>(reader, params, corrections, indices, pool);

    if (pool == nullptr) {
        if (auto r = export_csv<Event>(events, out, params); !r) return r;
    } else {
        if (auto r = export_csv_parallel<Event>(events, out, params, *pool); !r) return r;
    }
    return out.finish();
}

Result<void, ExportFailure> export_csv_from_acq(const Acquisition& acq, std::span<const std::uint64_t> indices,
                                                const Corrections& corrections,
                                                const std::filesystem::path& out_dir, std::uint64_t chunk_size) {
    ecc::WorkerPool& pool = ecc::global_pool();
    return export_csv_from_acq(acq, indices, corrections, out_dir, chunk_size, pool.size() > 1 ? &pool : nullptr);
}

Result<void, ExportFailure> export_csv_from_acq(const Acquisition& acq, std::span<const std::uint64_t> indices,
                                                const Corrections& corrections,
                                                const std::filesystem::path& out_dir, std::uint64_t chunk_size,
                                                ecc::WorkerPool* pool) {
    if (chunk_size == 0) return err(ExportFailure(ExportError::of(ExportErrorKind::InvalidOptions)));

    auto metadata = acq.metadata();
    if (!metadata) return err(ExportFailure(ExportError::from_metadata(std::move(metadata).error())));
    const Params params = std::move(metadata->params);

    if (indices.empty()) return {};

    auto name = acq.name();
    if (!name) return err(ExportFailure(std::move(name).error()));
    // The model is the same for every chunk: an unknown one fails before the first file is created.
    const auto model = model_from_name(params.model);
    if (!model) return err(ExportFailure(ExportError::from_parsing(ParsingError::UnsupportedModel)));

    // One reader for the whole export: the chunk layout is resolved once instead of walking the
    // chunk files from chunk 0 for every event. It is refreshed per output file, so each file sees
    // the acquisition as it is when that file is started.
    EventReader reader(acq);
    const std::uint64_t chunks = (indices.size() - 1) / chunk_size + 1;
    for (std::uint64_t k = 0; k < chunks; ++k) {
        const std::uint64_t begin = k * chunk_size;
        const std::uint64_t count = std::min<std::uint64_t>(chunk_size, indices.size() - begin);
        const auto part = indices.subspan(begin, count);
        const auto file = chunk_file_path(out_dir, *name, k);
        reader.refresh();
        auto r = visit_model(*model, [&](auto tag) {
            using Event = typename decltype(tag)::type;
            return export_chunk<Event>(reader, params, corrections, part, file, pool);
        });
        if (!r) return err(ExportFailure(std::move(r).error()));
    }
    return {};
}

#define BRIMO_INSTANTIATE_EXPORT_CHUNK(Event)                                                            \
    template Result<void, ExportError> export_chunk<Event>(EventReader&, const Params&, const Corrections&, \
                                                           std::span<const std::uint64_t>,              \
                                                           const std::filesystem::path&, ecc::WorkerPool*);
BRIMO_INSTANTIATE_EXPORT_CHUNK(Pellorv3Event)
BRIMO_INSTANTIATE_EXPORT_CHUNK(Pellorv3SEvent)
BRIMO_INSTANTIATE_EXPORT_CHUNK(Quarvelv3Event)
BRIMO_INSTANTIATE_EXPORT_CHUNK(Lanwev1Event)
BRIMO_INSTANTIATE_EXPORT_CHUNK(OviskEvent)
BRIMO_INSTANTIATE_EXPORT_CHUNK(Skerd16Event)
BRIMO_INSTANTIATE_EXPORT_CHUNK(Kivrov1Event)
BRIMO_INSTANTIATE_EXPORT_CHUNK(Vombel96Event)
BRIMO_INSTANTIATE_EXPORT_CHUNK(Mirranv2Event)
#undef BRIMO_INSTANTIATE_EXPORT_CHUNK

}  // namespace brimo
