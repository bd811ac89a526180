#include "python_api/arrays.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "acquisition/event_reader.h"
#include "bulk/arrays.h"
#include "calibration/pedestals.h"
#include "concurrency/pool.h"
#include "python_api/args.h"
#include "python_api/exceptions.h"
#include "python_api/py_ref.h"
#include "python_api/signals.h"
#include "python_api/state.h"

namespace brimo::py {
namespace {

// ---------------------------------------------------------------------------------------------
// The buffer object: owns one malloc'd block and exports it through the buffer protocol, writable,
// as unsigned bytes; numpy.frombuffer gives it its element type. A static type: it holds no Python
// references, and static types with buffer slots work alike on every interpreter.

struct BufferObject {
    PyObject_HEAD
    bulk::Array::Block block;
};

// Where an empty block points: a buffer's address is never null.
char g_empty[1];

int buffer_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    const bulk::Array::Block& b = reinterpret_cast<BufferObject*>(self)->block;
    return PyBuffer_FillInfo(view, self, b.data != nullptr ? b.data : g_empty, Py_ssize_t(b.bytes), 0, flags);
}

void buffer_dealloc(PyObject* self) {
    bulk::Array::free_block(reinterpret_cast<BufferObject*>(self)->block);
    Py_TYPE(self)->tp_free(self);
}

PyBufferProcs g_buffer_procs = {buffer_getbuffer, nullptr};

PyTypeObject g_buffer_type = [] {
    PyTypeObject t{};
    Py_SET_REFCNT(&t, 1);
    t.tp_name = "brimoacq.ArrayBuffer";
    t.tp_basicsize = sizeof(BufferObject);
    t.tp_dealloc = buffer_dealloc;
    t.tp_as_buffer = &g_buffer_procs;
    t.tp_flags = Py_TPFLAGS_DEFAULT;
    t.tp_doc = "Memory of an array returned by brimoacq, exported through the buffer protocol.";
    return t;
}();

bool ready(PyTypeObject* type) {
    if (PyType_HasFeature(type, Py_TPFLAGS_READY)) return true;
    return PyType_Ready(type) == 0;
}

// numpy.frombuffer, imported on first use and kept for the life of the process.
PyObject* frombuffer() {
    PyObject*& cached = process_state().numpy_frombuffer;
    if (cached != nullptr) return cached;
    PyRef numpy(PyImport_ImportModule("numpy"));
    if (!numpy) {
        if (PyErr_ExceptionMatches(PyExc_ImportError)) {
            PyErr_Clear();
            PyErr_SetString(PyExc_ImportError,
                            "brimoacq returns events as numpy arrays, and numpy cannot be imported: "
                            "install it with `pip install numpy`");
        }
        return nullptr;
    }
    PyRef function(PyObject_GetAttrString(numpy.get(), "frombuffer"));
    if (!function) return nullptr;
    if (cached == nullptr) cached = function.release();
    return cached;
}

// A numpy array of `dtype` over the block of `array`, which the array's base object takes over.
PyObject* to_numpy(bulk::Array& array, const char* dtype) {
    PyObject* from = frombuffer();
    if (from == nullptr) return nullptr;
    if (!ready(&g_buffer_type)) return nullptr;
    PyRef buffer(PyType_GenericAlloc(&g_buffer_type, 0));
    if (!buffer) return nullptr;
    reinterpret_cast<BufferObject*>(buffer.get())->block = array.release();
    PyRef keep = PyRef::borrow(from);
    return PyObject_CallFunction(keep.get(), "Os", buffer.get(), dtype);
}

// ---------------------------------------------------------------------------------------------
// Arguments

// The events asked for: every event up to the count known when the read starts, a range, or a list.
struct Selection {
    bool all = true;
    bool is_range = false;
    std::uint64_t start = 0;
    std::int64_t step = 1;
    std::uint64_t count = 0;
    std::vector<std::uint64_t> list;

    std::uint64_t size() const { return is_range || all ? count : list.size(); }
    // Positions [begin, end) as indices.
    void fill(std::uint64_t begin, std::uint64_t end, std::vector<std::uint64_t>& out) const {
        out.clear();
        if (!is_range && !all) {
            out.assign(list.begin() + std::ptrdiff_t(begin), list.begin() + std::ptrdiff_t(end));
            return;
        }
        out.reserve(end - begin);
        for (std::uint64_t k = begin; k < end; ++k) out.push_back(start + std::uint64_t(std::int64_t(k) * step));
    }
};

bool out_of_range() {
    PyErr_SetString(PyExc_OverflowError, kOutOfRange);
    return false;
}

// A one-dimensional contiguous buffer of integers (a numpy index array), read without an object per
// element. False without an error when `obj` is not such a buffer.
template <class T>
bool copy_indices(const Py_buffer& view, std::vector<std::uint64_t>* out, bool* negative) {
    const auto* p = static_cast<const T*>(view.buf);
    const std::size_t n = std::size_t(view.len) / sizeof(T);
    out->resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        if constexpr (std::is_signed_v<T>) {
            if (p[i] < 0) *negative = true;
        }
        (*out)[i] = std::uint64_t(p[i]);
    }
    return true;
}

bool integer_buffer(PyObject* obj, std::vector<std::uint64_t>* out, bool* taken) {
    *taken = false;
    if (PyBytes_Check(obj) || PyByteArray_Check(obj) || !PyObject_CheckBuffer(obj)) return true;
    Py_buffer view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0) {
        PyErr_Clear();
        return true;
    }
    struct Release {
        Py_buffer* v;
        ~Release() { PyBuffer_Release(v); }
    } release{&view};
    if (view.ndim != 1 || view.format == nullptr) return true;
    std::string format(view.format);
    if (!format.empty() && (format[0] == '<' || format[0] == '=' || format[0] == '@')) format.erase(0, 1);
    if (format.size() != 1) return true;
    bool negative = false;
    const char f = format[0];
    const auto is = [&](auto tag) { return sizeof(decltype(tag)) == std::size_t(view.itemsize); };
    if ((f == 'q' || f == 'l') && is(std::int64_t{})) *taken = copy_indices<std::int64_t>(view, out, &negative);
    else if ((f == 'Q' || f == 'L') && is(std::uint64_t{})) *taken = copy_indices<std::uint64_t>(view, out, &negative);
    else if ((f == 'i' || f == 'l') && is(std::int32_t{})) *taken = copy_indices<std::int32_t>(view, out, &negative);
    else if ((f == 'I' || f == 'L') && is(std::uint32_t{})) *taken = copy_indices<std::uint32_t>(view, out, &negative);
    if (negative) return out_of_range();
    return true;
}

// None, a range (read from its start, stop and step, not element by element), a numpy array of
// integers or any sequence of integers. A negative index is refused with OverflowError, as the
// single-event methods refuse it.
bool to_selection(PyObject* obj, Selection* out) {
    if (obj == nullptr || obj == Py_None) return true;
    out->all = false;
    bool taken = false;
    if (!integer_buffer(obj, &out->list, &taken)) return false;
    if (taken) return true;
    if (PyObject_TypeCheck(obj, &PyRange_Type)) {
        long long v[3] = {};
        const char* names[3] = {"start", "stop", "step"};
        for (int i = 0; i < 3; ++i) {
            PyRef attr(PyObject_GetAttrString(obj, names[i]));
            if (!attr) return false;
            int overflow = 0;
            v[i] = PyLong_AsLongLongAndOverflow(attr.get(), &overflow);
            if (v[i] == -1 && PyErr_Occurred()) return false;
            if (overflow != 0) return to_u64_vector(obj, "indices", &out->list);
        }
        const Py_ssize_t n = PyObject_Size(obj);
        if (n < 0) return false;
        if (n > 0) {
            const long long last = v[0] + (long long)(n - 1) * v[2];
            if (v[0] < 0 || last < 0) return out_of_range();
        }
        out->is_range = true;
        out->start = std::uint64_t(v[0]);
        out->step = v[2];
        out->count = std::uint64_t(n);
        return true;
    }
    return to_u64_vector(obj, "indices", &out->list);
}

struct ReadArgs {
    Selection selection;
    bool pedestals = false;
    bool skip = false;
};

bool to_errors_mode(PyObject* obj, bool* skip) {
    if (obj == nullptr) return true;
    if (PyUnicode_Check(obj)) {
        if (PyUnicode_CompareWithASCIIString(obj, "raise") == 0) return true;
        if (PyUnicode_CompareWithASCIIString(obj, "skip") == 0) {
            *skip = true;
            return true;
        }
    }
    PyErr_SetString(PyExc_ValueError, "errors must be \"raise\" or \"skip\"");
    return false;
}

bool convert_read_args(PyObject* indices, PyObject* pedestals, PyObject* errors, ReadArgs* out) {
    if (!to_selection(indices, &out->selection)) return false;
    if (pedestals != nullptr && !to_bool(pedestals, "pedestals", &out->pedestals)) return false;
    return to_errors_mode(errors, &out->skip);
}

// ---------------------------------------------------------------------------------------------
// Errors

// Re-raises the pending exception with "event N: " before its text, keeping its type.
PyObject* prefix_event(std::uint64_t index) {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyRef t(type), v(value), traceback(tb);
    PyRef text(v ? PyObject_Str(v.get()) : nullptr);
    if (!text) return nullptr;
    PyRef prefix(PyUnicode_FromFormat("event %llu: ", (unsigned long long)index));
    if (!prefix) return nullptr;
    PyRef message(PyUnicode_Concat(prefix.get(), text.get()));
    if (!message) return nullptr;
    PyErr_SetObject(t.get(), message.get());
    return nullptr;
}

PyObject* raise_failure(const bulk::EventFailure& f) {
    struct Raise {
        PyObject* operator()(const AcquisitionError& e) const { return raise_error(e); }
        PyObject* operator()(ParsingError e) const { return raise_error(e); }
        PyObject* operator()(CorrectionError) const {
            PyErr_SetString(PyExc_ValueError,
                            "pedestal correction failed: the pedestal table has no value for one of its "
                            "samples, or params \"samples\" is 0");
            return nullptr;
        }
    };
    std::visit(Raise{}, f.error);
    return prefix_event(f.index);
}

// The pedestal table for a corrected read, or the reason there is none (a ValueError text).
std::variant<SharedPedestals, std::string> pedestals_for_read(const Acquisition& acq) {
    auto file = acq.misc_data(MiscDataKind::PedestalsCalibration);
    if (!file) {
        if (file.error().kind == AcquisitionErrorKind::NoSuchMiscData)
            return std::string("pedestals=True needs the pedestal calibration file, and this acquisition has none");
        return "pedestals=True needs the pedestal calibration file, which cannot be read: " + file.error().message();
    }
    auto decoded = Pedestals::from_bytes(file->data);
    if (!decoded) return "the pedestal calibration file cannot be decoded: " + decoded.error().what;
    return SharedPedestals(std::move(decoded).value());
}

// ---------------------------------------------------------------------------------------------
// Reads

// Everything one read needs, usable without the interpreter lock.
struct ReadPlan {
    EventReader reader;
    Params params;
    SharedPedestals pedestals;
    Selection selection;
    bool skip = false;
};

// Resolves the chunk layout and loads the pedestal table without the lock; a failure is raised.
std::unique_ptr<ReadPlan> make_plan(const Acquisition& acq, const Params& params, ReadArgs args) {
    auto plan = std::make_unique<ReadPlan>(ReadPlan{EventReader(acq), params, {}, std::move(args.selection), args.skip});
    std::optional<std::string> problem;
    {
        GilRelease unlocked;
        const auto& ends = plan->reader.ends();
        if (plan->selection.all) plan->selection.count = ends.empty() ? 0 : ends.back();
        if (args.pedestals) {
            auto table = pedestals_for_read(acq);
            if (auto* s = std::get_if<std::string>(&table)) problem = std::move(*s);
            else plan->pedestals = std::move(std::get<SharedPedestals>(table));
        }
    }
    if (problem) {
        PyErr_SetString(PyExc_ValueError, problem->c_str());
        return nullptr;
    }
    return plan;
}

// Time between two looks for a pending signal (Ctrl-C); the lock is released in between.
constexpr double kSliceSeconds = 0.05;
// Packet bytes per part: the records of a part stay in the processor's caches until they are copied
// into the arrays.
constexpr double kPartBytes = 1 << 20;

// The arrays of the events at positions [begin, end) of the plan's selection, as read()'s dict.
PyObject* read_positions(ReadPlan& plan, std::uint64_t begin, std::uint64_t end) {
    auto created = bulk::ArrayBuilder::create(plan.params, bulk::ReadOptions{plan.pedestals, plan.skip},
                                              concurrency::global_pool());
    if (!created) return raise_error(created.error());
    bulk::ArrayBuilder builder = std::move(created).value();

    std::vector<std::uint64_t> indices;
    std::uint64_t part = 64;
    for (std::uint64_t at = begin; at < end;) {
        std::optional<bulk::EventFailure> failure;
        {
            GilRelease unlocked;
            const auto t0 = std::chrono::steady_clock::now();
            do {
                const std::uint64_t stop = std::min(end, at + part);
                plan.selection.fill(at, stop, indices);
                failure = builder.parse(plan.reader, indices, std::size_t(at - begin));
                const double per_event = double(builder.last_part_bytes()) / double(stop - at);
                part = std::clamp<std::uint64_t>(std::uint64_t(kPartBytes / std::max(per_event, 1.0)),
                                                 builder.min_part_events(), 1 << 16);
                at = stop;
            } while (!failure && at < end &&
                     std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() < kSliceSeconds);
        }
        if (failure) return raise_failure(*failure);
        if (check_signals() < 0) return nullptr;
    }

    std::optional<Result<bulk::EventArrays, InternalError>> finished;
    {
        GilRelease unlocked;
        finished.emplace(builder.finish());
    }
    if (!*finished) return raise_error(finished->error());
    bulk::EventArrays& a = finished->value();

    struct Field {
        const char* key;
        bulk::Array* array;
        const char* dtype;
    };
    const Field fields[7] = {
        {"index", &a.index, "int64"},
        {"data", &a.data, "float32"},
        {"offsets", &a.offsets, "int64"},
        {"time", &a.time, "uint16"},
        {"window_labels", &a.window_labels, "uint16"},
        {"window_offsets", &a.window_offsets, "int64"},
        {"timing", &a.timing, "uint32"},
    };
    PyRef dict(PyDict_New());
    if (!dict) return nullptr;
    for (const Field& f : fields) {
        if (f.array == &a.timing && !a.has_timing) continue;
        PyRef value(to_numpy(*f.array, f.dtype));
        if (!value) return nullptr;
        if (PyDict_SetItemString(dict.get(), f.key, value.get()) < 0) return nullptr;
    }
    return dict.release();
}

const char* const kReadParams[] = {"indices", "pedestals", "errors"};
const char* const kBatchParams[] = {"batch_size", "indices", "pedestals", "errors"};
const char* const kRawParams[] = {"indices"};

// ---------------------------------------------------------------------------------------------
// iter_batches: an iterator holding its own plan (one chunk layout for all its batches).

struct BatchIterObject {
    PyObject_HEAD
    ReadPlan* plan;
    std::uint64_t batch_size;
    std::uint64_t next;
    bool busy;
};

PyObject* batch_iter_next(PyObject* self) {
    auto* it = reinterpret_cast<BatchIterObject*>(self);
    if (it->plan == nullptr) return nullptr;
    // While a batch is read the lock is released; another thread calling next() meanwhile is
    // refused rather than sharing the reader.
    if (it->busy) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return nullptr;
    }
    const std::uint64_t total = it->plan->selection.size();
    if (it->next >= total) return nullptr;
    const std::uint64_t begin = it->next;
    const std::uint64_t end = total - begin > it->batch_size ? begin + it->batch_size : total;
    it->busy = true;
    PyObject* batch = guarded([&] { return read_positions(*it->plan, begin, end); });
    it->busy = false;
    if (batch != nullptr) it->next = end;
    return batch;
}

void batch_iter_dealloc(PyObject* self) {
    delete reinterpret_cast<BatchIterObject*>(self)->plan;
    Py_TYPE(self)->tp_free(self);
}

PyTypeObject g_batch_iter_type = [] {
    PyTypeObject t{};
    Py_SET_REFCNT(&t, 1);
    t.tp_name = "brimoacq.BatchIterator";
    t.tp_basicsize = sizeof(BatchIterObject);
    t.tp_dealloc = batch_iter_dealloc;
    t.tp_flags = Py_TPFLAGS_DEFAULT;
    t.tp_doc = "Iterator over batches of events as numpy arrays.";
    t.tp_iter = PyObject_SelfIter;
    t.tp_iternext = batch_iter_next;
    return t;
}();

}  // namespace

PyObject* read_method(const Acquisition& acq, const Params& params, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[3] = {};
        if (!bind_fastcall_optional(signature("Acquisition.read", kReadParams), 1, args, nargs, kwnames, bound))
            return nullptr;
        ReadArgs read_args;
        if (!convert_read_args(bound[0], bound[1], bound[2], &read_args)) return nullptr;
        if (frombuffer() == nullptr) return nullptr;  // numpy first: no work is wasted without it
        auto plan = make_plan(acq, params, std::move(read_args));
        if (!plan) return nullptr;
        return read_positions(*plan, 0, plan->selection.size());
    });
}

PyObject* iter_batches_method(const Acquisition& acq, const Params& params, PyObject* const* args,
                              Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[4] = {};
        if (!bind_fastcall_optional(signature("Acquisition.iter_batches", kBatchParams), 1, args, nargs, kwnames,
                                    bound))
            return nullptr;
        std::uint64_t batch_size = 1000;
        if (bound[0] != nullptr && !to_u64(bound[0], "batch_size", &batch_size)) return nullptr;
        if (batch_size == 0) {
            PyErr_SetString(PyExc_ValueError, "batch_size must be at least 1");
            return nullptr;
        }
        ReadArgs read_args;
        if (!convert_read_args(bound[1], bound[2], bound[3], &read_args)) return nullptr;
        if (frombuffer() == nullptr) return nullptr;
        auto plan = make_plan(acq, params, std::move(read_args));
        if (!plan) return nullptr;
        if (!ready(&g_batch_iter_type)) return nullptr;
        PyObject* obj = PyType_GenericAlloc(&g_batch_iter_type, 0);
        if (obj == nullptr) return nullptr;
        auto* it = reinterpret_cast<BatchIterObject*>(obj);
        it->plan = plan.release();
        it->batch_size = batch_size;
        it->next = 0;
        it->busy = false;
        return obj;
    });
}

PyObject* read_raw_method(const Acquisition& acq, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[1] = {};
        if (!bind_fastcall_optional(signature("Acquisition.read_raw", kRawParams), 1, args, nargs, kwnames, bound))
            return nullptr;
        Selection selection;
        if (!to_selection(bound[0], &selection)) return nullptr;
        if (frombuffer() == nullptr) return nullptr;
        std::optional<Result<bulk::RawArrays, bulk::EventFailure>> result;
        {
            GilRelease unlocked;
            EventReader reader(acq);
            const auto& ends = reader.ends();
            if (selection.all) selection.count = ends.empty() ? 0 : ends.back();
            std::vector<std::uint64_t> indices;
            selection.fill(0, selection.size(), indices);
            result.emplace(bulk::read_raw(reader, indices));
        }
        if (!*result) return raise_failure(result->error());
        PyRef bytes(to_numpy(result->value().bytes, "uint8"));
        if (!bytes) return nullptr;
        PyRef offsets(to_numpy(result->value().offsets, "int64"));
        if (!offsets) return nullptr;
        return PyTuple_Pack(2, bytes.get(), offsets.get());
    });
}

}  // namespace brimo::py
