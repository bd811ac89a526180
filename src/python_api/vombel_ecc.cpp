// The error-correcting code of vombel96 sample words, for Python.
#include "python_api/args.h"
#include "python_api/fastcall.h"
#include "python_api/functions.h"
#include "python_api/py_ref.h"

namespace brimo::py {
namespace {

const char* const kDataParam[] = {"data"};
const char* const kSyndromeParam[] = {"s"};
const char* const kRawBytesParam[] = {"raw_bytes"};

// Binds the one argument of `sig`, then reports the function as not available yet.
PyObject* not_implemented(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* arg = nullptr;
    if (!bind_fastcall(sig, args, nargs, kwnames, &arg)) return nullptr;
    PyErr_Format(PyExc_NotImplementedError, "%s is not available yet", sig.function);
    return nullptr;
}

PyObject* syndrome_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] { return not_implemented(signature("syndrome", kDataParam), args, nargs, kwnames); });
}

PyObject* global_parity_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] { return not_implemented(signature("global_parity", kDataParam), args, nargs, kwnames); });
}

PyObject* syndrome_to_index_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded(
        [&] { return not_implemented(signature("syndrome_to_index", kSyndromeParam), args, nargs, kwnames); });
}

PyObject* ecc_check_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] { return not_implemented(signature("ecc_check", kRawBytesParam), args, nargs, kwnames); });
}

PyObject* ecc_correct_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] { return not_implemented(signature("ecc_correct", kRawBytesParam), args, nargs, kwnames); });
}

}  // namespace

PyMethodDef syndrome_def = {
    "syndrome", as_cfunction(syndrome_fn), kFastCallFlags,
    "syndrome(data)\n--\n\nCalculate the syndrome for a given 16-bit data word.\nThe syndrome is a 4-byte array "
    "where each byte represents the parity of specific bits in the data word.\n\n# Arguments\n* `data` - A "
    "16-bit unsigned integer representing the data word.\n# Returns\n* An array of 4 bytes, each representing "
    "the parity of specific bits in the data word.\n"};

// The separators before d(1), d(3), d(4), d(6), d(8) and d(9) are a space and a no-break space.
PyMethodDef global_parity_def = {
    "global_parity", as_cfunction(global_parity_fn), kFastCallFlags,
    "global_parity(data)\n--\n\nCalculate the global parity for a 16-bit data word.\n\nThe global parity is the "
    "XOR of all bits in the data word, excluding the last bit.\ngp = d(0) xor \u00a0d(1) xor d(2) xor \u00a0d(3) "
    "xor \u00a0d(4) xor d(5) xor \u00a0d(6) xor d(7) xor \u00a0d(8) xor \u00a0d(9) xor d(10) xor d(11) xor d(12) "
    "xor d(13) xor d(14)\n\n# Arguments\n* `data` - A 16-bit unsigned integer representing the data word.\n# "
    "Returns\n* An integer representing the global parity of the data word.\n"};

PyMethodDef syndrome_to_index_def = {
    "syndrome_to_index", as_cfunction(syndrome_to_index_fn), kFastCallFlags,
    "syndrome_to_index(s)\n--\n\nConvert a syndrome to an index based on the corrections.\n\n# Arguments\n* "
    "`s` - bit position or None."};

PyMethodDef ecc_check_def = {"ecc_check", as_cfunction(ecc_check_fn), kFastCallFlags, "ecc_check(raw_bytes)\n--\n\n"};

PyMethodDef ecc_correct_def = {"ecc_correct", as_cfunction(ecc_correct_fn), kFastCallFlags,
                               "ecc_correct(raw_bytes)\n--\n\n"};

}  // namespace brimo::py
