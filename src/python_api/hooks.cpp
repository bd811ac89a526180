#include "python_api/hooks.h"

#include "python_api/py_ref.h"

namespace brimo::py {
namespace {

struct HookSpec {
    const char* module;
    const char* attribute;
};

constexpr HookSpec kHooks[3] = {
    {"pickle", "loads"},
    {"gzip", "decompress"},
    {"yaml", "safe_load"},
};

PyObject* g_hooks[3] = {};

}  // namespace

PyObject* hook(Hook which) {
    const int i = static_cast<int>(which);
    if (g_hooks[i] != nullptr) return g_hooks[i];
    PyRef name(PyUnicode_FromString(kHooks[i].module));
    if (!name) return nullptr;
    PyRef module(PyImport_Import(name.get()));
    if (!module) return nullptr;
    PyRef function(PyObject_GetAttrString(module.get(), kHooks[i].attribute));
    if (!function) return nullptr;
    // An import runs Python code; if another thread stored the hook meanwhile, keep the first one.
    if (g_hooks[i] == nullptr) g_hooks[i] = function.release();
    return g_hooks[i];
}

PyObject* call_hook(Hook which, PyObject* arg) {
    PyObject* function = hook(which);
    if (function == nullptr) return nullptr;
    // Keep the callable alive for the duration of the call, whatever the call does.
    PyRef keep = PyRef::borrow(function);
    return PyObject_CallFunctionObjArgs(keep.get(), arg, nullptr);
}

}  // namespace brimo::py
