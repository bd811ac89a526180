// The Python classes Acquisition and IterEvents, and the module functions is_acquisition and
// list_acquisitions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>

#include "acquisition/acquisition.h"
#include "calibration/pedestals.h"

namespace brimo::py {

// The class Acquisition, built on first need and kept for the life of the process (borrowed
// reference); nullptr with the Python error set if the interpreter refuses to build it.
PyTypeObject* acquisition_type();

// Converts an argument that must be an instance of Acquisition into a copy of its store value (the
// directory path). TypeError "argument 'NAME': ..." for anything else.
bool to_acquisition(PyObject* obj, const char* param, std::optional<Acquisition>* out);

// The pedestal table the CSV export corrects with: none when the file is missing, unreadable or
// cannot be decoded by the native decoder. Touches no Python object (runs without the lock).
SharedPedestals load_pedestals(const Acquisition& acq);

}  // namespace brimo::py
