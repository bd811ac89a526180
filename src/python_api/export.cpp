// export_csv: events of an open acquisition written to CSV files.
#include "python_api/args.h"
#include "python_api/fastcall.h"
#include "python_api/functions.h"
#include "python_api/py_ref.h"

namespace brimo::py {
namespace {

const char* const kExportParams[] = {"acq", "indices", "out_dir", "pedestals_correction"};

PyObject* export_csv_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[4] = {};
        if (!bind_fastcall(signature("export_csv", kExportParams), args, nargs, kwnames, bound))
            return nullptr;
        PyErr_SetString(PyExc_NotImplementedError, "export_csv is not available yet");
        return nullptr;
    });
}

}  // namespace

PyMethodDef export_csv_def = {"export_csv", as_cfunction(export_csv_fn), kFastCallFlags,
                              "export_csv(acq, indices, out_dir, pedestals_correction)\n--\n\n"};

}  // namespace brimo::py
