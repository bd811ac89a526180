// Running the interpreter's pending signal handlers from native code that holds the interpreter lock,
// so that Ctrl-C reaches a long operation instead of waiting for it to end.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace brimo::py {

// Runs the handlers of signals that arrived since the last run; returns -1 with the exception a
// handler raised (KeyboardInterrupt for Ctrl-C) set, 0 otherwise. A no-op on a thread other than the
// main one, where the interpreter runs no handlers.
int check_signals();

}  // namespace brimo::py
