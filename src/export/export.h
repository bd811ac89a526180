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
#include "concurrency/pool.h"
#include "error/errors.h"
#include "error/result.h"
#include "export/cancel.h"

namespace brimo {

// The export was stopped by its Cancellation; the files finished before stay, the one in progress
// was removed.
struct ExportCancelled {};

// An export fails with an ExportError, with an InternalError when the acquisition path has no usable
// last component to name the files after, or is cancelled.
using ExportFailure = std::variant<ExportError, InternalError, ExportCancelled>;

// Exports `indices` (global event indices, any order, duplicates allowed) in chunks of `chunk_size`.
// Events that cannot be read, parsed or corrected are left out without a message. Failures:
//   chunk_size 0                      -> ExportError::InvalidOptions, nothing read or written
//   metadata.yml missing or invalid   -> ExportError::AcquisitionAccess (carrying the MetadataError)
//   empty `indices`                   -> success, nothing written
//   unknown params "model"            -> ExportError::Parsing (UnsupportedModel), no file written
//   `out_dir` cannot be opened        -> InvalidPath (not found), AccessDenied, or Unknown
//   `out_dir` is the acquisition directory itself (by device and inode, through links and "..")
//                                     -> ExportError::InvalidOptions, nothing written
//   a chunk file cannot be created    -> InvalidPath (not found), AccessDenied, or Unknown
//   a write, the last flush or close  -> ExportError::Csv
//   the final name cannot be replaced (a directory there) -> converted from the rename's errno
//   `cancel` says stop                -> ExportCancelled
// Files of earlier chunks stay in every case; the file of the failing chunk is never left behind.
//
// Each chunk file is written under a fresh hidden name in `out_dir` (created exclusively, never
// through a link) and renamed over "<name> (chunk <k>).csv" once complete. So the final name only
// ever shows a complete file: a link there is replaced, not followed; a FIFO there is replaced, not
// opened; a concurrent export into the same directory leaves one complete file or the other; an
// interrupted export leaves no partial file. Files are not synced to disk (see the README).
//
// Events are parsed, corrected and formatted on the workers of the process-wide pool when it has more
// than one; the files and the "Bad channel" lines are exactly those of doing all of it on the calling
// thread. `cancel` (optional) is asked on the calling thread only.
Result<void, ExportFailure> export_csv_from_acq(const Acquisition& acq, std::span<const std::uint64_t> indices,
                                                const Corrections& corrections,
                                                const std::filesystem::path& out_dir, std::uint64_t chunk_size,
                                                Cancellation* cancel = nullptr);

// The same with the workers given: `pool` null (or a pool of one worker) does everything on the
// calling thread.
Result<void, ExportFailure> export_csv_from_acq(const Acquisition& acq, std::span<const std::uint64_t> indices,
                                                const Corrections& corrections,
                                                const std::filesystem::path& out_dir, std::uint64_t chunk_size,
                                                concurrency::WorkerPool* pool, Cancellation* cancel = nullptr);

// One chunk file of events of record type Event, "<file_name>" in the directory open as `dir_fd`:
// the events of `indices` that `reader` can read, `params` parse and `corrections` correct, in order.
// `pool` and `cancel` as above (a cancelled chunk fails with ExportError::Csv and leaves no file).
template <class Event>
Result<void, ExportError> export_chunk(EventReader& reader, const Params& params, const Corrections& corrections,
                                       std::span<const std::uint64_t> indices, int dir_fd,
                                       const std::string& file_name, concurrency::WorkerPool* pool = nullptr,
                                       Cancellation* cancel = nullptr);

}  // namespace brimo
