#include "python_api/state.h"

#include "python_api/py_ref.h"

namespace brimo::py {

namespace {
// Constant-initialised (no initialisation order to worry about) and trivially destroyed: its objects
// are never released, as they may still be referenced while the interpreter shuts down.
constinit ProcessState g_state;
}  // namespace

ProcessState& process_state() { return g_state; }

namespace {

// The classes carry bare names ("Acquisition", "IterEvents", no module part). The interpreter warns
// about such a name with a DeprecationWarning, which under `-W error` would make the type (and so the
// import) fail; the warning is silenced for the creation alone. Should the warnings module itself be
// unusable, the type is created without that precaution.
PyObject* type_from_spec_quietly(PyType_Spec* spec) {
    PyRef warnings(PyImport_ImportModule("warnings"));
    PyRef guard(warnings ? PyObject_CallMethod(warnings.get(), "catch_warnings", nullptr) : nullptr);
    PyRef entered(guard ? PyObject_CallMethod(guard.get(), "__enter__", nullptr) : nullptr);
    PyRef filtered(entered ? PyObject_CallMethod(warnings.get(), "simplefilter", "sO", "ignore",
                                                 PyExc_DeprecationWarning)
                           : nullptr);
    if (!entered) guard.reset();
    PyErr_Clear();
    PyObject* type = PyType_FromSpec(spec);
    if (guard) {
        PyObject *et = nullptr, *ev = nullptr, *tb = nullptr;
        PyErr_Fetch(&et, &ev, &tb);
        PyRef exited(PyObject_CallMethod(guard.get(), "__exit__", "OOO", Py_None, Py_None, Py_None));
        PyErr_Clear();
        PyErr_Restore(et, ev, tb);
    }
    return type;
}

}  // namespace

PyTypeObject* module_type(PyTypeObject*& cache, PyType_Spec& spec) {
    if (cache != nullptr) return cache;
    PyObject* type = type_from_spec_quietly(&spec);
    if (type == nullptr) return nullptr;
    // A bare name gives the type no __module__, and pydoc (help()) and pickle need one; the name
    // itself stays bare.
    PyRef module_name(PyUnicode_FromString("brimoacq"));
    if (!module_name || PyObject_SetAttrString(type, "__module__", module_name.get()) < 0) {
        Py_DECREF(type);
        return nullptr;
    }
    if (cache == nullptr) {
        cache = reinterpret_cast<PyTypeObject*>(type);
    } else {
        Py_DECREF(type);
    }
    return cache;
}


}  // namespace brimo::py
