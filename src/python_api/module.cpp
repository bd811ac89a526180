// Module definition of the extension `brimoacq`. The binding layer is written directly on the
// Python C API (public, documented calls only) so that it builds for CPython and PyPy alike.
#include "python_api/acquisition.h"
#include "python_api/functions.h"
#include "python_api/parsing.h"
#include "python_api/py_ref.h"
#include "python_api/state.h"

namespace brimo::py {
namespace {

PyModuleDef brimoacq_module = {
    PyModuleDef_HEAD_INIT,
    "brimoacq",
    "Register PyO3 bindings to brimoacquisition.",
    -1,
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Appends `name` to the module's __all__ (created on first use), then sets the attribute.
bool add_public(PyObject* module, const char* name, PyObject* value) {
    PyObject* dict = PyModule_GetDict(module);  // borrowed
    if (dict == nullptr) return false;
    PyObject* all = PyDict_GetItemString(dict, "__all__");  // borrowed
    if (all == nullptr) {
        PyRef created(PyList_New(0));
        if (!created || PyDict_SetItemString(dict, "__all__", created.get()) < 0) return false;
        all = created.get();  // the module dict now holds it
    }
    PyRef text(PyUnicode_FromString(name));
    if (!text || PyList_Append(all, text.get()) < 0) return false;
    return PyObject_SetAttrString(module, name, value) == 0;
}

PyMethodDef* const kFunctions[] = {
    &list_acquisitions_def, &is_acquisition_def, &export_csv_def,  &syndrome_def,
    &global_parity_def,     &syndrome_to_index_def, &ecc_check_def, &ecc_correct_def,
};

PyObject* init_module() {
    // The module keeps process-wide state (python_api/state.h) and so may be initialised once per
    // process only.
    if (process_state().initialized.exchange(true)) {
        PyErr_SetString(PyExc_ImportError,
                        "PyO3 modules may only be initialized once per interpreter process");
        return nullptr;
    }
    PyRef module(PyModule_Create(&brimoacq_module));
    if (!module) return nullptr;
    PyObject* type = reinterpret_cast<PyObject*>(acquisition_type());
    if (type == nullptr || !add_public(module.get(), "Acquisition", type)) return nullptr;
    // The functions' __module__; PyModule_GetNameObject is missing from some interpreters' C API.
    PyRef module_name(PyUnicode_FromString("brimoacq"));
    if (!module_name) return nullptr;
    for (PyMethodDef* def : kFunctions) {
        PyRef function(PyCFunction_NewEx(def, nullptr, module_name.get()));
        if (!function || !add_public(module.get(), def->ml_name, function.get())) return nullptr;
    }
    // Private helpers of brimoacq_tools, outside __all__.
    PyRef defaults(PyCFunction_NewEx(&layout_defaults_def, nullptr, module_name.get()));
    if (!defaults || PyObject_SetAttrString(module.get(), layout_defaults_def.ml_name, defaults.get()) < 0)
        return nullptr;
    // The distribution's version (pyproject.toml), outside __all__.
    PyRef version(PyUnicode_FromString(BRIMOACQ_VERSION));
    if (!version || PyObject_SetAttrString(module.get(), "__version__", version.get()) < 0) return nullptr;
    return module.release();
}

}  // namespace
}  // namespace brimo::py

PyMODINIT_FUNC PyInit_brimoacq(void) {
    return brimo::py::guarded([] { return brimo::py::init_module(); });
}
