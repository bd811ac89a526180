// export_csv: events of an open acquisition written to CSV files.
//
// The arguments are converted with the interpreter lock held; then the lock is released for the whole
// export (metadata, pedestal file, event reads, parsing, correction, CSV writing), which works only on
// plain values: the copied acquisition path, the index list and the output path. The lock is taken
// back on every way out, a C++ exception included, before any result or error becomes a Python
// object.
//
// Ctrl-C: the export asks, on this thread and about every 50 ms, whether to stop. The answer takes
// the lock for a moment and runs the interpreter's pending signal handlers; an exception they raise
// (KeyboardInterrupt) stops the export, which removes the file it was writing and keeps the finished
// ones, and is raised once the lock is back. The pool's worker threads never touch Python.
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
#include "python_api/signals.h"

namespace brimo::py {
namespace {

const char* const kExportParams[] = {"acq", "indices", "out_dir", "pedestals_correction"};

// Events per CSV file.
constexpr std::uint64_t kChunkSize = 1000;

// How an export ended: success, the binding's own metadata read failed, the driver failed, or it
// was interrupted (the exception is in the Interrupts).
using Outcome = std::variant<std::monostate, MetadataError, ExportError, InternalError, ExportCancelled>;

// The interpreter lock released for the export, and taken back briefly to run the signal handlers.
class Interrupts {
public:
    Interrupts() noexcept : state_(PyEval_SaveThread()) {}
    Interrupts(const Interrupts&) = delete;
    Interrupts& operator=(const Interrupts&) = delete;
    // Takes the lock back; an exception a handler raised becomes the pending exception again.
    ~Interrupts() {
        PyEval_RestoreThread(state_);
        if (type_ != nullptr) PyErr_Restore(type_, value_, traceback_);
    }

    // The Cancellation check: true once a signal handler has raised.
    static bool raised(void* self) {
        auto* it = static_cast<Interrupts*>(self);
        PyEval_RestoreThread(it->state_);
        if (check_signals() < 0) PyErr_Fetch(&it->type_, &it->value_, &it->traceback_);
        const bool stop = it->type_ != nullptr;
        it->state_ = PyEval_SaveThread();
        return stop;
    }

private:
    PyThreadState* state_;
    PyObject* type_ = nullptr;  // the fetched exception, owned until restored
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

// The whole export; runs without the interpreter lock and touches no Python object.
Outcome run_export(const Acquisition& acq, const std::vector<std::uint64_t>& indices,
                   const std::string& out_dir, bool pedestals_correction, Cancellation& cancel) {
    Params params;
    {
        auto metadata = acq.metadata();
        if (!metadata) return std::move(metadata).error();
        params = std::move(metadata->params);
    }

    SharedPedestals pedestals;
    if (pedestals_correction) pedestals = load_pedestals(acq);
    const Corrections corrections = Corrections{std::move(params), {}}.pedestals(std::move(pedestals));

    auto done = export_csv_from_acq(acq, indices, corrections, std::filesystem::path(out_dir), kChunkSize, &cancel);
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
            Interrupts unlocked;
            Cancellation cancel(&Interrupts::raised, &unlocked);
            outcome = run_export(*acq, indices, out_dir, pedestals_correction, cancel);
        }

        // An interrupt wins over whatever else ended the export.
        if (PyErr_Occurred()) return nullptr;

        struct Raise {
            PyObject* operator()(std::monostate) const { Py_RETURN_NONE; }
            PyObject* operator()(const MetadataError& e) const { return raise_error(e); }
            PyObject* operator()(const ExportError& e) const { return raise_error(e); }
            PyObject* operator()(const InternalError& e) const { return raise_error(e); }
            PyObject* operator()(ExportCancelled) const {
                // The handler's exception is pending again; nothing else stops an export.
                if (!PyErr_Occurred()) set_internal_error("export cancelled without an exception");
                return nullptr;
            }
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
