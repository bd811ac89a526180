// The CSV export driver: writes chosen events of an acquisition into files of at most `chunk_size`
// events each, "<acquisition name> (chunk <k>).csv" in the output directory, reading, parsing and
// (optionally) pedestal-correcting the events of each file first.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <variant>

#include "acquisition/acquisition.h"
#include "acquisition/event_reader.h"
#include "calibration/pedestals.h"
#include "ecc/pool.h"
#include "error/errors.h"
#include "error/result.h"

namespace brimo {

// An export fails with an ExportError, or with an InternalError when the acquisition path has no
// usable last component to name the files after.
using ExportFailure = std::variant<ExportError, InternalError>;

// Exports `indices` (global event indices, any order, duplicates allowed) in chunks of `chunk_size`.
// Events that cannot be read, parsed or corrected are left out without a message. Failures:
//   chunk_size 0                      -> ExportError::InvalidOptions, nothing read or written
//   metadata.yml missing or invalid   -> ExportError::AcquisitionAccess (carrying the MetadataError)
//   empty `indices`                   -> success, nothing written
//   unknown params "model"            -> ExportError::Parsing (UnsupportedModel), no file written
//   output file cannot be opened      -> InvalidPath (not found), AccessDenied, or Unknown
//   a write, the last flush or close  -> ExportError::Csv; files of earlier chunks stay
// An existing chunk file is truncated when opened.
//
// Events are parsed, corrected and formatted on the workers of the process-wide pool when it has more
// than one; the files and the "Bad channel" lines are exactly those of doing all of it on the calling
// thread.
Result<void, ExportFailure> export_csv_from_acq(const Acquisition& acq, std::span<const std::uint64_t> indices,
                                                const Corrections& corrections,
                                                const std::filesystem::path& out_dir, std::uint64_t chunk_size);

// The same with the workers given: `pool` null (or a pool of one worker) does everything on the
// calling thread.
Result<void, ExportFailure> export_csv_from_acq(const Acquisition& acq, std::span<const std::uint64_t> indices,
                                                const Corrections& corrections,
                                                const std::filesystem::path& out_dir, std::uint64_t chunk_size,
                                                ecc::WorkerPool* pool);

// One chunk file of events of record type Event: the events of `indices` that `reader` can read,
// `params` parse and `corrections` correct, in order. `pool` as above.
template <class Event>
Result<void, ExportError> export_chunk(EventReader& reader, const Params& params, const Corrections& corrections,
                                       std::span<const std::uint64_t> indices, const std::filesystem::path& file,
                                       ecc::WorkerPool* pool = nullptr);

}  // namespace brimo
