// export_csv: events of an open acquisition written to CSV files.
//
// The arguments are converted with the interpreter lock held; then the lock is released for the whole
// export (metadata, pedestal file, event reads, parsing, correction, CSV writing), which works only on
// plain values: the copied acquisition path, the index list and the output path. The lock is taken
// back on every way out, a C++ exception included, before any result or error becomes a Python
// object.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "acquisition/acquisition.h"
#include "calibration/pedestals.h"
#include "export/export.h"
#include "python_api/acquisition.h"
#include "python_api/args.h"
#include "python_api/exceptions.h"
#include "python_api/fastcall.h"
#include "python_api/functions.h"
#include "python_api/py_ref.h"

namespace brimo::py {
namespace {

const char* const kExportParams[] = {"acq", "indices", "out_dir", "pedestals_correction"};

// Events per CSV file.
constexpr std::uint64_t kChunkSize = 1000;

// How an export ended: success, the binding's own metadata read failed, or the driver failed.
using Outcome = std::variant<std::monostate, MetadataError, ExportError, InternalError>;

// The whole export; runs without the interpreter lock and touches no Python object.
Outcome run_export(const Acquisition& acq, const std::vector<std::uint64_t>& indices,
                   const std::string& out_dir, bool pedestals_correction) {
    Params params;
    {
        auto metadata = acq.metadata();
        if (!metadata) return std::move(metadata).error();
        params = std::move(metadata->params);
    }

    SharedPedestals pedestals;
    if (pedestals_correction) pedestals = load_pedestals(acq);
    const Corrections corrections = Corrections{std::move(params), {}}.pedestals(std::move(pedestals));

    auto done = export_csv_from_acq(acq, indices, corrections, std::filesystem::path(out_dir), kChunkSize);
    if (done) return std::monostate{};
    return std::visit([](auto&& e) -> Outcome { return std::move(e); }, std::move(done).error());
}

PyObject* export_csv_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[4] = {};
        if (!bind_fastcall(signature("export_csv", kExportParams), args, nargs, kwnames, bound))
            return nullptr;
        // Converting `acq` copies its path into a store value: the export never borrows the object.
        std::optional<Acquisition> acq;
        if (!to_acquisition(bound[0], "acq", &acq)) return nullptr;
        std::vector<std::uint64_t> indices;
        if (!to_u64_vector(bound[1], "indices", &indices)) return nullptr;
        std::string out_dir;
        if (!to_path(bound[2], "out_dir", &out_dir)) return nullptr;
        bool pedestals_correction = false;
        if (!to_bool(bound[3], "pedestals_correction", &pedestals_correction)) return nullptr;

        Outcome outcome;
        {
            GilRelease unlocked;
            outcome = run_export(*acq, indices, out_dir, pedestals_correction);
        }

        struct Raise {
            PyObject* operator()(std::monostate) const { Py_RETURN_NONE; }
            PyObject* operator()(const MetadataError& e) const { return raise_error(e); }
            PyObject* operator()(const ExportError& e) const { return raise_error(e); }
            PyObject* operator()(const InternalError& e) const { return raise_error(e); }
        };
        return std::visit(Raise{}, outcome);
    });
}

}  // namespace

// A bad calibration file means an uncorrected export, not a failed one.
SharedPedestals load_pedestals(const Acquisition& acq) {
    auto file = acq.misc_data(MiscDataKind::PedestalsCalibration);
    if (!file) return std::nullopt;
    auto decoded = Pedestals::from_bytes(file->data);
    if (!decoded) return std::nullopt;
    return SharedPedestals(std::move(decoded).value());
}

PyMethodDef export_csv_def = {"export_csv", as_cfunction(export_csv_fn), kFastCallFlags,
                              "export_csv(acq, indices, out_dir, pedestals_correction)\n--\n\n"};

}  // namespace brimo::py
