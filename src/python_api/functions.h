// The module-level functions, defined next to the code they expose and registered by the module
// initialisation in this order.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace brimo::py {

extern PyMethodDef list_acquisitions_def;
extern PyMethodDef is_acquisition_def;
extern PyMethodDef export_csv_def;
extern PyMethodDef syndrome_def;
extern PyMethodDef global_parity_def;
extern PyMethodDef syndrome_to_index_def;
extern PyMethodDef ecc_check_def;
extern PyMethodDef ecc_correct_def;

}  // namespace brimo::py
