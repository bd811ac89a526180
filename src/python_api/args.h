// Argument handling shared by every function and method of the module.
//
// Functions are fast-call functions with keywords: every parameter may be given by position or by
// keyword, all are required. Conversion failures follow one convention: a TypeError whose text starts
// with "argument 'NAME': " naming the parameter, and an OverflowError "out of range integral type
// conversion attempted" for an integer outside the range of the parameter's C type. Every helper
// returns false with the Python error set when it fails.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace brimo::py {

inline constexpr const char* kOutOfRange = "out of range integral type conversion attempted";

// The parameters of one callable: `function` as it appears in messages ("list_acquisitions",
// "Acquisition.raw_event"), and the parameter names in order.
struct Signature {
    const char* function;
    const char* const* params;
    std::size_t count;
};

template <std::size_t N>
constexpr Signature signature(const char* function, const char* const (&params)[N]) {
    return Signature{function, params, N};
}

// Binds fast-call arguments to the parameters of `sig`: out[i] receives a borrowed reference for
// parameter i. Too many positional arguments, a missing, duplicated or unknown keyword argument raise
// TypeError.
bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** out);
// The same for parameters that may all be left out (out[i] stays nullptr) and of which only the
// first `positional` may be given by position (the others are keyword-only).
bool bind_fastcall_optional(const Signature& sig, std::size_t positional, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames, PyObject** out);
// The same for a classic call (a tuple of positional arguments and a dict of keywords or nullptr),
// as type constructors receive them.
bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// Rewrites a pending TypeError as "argument 'NAME': <its text>"; other errors are left as they are.
void prefix_type_error(const char* param);

// Integers: any object with __index__ (a float or a str is refused with TypeError). Out of range,
// negatives included, raises OverflowError kOutOfRange.
bool to_u64(PyObject* obj, const char* param, std::uint64_t* out);
bool to_u16(PyObject* obj, const char* param, std::uint16_t* out);
bool to_u8(PyObject* obj, const char* param, std::uint8_t* out);

// Exactly True or False; an int such as 1 is refused.
bool to_bool(PyObject* obj, const char* param, bool* out);

// A str, or an os.PathLike whose __fspath__ gives a str; `out` receives it in the file-system
// encoding, as os functions would pass it (file names that are not valid UTF-8 survive through
// surrogate escapes). Bytes and bytes-returning path-likes are refused. The text may hold NUL characters, which no file name can
// contain: callers must treat such a path as naming no file (path_names_no_file) rather than hand it
// to the file system, which would cut it at the first NUL.
bool to_path(PyObject* obj, const char* param, std::string* out);
inline bool path_names_no_file(const std::string& path) { return path.find('\0') != std::string::npos; }

// A sequence of integers (list, tuple, range, ...); a str is refused.
bool to_u64_vector(PyObject* obj, const char* param, std::vector<std::uint64_t>* out);
// A bytes-like object or a sequence of integers 0 to 255; a str is refused.
bool to_byte_vector(PyObject* obj, const char* param, std::vector<std::uint8_t>* out);
// A sequence of exactly `n` integers 0 to 255; another length raises ValueError
// "expected a sequence of length n (got m)".
bool to_u8_array(PyObject* obj, const char* param, std::size_t n, std::uint8_t* out);

}  // namespace brimo::py
