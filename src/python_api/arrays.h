// Acquisition.read, Acquisition.iter_batches and Acquisition.read_raw: many events at once as numpy
// arrays. The arrays are filled by the core (bulk/arrays.h) without the interpreter lock and handed
// to numpy.frombuffer through a small buffer object of our own, so numpy wraps them without a copy.
// numpy is imported on first use; `import brimoacq` works without it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "acquisition/acquisition.h"
#include "acquisition/metadata.h"

namespace brimo::py {

PyObject* read_method(const Acquisition& acq, const Params& params, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames);
PyObject* iter_batches_method(const Acquisition& acq, const Params& params, PyObject* const* args,
                              Py_ssize_t nargs, PyObject* kwnames);
PyObject* read_raw_method(const Acquisition& acq, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace brimo::py
