#include "export/export.h"

#include <fcntl.h>

#include <cerrno>
#include <string>
#include <vector>

#include "export/csv.h"
#include "export/layout.h"
#include "parsing/framework.h"

namespace brimo {

namespace {

std::filesystem::path chunk_file_path(const std::filesystem::path& out_dir, const std::string& name,
                                      std::uint64_t k) {
    return out_dir / (name + " (chunk " + std::to_string(k) + ").csv");
}

}  // namespace

template <class Event>
Result<void, ExportError> export_chunk(EventReader& reader, const Params& params, const Corrections& corrections,
                                       std::span<const std::uint64_t> indices, const std::filesystem::path& file) {
    // No file name holds a NUL: open(2) would cut the path there and write to another file.
    if (file.native().find('\0') != std::string::npos) return err(ExportError::from_errno(ENOENT));
    // O_TRUNC: rewriting a longer file of the same name must not leave its old tail behind.
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return err(ExportError::from_errno(errno));
    CsvWriter out(fd);

    // The header's channel list depends on every event of the file, so the whole chunk is parsed
    // before anything is written.
    std::vector<Event> events;
    events.reserve(indices.size());
    const Pedestals* pedestals = corrections.pedestals_table ? &*corrections.pedestals_table : nullptr;
    for (const std::uint64_t index : indices) {
        auto bytes = reader.get(index);
        if (!bytes) continue;
        auto event = parse_into<Event>(Bytes(bytes->data(), bytes->size()), params);
        if (!event) continue;
        if (pedestals != nullptr && !pedestals->correct(*event, corrections.params)) continue;
        events.push_back(std::move(*event));
    }

    if (auto r = export_csv<Event>(events, out, params); !r) return r;
    return out.finish();
}

Result<void, ExportFailure> export_csv_from_acq(const Acquisition& acq, std::span<const std::uint64_t> indices,
                                                const Corrections& corrections,
                                                const std::filesystem::path& out_dir, std::uint64_t chunk_size) {
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
            return export_chunk<Event>(reader, params, corrections, part, file);
        });
        if (!r) return err(ExportFailure(std::move(r).error()));
    }
    return {};
}

#define BRIMO_INSTANTIATE_EXPORT_CHUNK(Event)                                                            \
    template Result<void, ExportError> export_chunk<Event>(EventReader&, const Params&, const Corrections&, \
                                                           std::span<const std::uint64_t>,              \
                                                           const std::filesystem::path&);
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
