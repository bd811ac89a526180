#include "python_api/signals.h"

#include "python_api/state.h"

namespace brimo::py {

#ifdef PYPY_VERSION

// PyPy's PyErr_CheckSignals does nothing: its interpreter runs signal handlers between bytecodes of
// Python code instead. Evaluating a constant expression runs a few bytecodes and so the pending
// handlers; the compiled expression and its namespace are kept for the life of the process.
int check_signals() {
    PyObject*& code = process_state().signal_check_code;
    PyObject*& globals = process_state().signal_check_globals;
    if (code == nullptr) {
        PyObject* g = PyDict_New();
        if (g == nullptr) return -1;
        if (PyDict_SetItemString(g, "__builtins__", PyEval_GetBuiltins()) < 0) {
            Py_DECREF(g);
            return -1;
        }
        PyObject* c = Py_CompileString("None", "<signals>", Py_eval_input);
        if (c == nullptr) {
            Py_DECREF(g);
            return -1;
        }
        globals = g;
        code = c;
    }
    PyObject* result = PyEval_EvalCode(code, globals, globals);
    if (result == nullptr) return -1;
    Py_DECREF(result);
    return PyErr_CheckSignals();
}

#else

int check_signals() { return PyErr_CheckSignals(); }

#endif

}  // namespace brimo::py
