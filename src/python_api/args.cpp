#include "python_api/args.h"

#include <algorithm>
#include <limits>
#include <string>

#include "python_api/py_ref.h"

namespace brimo::py {
namespace {

// Index of the parameter called `key`, or -1.
Py_ssize_t find_param(const Signature& sig, PyObject* key) {
    if (!PyUnicode_Check(key)) return -1;
    for (std::size_t i = 0; i < sig.count; ++i)
        if (PyUnicode_CompareWithASCIIString(key, sig.params[i]) == 0) return Py_ssize_t(i);
    return -1;
}

bool too_many_positional(const Signature& sig, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given",
                 sig.function, Py_ssize_t(sig.count), sig.count == 1 ? "" : "s", given,
                 given == 1 ? "was" : "were");
    return false;
}

// Binds one keyword argument; false with TypeError for an unknown or repeated name.
bool bind_keyword(const Signature& sig, PyObject* key, PyObject* value, PyObject** out) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", sig.function);
        return false;
    }
    const Py_ssize_t i = find_param(sig, key);
    if (i < 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.function, key);
        return false;
    }
    if (out[i] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.function,
                     sig.params[i]);
        return false;
    }
    out[i] = value;
    return true;
}

bool check_missing(const Signature& sig, PyObject** out) {
    std::string names;
    std::size_t missing = 0;
    for (std::size_t i = 0; i < sig.count; ++i)
        if (out[i] == nullptr) ++missing;
    if (missing == 0) return true;
    std::size_t seen = 0;
    for (std::size_t i = 0; i < sig.count; ++i) {
        if (out[i] != nullptr) continue;
        if (seen > 0) names += (seen + 1 == missing) ? (missing > 2 ? ", and " : " and ") : ", ";
        names += '\'';
        names += sig.params[i];
        names += '\'';
        ++seen;
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %zd required argument%s: %s", sig.function,
                 Py_ssize_t(missing), missing == 1 ? "" : "s", names.c_str());
    return false;
}

const char* type_name(PyObject* obj) { return Py_TYPE(obj)->tp_name; }

bool out_of_range() {
    PyErr_SetString(PyExc_OverflowError, kOutOfRange);
    return false;
}

// The integer value of `obj` (through __index__) if it lies in 0..max.
bool to_unsigned(PyObject* obj, const char* param, unsigned long long max, unsigned long long* out) {
    PyRef index(PyNumber_Index(obj));
    if (!index) {
        prefix_type_error(param);
        return false;
    }
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        // Negative values and values beyond 64 bits alike.
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();
        return out_of_range();
    }
    if (v > max) return out_of_range();
    *out = v;
    return true;
}

// Collects the integers of a sequence argument one by one through `convert`.
template <class T, class Convert>
bool collect(PyObject* obj, const char* param, std::vector<T>* out, Convert convert) {
    if (PyUnicode_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': Can't extract `str` to `Vec`", param);
        return false;
    }
    if (!PySequence_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to 'Sequence'",
                     param, type_name(obj));
        return false;
    }
    out->clear();
    // The reported length only sizes the first allocation, and only up to a bound: a sequence may
    // claim any length it likes.
    Py_ssize_t hint = PySequence_Size(obj);
    if (hint < 0) {
        PyErr_Clear();
        hint = 0;
    }
    out->reserve(std::size_t(std::min<Py_ssize_t>(hint, Py_ssize_t(1) << 16)));
    PyRef iter(PyObject_GetIter(obj));
    if (!iter) {
        prefix_type_error(param);
        return false;
    }
    while (PyRef item{PyIter_Next(iter.get())}) {
        T value{};
        if (!convert(item.get(), param, &value)) return false;
        out->push_back(value);
    }
    return !PyErr_Occurred();
}

}  // namespace

bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** out) {
    std::fill(out, out + sig.count, nullptr);
    if (nargs > Py_ssize_t(sig.count)) return too_many_positional(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k)
            if (!bind_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
    }
    return check_missing(sig, out);
}

bool bind_fastcall_optional(const Signature& sig, std::size_t positional, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames, PyObject** out) {
    std::fill(out, out + sig.count, nullptr);
    if (nargs > Py_ssize_t(positional)) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zd positional argument%s but %zd %s given",
                     sig.function, Py_ssize_t(positional), positional == 1 ? "" : "s", nargs,
                     nargs == 1 ? "was" : "were");
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k)
            if (!bind_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
    }
    return true;
}

bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    std::fill(out, out + sig.count, nullptr);
    const Py_ssize_t nargs = args != nullptr ? PyTuple_GET_SIZE(args) : 0;
    if (nargs > Py_ssize_t(sig.count)) return too_many_positional(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value))
            if (!bind_keyword(sig, key, value, out)) return false;
    }
    return check_missing(sig, out);
}

void prefix_type_error(const char* param) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef t(type), v(value), tb(traceback);
    PyRef text(v ? PyObject_Str(v.get()) : nullptr);
    if (!text) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "argument '%s': invalid value", param);
        return;
    }
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", param, text.get());
}

bool to_u64(PyObject* obj, const char* param, std::uint64_t* out) {
    unsigned long long v = 0;
    if (!to_unsigned(obj, param, std::numeric_limits<std::uint64_t>::max(), &v)) return false;
    *out = v;
    return true;
}

bool to_u16(PyObject* obj, const char* param, std::uint16_t* out) {
    unsigned long long v = 0;
    if (!to_unsigned(obj, param, 0xFFFF, &v)) return false;
    *out = static_cast<std::uint16_t>(v);
    return true;
}

bool to_u8(PyObject* obj, const char* param, std::uint8_t* out) {
    unsigned long long v = 0;
    if (!to_unsigned(obj, param, 0xFF, &v)) return false;
    *out = static_cast<std::uint8_t>(v);
    return true;
}

bool to_bool(PyObject* obj, const char* param, bool* out) {
    if (obj == Py_True || obj == Py_False) {
        *out = obj == Py_True;
        return true;
    }
    PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to 'bool'", param,
                 type_name(obj));
    return false;
}

bool to_path(PyObject* obj, const char* param, std::string* out) {
    PyRef text;
    if (PyUnicode_Check(obj)) {
        text = PyRef::borrow(obj);
    } else if (!PyBytes_Check(obj) && !PyByteArray_Check(obj)) {
        text = PyRef(PyOS_FSPath(obj));
        if (!text) {
            if (PyErr_ExceptionMatches(PyExc_TypeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_TypeError,
                             "argument '%s': expected str or os.PathLike object, not '%s'", param,
                             type_name(obj));
            }
            return false;
        }
    }
    if (!text || !PyUnicode_Check(text.get())) {
        PyErr_Format(PyExc_TypeError, "argument '%s': expected str or os.PathLike object, not '%s'",
                     param, type_name(text ? text.get() : obj));
        return false;
    }
    PyRef encoded(PyUnicode_EncodeFSDefault(text.get()));
    if (!encoded) return false;
    out->assign(PyBytes_AS_STRING(encoded.get()), std::size_t(PyBytes_GET_SIZE(encoded.get())));
    return true;
}

bool to_u64_vector(PyObject* obj, const char* param, std::vector<std::uint64_t>* out) {
    return collect(obj, param, out, to_u64);
}

bool to_byte_vector(PyObject* obj, const char* param, std::vector<std::uint8_t>* out) {
    if (PyBytes_Check(obj)) {
        const auto* p = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(obj));
        out->assign(p, p + PyBytes_GET_SIZE(obj));
        return true;
    }
    if (PyByteArray_Check(obj)) {
        const auto* p = reinterpret_cast<const std::uint8_t*>(PyByteArray_AS_STRING(obj));
        out->assign(p, p + PyByteArray_GET_SIZE(obj));
        return true;
    }
    return collect(obj, param, out, to_u8);
}

bool to_u8_array(PyObject* obj, const char* param, std::size_t n, std::uint8_t* out) {
    if (!PySequence_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to 'Sequence'",
                     param, type_name(obj));
        return false;
    }
    const Py_ssize_t size = PySequence_Size(obj);
    if (size < 0) return false;
    if (std::size_t(size) != n) {
        PyErr_Format(PyExc_ValueError, "expected a sequence of length %zd (got %zd)", Py_ssize_t(n), size);
        return false;
    }
    for (std::size_t i = 0; i < n; ++i) {
        PyRef item(PySequence_GetItem(obj, Py_ssize_t(i)));
        if (!item) return false;
        if (!to_u8(item.get(), param, &out[i])) return false;
    }
    return true;
}

}  // namespace brimo::py
