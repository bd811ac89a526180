// Module definition of the extension `brimoacq`. The binding layer is written directly on the
// Python C API (public, documented calls only) so that it builds for CPython and PyPy alike.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

PyModuleDef brimoacq_module = {
    PyModuleDef_HEAD_INIT,
    "brimoacq",
    "Register PyO3 bindings to brimoacquisition.",
    -1,
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_brimoacq(void) { return PyModule_Create(&brimoacq_module); }
