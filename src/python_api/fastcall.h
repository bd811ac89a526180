// Registration helpers for fast-call functions with keywords (METH_FASTCALL | METH_KEYWORDS).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace brimo::py {

using FastCallFunction = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames);

// The method table stores every function as a PyCFunction; the flags tell the interpreter the real
// signature. The detour through a generic function pointer keeps -Wcast-function-type quiet.
inline PyCFunction as_cfunction(FastCallFunction f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

inline constexpr int kFastCallFlags = METH_FASTCALL | METH_KEYWORDS;

}  // namespace brimo::py
