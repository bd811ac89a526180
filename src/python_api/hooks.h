// The three Python library functions the binding calls: yaml.safe_load (metadata for Python
// callers), gzip.decompress and pickle.loads (calibration files). Each is imported on first use and
// cached for the life of the process, so that `import brimoacq` works without them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace brimo::py {

enum class Hook { PickleLoads, GzipDecompress, YamlSafeLoad };

// Borrowed reference to the hooked callable, imported and cached if the cache is empty. nullptr with
// the import's or attribute lookup's own exception set on failure; the cache then stays empty so that
// the next use tries again.
PyObject* hook(Hook which);

// The Python object in a calibration file (the file's bytes), decoded as gzip.decompress and
// pickle.loads decode it, but with an unpickler that allows only data types (no pickle can call out),
// the inflated size bounded to 1 GiB (ValueError beyond) and memo indices bounded. A new reference,
// or nullptr with the gzip, pickle or hook exception set.
PyObject* load_calibration(PyObject* file);

// Calls the hook with one argument; a new reference, or nullptr with the hook's exception unchanged.
PyObject* call_hook(Hook which, PyObject* arg);

}  // namespace brimo::py
