// Parsed events as Python dicts: the parser selected by params "model" turns one raw packet into an
// event record, which becomes a dict with the keys "data", "window_labels", "time", "timing" and
// "ecc_errors", in this order.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <vector>

#include "acquisition/metadata.h"

namespace brimo::py {

// A new dict, or nullptr with acquisition.ParsingError "Failed to parse event: <reason>" set. `raw`
// is consumed: its buffer is released before the dict is built.
PyObject* parse_to_dict(const Params& params, std::vector<std::uint8_t> raw);

// A new reference to the Python int `v`, taken from a process-wide table of the ints 0 to 65535
// built on first use (labels and time values repeat across events; sharing them saves allocating
// one int object per sample). nullptr with the Python error set if the table cannot be built.
PyObject* small_int(std::uint16_t v);

// The module's private function `_layout_defaults()` (outside __all__).
extern PyMethodDef layout_defaults_def;

}  // namespace brimo::py
