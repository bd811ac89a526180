#include "python_api/hooks.h"

#include <cstddef>
#include <cstdint>
#include <new>

#include "calibration/gzip.h"
#include "calibration/pickle_scan.h"
#include "python_api/py_ref.h"
#include "python_api/state.h"

namespace brimo::py {
namespace {

struct HookSpec {
    const char* module;
    const char* attribute;
};

constexpr HookSpec kHooks[3] = {
    {"pickle", "loads"},
    {"gzip", "decompress"},
    {"yaml", "safe_load"},
};

}  // namespace

PyObject* hook(Hook which) {
    const int i = static_cast<int>(which);
    PyObject*(&cached)[3] = process_state().hooks;
    if (cached[i] != nullptr) return cached[i];
    PyRef name(PyUnicode_FromString(kHooks[i].module));
    if (!name) return nullptr;
    PyRef module(PyImport_Import(name.get()));
    if (!module) return nullptr;
    PyRef function(PyObject_GetAttrString(module.get(), kHooks[i].attribute));
    if (!function) return nullptr;
    // An import runs Python code; if another thread stored the hook meanwhile, keep the first one.
    if (cached[i] == nullptr) cached[i] = function.release();
    return cached[i];
}

PyObject* call_hook(Hook which, PyObject* arg) {
    PyObject* function = hook(which);
    if (function == nullptr) return nullptr;
    // Keep the callable alive for the duration of the call, whatever the call does.
    PyRef keep = PyRef::borrow(function);
    return PyObject_CallFunctionObjArgs(keep.get(), arg, nullptr);
}

// ---------------------------------------------------------------------------------------------
// Calibration files: gzip-compressed pickles from the acquisition directory, which is not trusted.
// They are still decoded by the interpreter's own gzip and pickle modules (so that every table reads
// exactly as pickle.loads(gzip.decompress(...)) reads it), with three bounds:
//  - an unpickler whose find_class allows only data types and the numpy reconstruction functions,
//    some of them with checked arguments, and no persistent ids: no pickle can call out;
//  - inflation in steps of 1 MiB as the unpickler reads, refused beyond 1 GiB (the native decoder's
//    bound), with the rest of the file inflated and dropped after the pickle so that gzip errors come
//    first as they do with gzip.decompress;
//  - the opcode scan of calibration/pickle_scan.h in front of the unpickler: no huge memo index, no
//    extension code resolved through the copyreg registry.
// The loader is Python source run once in a namespace of its own; the scan is handed to it as three
// functions.

namespace {

constexpr const char* kScanCapsule = "brimoacq.pickle_scan";

pickle::OpcodeScan* scan_of(PyObject* capsule) {
    return static_cast<pickle::OpcodeScan*>(PyCapsule_GetPointer(capsule, kScanCapsule));
}

void scan_destroy(PyObject* capsule) {
    delete scan_of(capsule);
}

PyObject* scan_new(PyObject*, PyObject*) {
    auto* scan = new (std::nothrow) pickle::OpcodeScan(gzip::kDefaultMaxOutput);
    if (scan == nullptr) return PyErr_NoMemory();
    PyObject* capsule = PyCapsule_New(scan, kScanCapsule, scan_destroy);
    if (capsule == nullptr) delete scan;
    return capsule;
}

// scan(state, piece) -> the number of bytes of `piece` before a refused opcode.
PyObject* scan_feed(PyObject*, PyObject* args) {
    PyObject* capsule = nullptr;
    Py_buffer view;
    if (!PyArg_ParseTuple(args, "Oy*", &capsule, &view)) return nullptr;
    pickle::OpcodeScan* scan = scan_of(capsule);
    std::size_t safe = 0;
    if (scan != nullptr)
        safe = scan->feed({static_cast<const std::uint8_t*>(view.buf), static_cast<std::size_t>(view.len)});
    PyBuffer_Release(&view);
    if (scan == nullptr) return nullptr;
    return PyLong_FromSize_t(safe);
}

// scan_found(state) -> (what was found: 0 nothing, 1 memo index, 2 extension code, 3 length; its
// argument)
PyObject* scan_found(PyObject*, PyObject* capsule) {
    pickle::OpcodeScan* scan = scan_of(capsule);
    if (scan == nullptr) return nullptr;
    return Py_BuildValue("(iK)", static_cast<int>(scan->found()), static_cast<unsigned long long>(scan->argument()));
}

PyMethodDef kScanFunctions[] = {
    {"scan_new", scan_new, METH_NOARGS, nullptr},
    {"scan", scan_feed, METH_VARARGS, nullptr},
    {"scan_found", scan_found, METH_O, nullptr},
};

const char* const kLoaderSource = R"PY(import gzip
import io
import pickle
import sys
import copyreg

# LIMIT, the bound on the inflated size, is the native decoder's, set by the module.
STEP = 1 << 20
DRAIN_STEP = 1 << 23
TOO_LARGE = "the calibration file inflates to more than %d bytes" % LIMIT
PERSISTENT = ("A load persistent id instruction was encountered, "
              "but no persistent_load function was specified.")


def refuse(what):
    raise pickle.UnpicklingError(what)


class Checked:
    # A callable standing for an allowed global whose arguments are checked before it is called;
    # immutable, so that BUILD cannot change it for later loads.
    __slots__ = ("_check", "_target")

    def __init__(self, check, target):
        object.__setattr__(self, "_check", check)
        object.__setattr__(self, "_target", target)

    def __setattr__(self, name, value):
        refuse("cannot set attributes of a pickled global")

    def __call__(self, *args):
        return self._check(self._target, args)


def is_binary(x):
    return type(x) is bytes or type(x) is bytearray


def is_latin1(x):
    return type(x) is str and x in ("latin1", "latin-1")


def check_bytes(f, args):
    if args == () or (len(args) == 1 and is_binary(args[0])):
        return f(*args)
    refuse("bytes() with these arguments is forbidden")


def check_bytearray(f, args):
    if (args == () or (len(args) == 1 and is_binary(args[0]))
            or (len(args) == 2 and type(args[0]) is str and is_latin1(args[1]))):
        return f(*args)
    refuse("bytearray() with these arguments is forbidden")


def check_encode(f, args):
    # What the pickler writes for bytes in protocols 0 to 2: _codecs.encode(text, "latin1").
    if len(args) == 2 and type(args[0]) is str and is_latin1(args[1]):
        return f(*args)
    refuse("_codecs.encode with these arguments is forbidden")


def check_reconstruct(f, args):
    # numpy writes an array as _reconstruct(ndarray, (0,), b"b") followed by BUILD with the data;
    # only that empty start is allowed, so that no shape can make it allocate.
    if len(args) == 3 and args[0] is NDARRAY and type(args[1]) is tuple:
        shape = args[1]
        if all(type(d) is int for d in shape) and len(shape) <= 1 and all(0 <= d <= 1 for d in shape):
            return f(sys.modules["numpy"].ndarray, shape, args[2])
    refuse("numpy _reconstruct with these arguments is forbidden")


def check_never(f, args):
    refuse("calling numpy.ndarray is forbidden")


# numpy.ndarray is only ever an argument of _reconstruct: a stand-in that cannot be called or
# instantiated, so that no pickle can allocate an array of a shape of its choice.
NDARRAY = Checked(check_never, None)

ALLOWED = {}
for module in ("builtins", "__builtin__"):
    for name in ("set", "frozenset", "complex", "slice"):
        ALLOWED[(module, name)] = None
    ALLOWED[(module, "bytes")] = check_bytes
    ALLOWED[(module, "bytearray")] = check_bytearray
ALLOWED[("collections", "OrderedDict")] = None
ALLOWED[("_codecs", "encode")] = check_encode
ALLOWED[("numpy", "dtype")] = None
ALLOWED[("numpy", "ndarray")] = "ndarray"
for package in ("numpy.core", "numpy._core"):
    ALLOWED[(package + ".multiarray", "_reconstruct")] = check_reconstruct
    ALLOWED[(package + ".multiarray", "scalar")] = None
    ALLOWED[(package + ".numeric", "_frombuffer")] = None


class Unpickler(pickle.Unpickler):
    def find_class(self, module, name):
        how = ALLOWED.get((module, name)) if type(module) is str and type(name) is str else None
        if how is None and (module, name) not in ALLOWED:
            refuse("global '%s.%s' is forbidden" % (module, name))
        target = super().find_class(module, name)
        if how is None:
            return target
        if how == "ndarray":
            return NDARRAY
        return Checked(how, target)

    def persistent_load(self, pid):
        refuse(PERSISTENT)


class Stream:
    # The inflated content of the file as a file object for the unpickler, inflated in bounded steps
    # as it is read, refused beyond LIMIT bytes, and handed out only up to what the opcode scan allows.
    def __init__(self, data):
        self.gz = gzip.GzipFile(fileobj=io.BytesIO(data))
        self.buf = bytearray()
        self.pos = 0            # next byte of buf to hand out
        self.base = 0           # stream offset of buf[0]
        self.total = 0          # bytes inflated so far
        self.safe_end = None    # stream offset where the scan refused, or None
        self.ended = False
        self.error = None       # a gzip error met while inflating
        self.scan = scan_new()
        self.scanning = True

    def inflate(self, step=STEP):
        if self.error is not None:
            raise self.error
        try:
            chunk = self.gz.read(step)
        except Exception as exc:
            self.error = exc
            raise
        if not chunk:
            return None
        self.total += len(chunk)
        if self.total > LIMIT:
            self.error = ValueError(TOO_LARGE)
            raise self.error
        return chunk

    def more(self):
        if self.ended:
            return False
        chunk = self.inflate()
        if chunk is None:
            self.ended = True
            return False
        if self.pos > 1 << 16 and self.pos * 2 > len(self.buf):
            del self.buf[:self.pos]
            self.base += self.pos
            self.pos = 0
        start = self.base + len(self.buf)
        self.buf += chunk
        if self.scanning:
            safe = scan(self.scan, chunk)
            if safe < len(chunk):
                self.safe_end = start + safe
                self.scanning = False
        return True

    def available(self):
        end = len(self.buf)
        if self.safe_end is not None:
            end = min(end, self.safe_end - self.base)
        return end - self.pos

    def grow(self):
        # More bytes for a request that the available ones do not satisfy; False at the end.
        if self.safe_end is not None and self.base + len(self.buf) > self.safe_end:
            found, argument = scan_found(self.scan)
            if found == 2 and (argument not in getattr(copyreg, "_inverted_registry", {})
                               and argument not in getattr(copyreg, "_extension_cache", {})):
                # An unregistered code: the unpickler fails on it by itself, as pickle.loads does.
                self.safe_end = None
                return True
            if found == 2:
                refuse("extension code %d is forbidden" % argument)
            if found == 3:
                refuse("pickle data was truncated")
            refuse("memo index %d is out of range" % argument)
        return self.more()

    def take(self, n):
        with memoryview(self.buf) as view:
            out = bytes(view[self.pos:self.pos + max(0, min(n, self.available()))])
        self.pos += len(out)
        return out

    def peek(self, n=1):
        while self.available() <= 0 and self.grow():
            pass
        with memoryview(self.buf) as view:
            return bytes(view[self.pos:self.pos + max(0, min(n, self.available()))])

    def read(self, n=-1):
        if n is None or n < 0:
            n = LIMIT + 1
        while self.available() < n and self.grow():
            pass
        return self.take(n)

    def readline(self):
        searched = 0
        while True:
            end = self.pos + self.available()
            i = self.buf.find(b"\n", self.pos + searched, end)
            if i >= 0:
                return self.take(i + 1 - self.pos)
            searched = end - self.pos
            if not self.grow():
                return self.take(searched)

    def drain(self):
        # After the pickle, the rest of the file is inflated (and dropped) so that a corrupt end and
        # the size bound are reported as gzip.decompress reports them.
        while self.inflate(DRAIN_STEP) is not None:
            pass


def load(data):
    # A pickle error is raised as soon as it is met: inflating the rest first, only to see whether
    # gzip would have failed before, would let a small file cost seconds of inflating.
    stream = Stream(data)
    value = Unpickler(stream).load()
    stream.drain()
    return value
)PY";

// Borrowed reference to the loader's `load` function, created on first use.
PyObject* calibration_loader() {
    PyObject*& loader = process_state().calibration_loader;
    if (loader != nullptr) return loader;
    PyRef globals(PyDict_New());
    if (!globals) return nullptr;
    PyRef builtins(PyImport_ImportModule("builtins"));
    if (!builtins || PyDict_SetItemString(globals.get(), "__builtins__", builtins.get()) < 0) return nullptr;
    PyRef name(PyUnicode_FromString("_brimoacq_calibration"));
    if (!name || PyDict_SetItemString(globals.get(), "__name__", name.get()) < 0) return nullptr;
    PyRef limit(PyLong_FromUnsignedLongLong(gzip::kDefaultMaxOutput));
    if (!limit || PyDict_SetItemString(globals.get(), "LIMIT", limit.get()) < 0) return nullptr;
    for (PyMethodDef& def : kScanFunctions) {
        PyRef function(PyCFunction_NewEx(&def, nullptr, nullptr));
        if (!function || PyDict_SetItemString(globals.get(), def.ml_name, function.get()) < 0) return nullptr;
    }
    PyRef done(PyRun_String(kLoaderSource, Py_file_input, globals.get(), globals.get()));
    if (!done) return nullptr;
    PyObject* load = PyDict_GetItemString(globals.get(), "load");
    if (load == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "calibration loader has no load function");
        return nullptr;
    }
    Py_INCREF(load);
    // Running the source imports modules, which runs Python code: keep the first loader stored.
    if (loader == nullptr) loader = load;
    else Py_DECREF(load);
    return loader;
}

}  // namespace

PyObject* load_calibration(PyObject* file) {
    if (hook(Hook::GzipDecompress) == nullptr || hook(Hook::PickleLoads) == nullptr) return nullptr;
    PyObject* load = calibration_loader();
    if (load == nullptr) return nullptr;
    PyRef keep = PyRef::borrow(load);
    return PyObject_CallFunctionObjArgs(keep.get(), file, nullptr);
}

}  // namespace brimo::py
