// Owned Python references and the exception barrier of every entry point.
//
// PyRef owns one strong reference: it releases it in its destructor, so an early return or a C++
// exception on an error path cannot leak. release() hands the reference over to a call that steals
// it (PyList_SET_ITEM, PyTuple_SET_ITEM, a function's return value).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <utility>

namespace brimo::py {

class PyRef {
public:
    PyRef() noexcept = default;
    // Takes over a new (strong) reference; nullptr is allowed and means "no object".
    explicit PyRef(PyObject* owned) noexcept : p_(owned) {}
    // Adds a strong reference to a borrowed one.
    static PyRef borrow(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        return PyRef(borrowed);
    }

    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~PyRef() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Gives up ownership without releasing the reference.
    [[nodiscard]] PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    void reset(PyObject* owned = nullptr) noexcept {
        PyObject* old = p_;
        p_ = owned;
        Py_XDECREF(old);
    }

private:
    PyObject* p_ = nullptr;
};

// Releases the interpreter lock for the scope of a long native call that touches no Python object,
// and takes it back on every way out of the scope, a C++ exception included (so that the exception
// barrier below runs with the lock held).
class GilRelease {
public:
    GilRelease() noexcept : state_(PyEval_SaveThread()) {}
    ~GilRelease() { PyEval_RestoreThread(state_); }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

private:
    PyThreadState* state_;
};

// Sets the internal-error exception (derived from BaseException) with `message`.
void set_internal_error(const char* message) noexcept;

// Runs `f` and converts any C++ exception that escapes it into a Python exception, so that none
// reaches the interpreter: std::bad_alloc becomes MemoryError, anything else the internal error.
// `failed` is the value the C API expects from a failed call of this kind (nullptr, -1).
template <class R, class F>
R guarded(R failed, F&& f) noexcept {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        set_internal_error(e.what());
    } catch (...) {
        set_internal_error("unexpected native exception");
    }
    return failed;
}

template <class F>
PyObject* guarded(F&& f) noexcept {
    return guarded<PyObject*>(nullptr, std::forward<F>(f));
}

}  // namespace brimo::py
