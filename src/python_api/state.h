// Every Python object the module keeps for the life of the process, in one place: the exception
// types, the imported library functions, the classes, the number tables, the calibration loader and
// the initialisation flag. Each is created once, on first need, by the accessor that owns it, and
// is never released: the module may be initialised once per process only, and these outlive every
// object that uses them.
//
// Creating an object can run Python code and let another thread take the interpreter lock; the
// accessors therefore check their slot again before storing, and the first object stored wins.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>

namespace brimo::py {

struct ProcessState {
    // Set by the first module initialisation; a second one is refused.
    std::atomic<bool> initialized{false};
    // acquisition.FullChunkError, MetadataError, ParsingError, ExportError, brimoacq.InternalError
    // (exceptions.cpp).
    PyObject* exception_types[5] = {};
    // pickle.loads, gzip.decompress, yaml.safe_load (hooks.cpp).
    PyObject* hooks[3] = {};
    // The restricted unpickler's `load` function (hooks.cpp).
    PyObject* calibration_loader = nullptr;
    // numpy.frombuffer (arrays.cpp).
    PyObject* numpy_frombuffer = nullptr;
    // The classes Acquisition and IterEvents (acquisition.cpp).
    PyTypeObject* acquisition_type = nullptr;
    PyTypeObject* iter_events_type = nullptr;
    // The ints and floats 0 to 65535 (parsing.cpp).
    PyObject** small_ints = nullptr;
    PyObject** small_floats = nullptr;
    // PyPy's signal check: a compiled constant expression and its namespace (signals.cpp).
    PyObject* signal_check_code = nullptr;
    PyObject* signal_check_globals = nullptr;
};

ProcessState& process_state();

// A heap type from `spec`, created once into `slot` with __module__ "brimoacq"; a borrowed
// reference, or nullptr with the Python error set if the interpreter refuses to create it.
PyTypeObject* module_type(PyTypeObject*& slot, PyType_Spec& spec);

}  // namespace brimo::py
