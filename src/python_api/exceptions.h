// How the library's error values become Python exceptions, and the process-wide exception types of
// the module. Every raise_* call sets the Python error and returns nullptr, so that entry points can
// `return raise_error(e);`.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "error/errors.h"

namespace brimo::py {

// Message prefixes of the enumerations other than AcquisitionError.
inline constexpr const char* kParsingPrefix = "Failed to parse event: ";
inline constexpr const char* kMetadataPrefix = "Could not process metadata: ";
inline constexpr const char* kExportPrefix = "Could not export: ";

PyObject* raise_error(const AcquisitionError& e);
PyObject* raise_error(ParsingError e);
PyObject* raise_error(const MetadataError& e);
PyObject* raise_error(const ExportError& e);
// A violated invariant: raised as the internal-error type "brimoacq.InternalError", derived from
// BaseException so that `except Exception` does not swallow it.
PyObject* raise_error(const InternalError& e);

// True when the pending Python error is the internal error (which callers that discard errors must
// let through).
bool internal_error_pending();

}  // namespace brimo::py
