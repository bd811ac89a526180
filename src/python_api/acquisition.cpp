#include "python_api/acquisition.h"

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "python_api/args.h"
#include "python_api/arrays.h"
#include "python_api/exceptions.h"
#include "python_api/fastcall.h"
#include "python_api/functions.h"
#include "python_api/hooks.h"
#include "python_api/parsing.h"
#include "python_api/py_ref.h"
#include "python_api/signals.h"
#include "python_api/state.h"

namespace brimo::py {
namespace {

// What an Acquisition object holds besides its metadata object; fixed at construction.
struct AcqState {
    Acquisition acq;   // the directory
    Params params;     // the typed board parameters the parsers use
    std::string path;  // the path as given, in the file-system encoding
};

struct AcquisitionObject {
    PyObject_HEAD
    AcqState* state;
    PyObject* metadata;  // what yaml.safe_load returned for metadata.yml
};

struct IterEventsObject {
    PyObject_HEAD
    PyObject* acq;        // an AcquisitionObject
    std::uint64_t index;  // the next event
    bool borrowed;        // a next() is running on this iterator
};

PyTypeObject* iter_events_type();

AcqState& state_of(PyObject* self) { return *reinterpret_cast<AcquisitionObject*>(self)->state; }

PyObject* path_to_str(const std::string& path) {
    return PyUnicode_DecodeFSDefaultAndSize(path.data(), Py_ssize_t(path.size()));
}

// Errors that operations which skip failures (iteration, listing) may discard: ordinary exceptions
// of a failed read or parse. Running out of memory, an interrupt or an internal error is not an
// answer about one event or one directory and always reaches the caller.
bool discardable_error() {
    return PyErr_ExceptionMatches(PyExc_Exception) && !PyErr_ExceptionMatches(PyExc_MemoryError);
}

// ---------------------------------------------------------------------------------------------
// Construction

PyObject* new_acquisition_object(std::unique_ptr<AcqState> state, PyRef metadata) {
    PyTypeObject* type = acquisition_type();
    if (type == nullptr) return nullptr;
    PyObject* obj = type->tp_alloc(type, 0);
    if (obj == nullptr) return nullptr;
    auto* o = reinterpret_cast<AcquisitionObject*>(obj);
    o->state = state.release();
    o->metadata = metadata.release();
    return obj;
}

// Opens the acquisition at `path`: the directory test, metadata.yml read once through yaml.safe_load
// (the object users see) and once into the typed Params (what the parsers use).
PyObject* construct(const std::string& path) {
    if (path_names_no_file(path)) return raise_error(acq_error(AcquisitionErrorKind::InvalidPath));
    auto opened = Acquisition::open(path);
    if (!opened) return raise_error(opened.error());
    auto text = opened->metadata_str();
    if (!text) return raise_error(text.error());
    PyRef py_text(PyUnicode_FromStringAndSize(text->data(), Py_ssize_t(text->size())));
    if (!py_text) return nullptr;
    PyRef metadata(call_hook(Hook::YamlSafeLoad, py_text.get()));
    if (!metadata) return nullptr;
    auto parsed = opened->metadata();
    if (!parsed) return raise_error(parsed.error());
    auto state = std::make_unique<AcqState>(
        AcqState{std::move(opened.value()), std::move(parsed->params), path});
    return new_acquisition_object(std::move(state), std::move(metadata));
}

const char* const kPathParam[] = {"path"};
const char* const kRootParam[] = {"root_dir"};
const char* const kIndexParam[] = {"index"};
const char* const kAcqParam[] = {"acq"};

PyObject* acquisition_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* arg = nullptr;
        if (!bind_tuple(signature("Acquisition", kPathParam), args, kwargs, &arg)) return nullptr;
        std::string path;
        if (!to_path(arg, "path", &path)) return nullptr;
        return construct(path);
    });
}

int acquisition_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<AcquisitionObject*>(self)->metadata);
    return 0;
}

int acquisition_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<AcquisitionObject*>(self)->metadata);
    return 0;
}

void acquisition_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    auto* o = reinterpret_cast<AcquisitionObject*>(self);
    Py_CLEAR(o->metadata);
    delete o->state;
    o->state = nullptr;
    type->tp_free(self);
    Py_DECREF(type);
}

// ---------------------------------------------------------------------------------------------
// Properties

PyObject* get_is_valid(PyObject* self, void*) {
    return guarded([&]() -> PyObject* { return PyBool_FromLong(is_acquisition(state_of(self).acq.path())); });
}

PyObject* get_path(PyObject* self, void*) {
    return guarded([&]() -> PyObject* { return path_to_str(state_of(self).path); });
}

PyObject* get_name(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        // Decoded like `path`, with the file-system encoding: a name that is not UTF-8 keeps its
        // bytes as surrogate escapes (os.fsencode gives them back).
        auto name = state_of(self).acq.file_name();
        if (!name) return raise_error(name.error());
        return path_to_str(*name);
    });
}

PyObject* get_chunk_count(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        return PyLong_FromUnsignedLongLong(state_of(self).acq.chunk_count());
    });
}

PyObject* get_metadata(PyObject* self, void*) {
    PyObject* metadata = reinterpret_cast<AcquisitionObject*>(self)->metadata;
    if (metadata == nullptr) metadata = Py_None;  // only after the garbage collector cleared it
    Py_INCREF(metadata);
    return metadata;
}

PyObject* get_params(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        PyObject* metadata = reinterpret_cast<AcquisitionObject*>(self)->metadata;
        if (metadata == nullptr) metadata = Py_None;
        if (!PyDict_Check(metadata)) {
            PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyDict'",
                         Py_TYPE(metadata)->tp_name);
            return nullptr;
        }
        PyRef key(PyUnicode_FromString("params"));
        if (!key) return nullptr;
        PyObject* value = PyDict_GetItemWithError(metadata, key.get());
        if (value == nullptr) {
            if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key.get());
            return nullptr;
        }
        Py_INCREF(value);
        return value;
    });
}

// The calibration files are gzip-compressed pickles, decoded by Python's own modules at each access,
// with the bounds of load_calibration: the files come with the acquisition and are not trusted.
PyObject* get_misc_data(PyObject* self, void* closure) {
    return guarded([&]() -> PyObject* {
        const auto kind = static_cast<MiscDataKind>(reinterpret_cast<std::uintptr_t>(closure));
        auto misc = state_of(self).acq.misc_data(kind);
        if (!misc) {
            if (misc.error().kind == AcquisitionErrorKind::NoSuchMiscData) Py_RETURN_NONE;
            return raise_error(misc.error());
        }
        PyRef bytes(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(misc->data.data()),
                                              Py_ssize_t(misc->data.size())));
        if (!bytes) return nullptr;
        std::vector<std::uint8_t>().swap(misc->data);
        return load_calibration(bytes.get());
    });
}

void* kind_closure(MiscDataKind kind) {
    return reinterpret_cast<void*>(static_cast<std::uintptr_t>(kind));
}

PyGetSetDef acquisition_getset[] = {
    {"is_valid", get_is_valid, nullptr, "Check if the folder is a valid acquisition.", nullptr},
    {"path", get_path, nullptr, "Get the path to the acquisition directory.", nullptr},
    {"name", get_name, nullptr, "Get the name of the acquisition.", nullptr},
    {"chunk_count", get_chunk_count, nullptr, "Get the number of chunks in the acquisition", nullptr},
    {"metadata", get_metadata, nullptr, "Read the metadata from the acquisition.", nullptr},
    {"params", get_params, nullptr, "Get acquisition params.", nullptr},
    {"readout_metadata", get_misc_data, nullptr, "Read the readout metadata from the acquisition.",
     kind_closure(MiscDataKind::ReadoutMetadata)},
    {"pedestals_calibration", get_misc_data, nullptr, "Read pedestals calibration from the acquisition.",
     kind_closure(MiscDataKind::PedestalsCalibration)},
    {"adc_to_mv_calibration", get_misc_data, nullptr, "Read ADC to mV calibration from the acquisition.",
     kind_closure(MiscDataKind::Adc2MvCalibration)},
    {"timing_calibration", get_misc_data, nullptr, "Read timing calibration from the acquisition.",
     kind_closure(MiscDataKind::TimingCalibration)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------------------------------------
// Events

PyObject* raw_event_dict(std::vector<std::uint8_t> raw, std::uint64_t index) {
    PyRef bytes(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(raw.data()), Py_ssize_t(raw.size())));
    if (!bytes) return nullptr;
    std::vector<std::uint8_t>().swap(raw);
    PyRef number(PyLong_FromUnsignedLongLong(index));
    if (!number) return nullptr;
    PyRef dict(PyDict_New());
    if (!dict) return nullptr;
    if (PyDict_SetItemString(dict.get(), "rawdata", bytes.get()) < 0 ||
        PyDict_SetItemString(dict.get(), "pkg_num", number.get()) < 0 ||
        PyDict_SetItemString(dict.get(), "event_num", number.get()) < 0)
        return nullptr;
    return dict.release();
}

// Event `index` parsed into its dict.
PyObject* parsed_event_at(const AcqState& s, std::uint64_t index) {
    auto raw = s.acq.get(index);
    if (!raw) return raise_error(raw.error());
    return parse_to_dict(s.params, std::move(raw.value()));
}

PyObject* event_method(PyObject* self, const char* function, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames, bool parsed) {
    PyObject* arg = nullptr;
    if (!bind_fastcall(Signature{function, kIndexParam, 1}, args, nargs, kwnames, &arg)) return nullptr;
    std::uint64_t index = 0;
    if (!to_u64(arg, "index", &index)) return nullptr;
    const AcqState& s = state_of(self);
    if (parsed) return parsed_event_at(s, index);
    auto raw = s.acq.get(index);
    if (!raw) return raise_error(raw.error());
    return raw_event_dict(std::move(raw.value()), index);
}

PyObject* raw_event(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] { return event_method(self, "Acquisition.raw_event", args, nargs, kwnames, false); });
}

PyObject* parsed_event(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] { return event_method(self, "Acquisition.parsed_event", args, nargs, kwnames, true); });
}

PyObject* acq_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const AcqState& s = state_of(self);
    return read_method(s.acq, s.params, args, nargs, kwnames);
}

PyObject* acq_iter_batches(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const AcqState& s = state_of(self);
    return iter_batches_method(s.acq, s.params, args, nargs, kwnames);
}

PyObject* acq_read_raw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return read_raw_method(state_of(self).acq, args, nargs, kwnames);
}

// The same test as the CSV export's: the file exists and the native decoder accepts it.
PyObject* has_usable_pedestals(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const Acquisition& acq = state_of(self).acq;
        bool usable = false;
        {
            GilRelease unlocked;
            usable = load_pedestals(acq).has_value();
        }
        return PyBool_FromLong(usable);
    });
}

// ---------------------------------------------------------------------------------------------
// Conventions of Python objects: context manager, repr, pickling by path

// `with Acquisition(p) as acq:` works as users expect; nothing is held open between calls, so there
// is nothing to release on exit and an exception raised in the block is never suppressed.
PyObject* acquisition_enter(PyObject* self, PyObject*) {
    Py_INCREF(self);
    return self;
}

PyObject* acquisition_exit(PyObject*, PyObject*) { Py_RETURN_NONE; }

// <Acquisition 'run_12' model='vombel96' path='/data/run_12'>, the name as the `name` property gives
// it. Never raises for an odd directory: a directory without a name of its own (a path ending in
// "..") or with a name the property refuses is shown without one, and a model that is not UTF-8 with
// replacement characters.
PyObject* acquisition_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        const AcqState& s = state_of(self);
        PyRef path(path_to_str(s.path));
        PyRef model(PyUnicode_DecodeUTF8(s.params.model.data(), Py_ssize_t(s.params.model.size()), "replace"));
        if (!path || !model) return nullptr;
        PyRef name(get_name(self, nullptr));
        if (!name) {
            if (PyErr_ExceptionMatches(PyExc_MemoryError)) return nullptr;
            PyErr_Clear();
            return PyUnicode_FromFormat("<Acquisition model=%R path=%R>", model.get(), path.get());
        }
        return PyUnicode_FromFormat("<Acquisition %R model=%R path=%R>", name.get(), model.get(), path.get());
    });
}

// An acquisition pickles as its path and is opened again where it is unpickled (metadata read anew),
// so it can be handed to worker processes under fork and spawn alike.
PyObject* acquisition_reduce(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        PyRef path(path_to_str(state_of(self).path));
        if (!path) return nullptr;
        return Py_BuildValue("(O(O))", reinterpret_cast<PyObject*>(Py_TYPE(self)), path.get());
    });
}

PyMethodDef acquisition_methods[] = {
    {"raw_event", as_cfunction(raw_event), kFastCallFlags,
     "raw_event($self, index)\n--\n\nFetch a raw event as `bytes`."},
    {"parsed_event", as_cfunction(parsed_event), kFastCallFlags,
     "parsed_event($self, index)\n--\n\nFetch a parsed event. Requires `brimodaq` to be installed."},
    {"read", as_cfunction(acq_read), kFastCallFlags,
     "read($self, indices=None, *, pedestals=False, errors=\"raise\")\n--\n\n"
     "Read many events at once into a dict of numpy arrays (ragged, Arrow/awkward layout). The chunk\n"
     "layout is looked at once, when the call starts: events added later are not seen."},
    {"iter_batches", as_cfunction(acq_iter_batches), kFastCallFlags,
     "iter_batches($self, batch_size=1000, *, indices=None, pedestals=False, errors=\"raise\")\n--\n\n"
     "Yield the dicts of `read` for consecutive batches of the events, with bounded memory."},
    {"read_raw", as_cfunction(acq_read_raw), kFastCallFlags,
     "read_raw($self, indices=None)\n--\n\n"
     "Read the packets of many events: a numpy uint8 buffer and int64 offsets [E + 1]."},
    {"has_usable_pedestals", has_usable_pedestals, METH_NOARGS,
     "has_usable_pedestals($self)\n--\n\nWhether the pedestals_calibration file can be decoded for pedestal "
     "correction."},
    {"__enter__", acquisition_enter, METH_NOARGS, "__enter__($self, /)\n--\n\nReturn self."},
    {"__exit__", acquisition_exit, METH_VARARGS,
     "__exit__($self, *args)\n--\n\nDo nothing: no file is held open between calls."},
    {"__reduce__", acquisition_reduce, METH_NOARGS,
     "__reduce__($self, /)\n--\n\nPickle as the path; unpickling opens the acquisition again."},
    {nullptr, nullptr, 0, nullptr},
};

// The event count, which the store gives as an unsigned 64-bit number.
bool event_count(const AcqState& s, std::uint64_t* out) {
    auto n = s.acq.len();
    if (!n) {
        raise_error(n.error());
        return false;
    }
    *out = n.value();
    return true;
}

Py_ssize_t acquisition_len(PyObject* self) {
    return guarded<Py_ssize_t>(-1, [&]() -> Py_ssize_t {
        std::uint64_t n = 0;
        if (!event_count(state_of(self), &n)) return -1;
        if (n > std::uint64_t(PY_SSIZE_T_MAX)) {
            PyErr_SetString(PyExc_OverflowError, "cannot fit 'int' into an index-sized integer");
            return -1;
        }
        return Py_ssize_t(n);
    });
}

PyObject* index_out_of_bounds() {
    PyErr_SetString(PyExc_IndexError, "index out of bounds");
    return nullptr;
}

// Events of a slice read between two runs of the interpreter's signal handlers.
constexpr Py_ssize_t kEventsPerSignalCheck = 16;

PyObject* slice_events(const AcqState& s, PyObject* slice, std::uint64_t count) {
    Py_ssize_t start = 0, stop = 0, step = 0;
    if (PySlice_Unpack(slice, &start, &stop, &step) < 0) return nullptr;
    // Slices resolve against at most PY_SSIZE_T_MAX events; no directory holds more.
    const Py_ssize_t length = count > std::uint64_t(PY_SSIZE_T_MAX) ? PY_SSIZE_T_MAX : Py_ssize_t(count);
    PySlice_AdjustIndices(length, &start, &stop, step);
    // No negative steps: events are only ever read forwards.
    if (start < 0 || stop < 0 || step < 0) return index_out_of_bounds();
    const Py_ssize_t n = start < stop ? (stop - start - 1) / step + 1 : 0;
    PyRef list(PyList_New(n));
    if (!list) return nullptr;
    for (Py_ssize_t k = 0; k < n; ++k) {
        // A long slice stays interruptible (Ctrl-C): pending signal handlers run every few events.
        if (k % kEventsPerSignalCheck == kEventsPerSignalCheck - 1 && check_signals() < 0) return nullptr;
        PyObject* event = parsed_event_at(s, std::uint64_t(start + k * step));
        if (event == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), k, event);
    }
    return list.release();
}

PyObject* acquisition_subscript(PyObject* self, PyObject* key) {
    return guarded([&]() -> PyObject* {
        const AcqState& s = state_of(self);
        std::uint64_t count = 0;
        if (!event_count(s, &count)) return nullptr;
        if (Py_TYPE(key) == &PySlice_Type) return slice_events(s, key, count);
        // Any integer-like object (bool, numpy integers) is an index; counting from the end is not
        // supported.
        long long index = -1;
        PyRef as_int(PyNumber_Index(key));
        if (as_int) index = PyLong_AsLongLong(as_int.get());
        if (!as_int || (index == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            PyErr_SetString(PyExc_TypeError, "index must be an int or a slice");
            return nullptr;
        }
        if (index < 0) return index_out_of_bounds();
        return parsed_event_at(s, std::uint64_t(index));
    });
}

PyObject* iter_events_new_object(PyObject* acq);

// Iteration works on a fresh copy of this object (same path, params and metadata object).
PyObject* acquisition_iter(PyObject* self) {
    return guarded([&]() -> PyObject* {
        auto* o = reinterpret_cast<AcquisitionObject*>(self);
        auto copy = std::make_unique<AcqState>(*o->state);
        PyRef acq(new_acquisition_object(std::move(copy), PyRef::borrow(o->metadata ? o->metadata : Py_None)));
        if (!acq) return nullptr;
        return iter_events_new_object(acq.get());
    });
}

PyType_Slot acquisition_slots[] = {
    {Py_tp_doc, const_cast<char*>("Pythonic wrapper around the [`crate::Acquisition`] class.")},
    {Py_tp_new, reinterpret_cast<void*>(acquisition_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(acquisition_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(acquisition_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(acquisition_clear)},
    {Py_tp_getset, acquisition_getset},
    {Py_tp_methods, acquisition_methods},
    {Py_mp_length, reinterpret_cast<void*>(acquisition_len)},
    {Py_mp_subscript, reinterpret_cast<void*>(acquisition_subscript)},
    {Py_tp_iter, reinterpret_cast<void*>(acquisition_iter)},
    {Py_tp_repr, reinterpret_cast<void*>(acquisition_repr)},
    {0, nullptr},
};

PyType_Spec acquisition_spec = {
    "Acquisition",
    int(sizeof(AcquisitionObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    acquisition_slots,
};

// ---------------------------------------------------------------------------------------------
// IterEvents

PyObject* iter_events_new_object(PyObject* acq) {
    PyTypeObject* type = iter_events_type();
    if (type == nullptr) return nullptr;
    PyObject* obj = type->tp_alloc(type, 0);
    if (obj == nullptr) return nullptr;
    auto* it = reinterpret_cast<IterEventsObject*>(obj);
    Py_INCREF(acq);
    it->acq = acq;
    it->index = 0;
    it->borrowed = false;
    return obj;
}

PyObject* iter_events_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* acq = nullptr;
        if (!bind_tuple(signature("IterEvents", kAcqParam), args, kwargs, &acq)) return nullptr;
        PyTypeObject* type = acquisition_type();
        if (type == nullptr) return nullptr;
        if (!PyObject_TypeCheck(acq, type)) {
            PyErr_Format(PyExc_TypeError, "argument 'acq': '%s' object cannot be converted to 'Acquisition'",
                         Py_TYPE(acq)->tp_name);
            return nullptr;
        }
        return iter_events_new_object(acq);
    });
}

// One step: the event at `index` by the rules of integer item access.
PyObject* iter_events_step(IterEventsObject* it) {
    const AcqState& s = state_of(it->acq);
    std::uint64_t count = 0;
    if (!event_count(s, &count)) return nullptr;
    if (it->index > std::uint64_t(std::numeric_limits<std::int64_t>::max())) {
        PyErr_SetString(PyExc_TypeError, "index must be an int or a slice");
        return nullptr;
    }
    return parsed_event_at(s, it->index);
}

PyObject* iter_events_next(PyObject* self) {
    auto* it = reinterpret_cast<IterEventsObject*>(self);
    // Building an event allocates, and an allocation can run a finalizer that calls next() on this
    // same iterator; the inner call is refused instead of reading the position twice.
    if (it->borrowed) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return nullptr;
    }
    it->borrowed = true;
    PyObject* event = guarded([&] { return iter_events_step(it); });
    it->borrowed = false;
    if (event != nullptr) {
        ++it->index;
        return event;
    }
    // A failed step ends the iteration without advancing: the next call tries the same event again.
    if (discardable_error()) PyErr_Clear();
    return nullptr;
}

int iter_events_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<IterEventsObject*>(self)->acq);
    return 0;
}

int iter_events_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<IterEventsObject*>(self)->acq);
    return 0;
}

void iter_events_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(reinterpret_cast<IterEventsObject*>(self)->acq);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* iter_events_next_checked(PyObject* self) {
    // After the garbage collector cleared a cycle through this iterator there is nothing to read.
    if (reinterpret_cast<IterEventsObject*>(self)->acq == nullptr) return nullptr;
    return iter_events_next(self);
}

PyType_Slot iter_events_slots[] = {
    {Py_tp_doc, const_cast<char*>("Iterator over events in an acquisition")},
    {Py_tp_new, reinterpret_cast<void*>(iter_events_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(iter_events_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(iter_events_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(iter_events_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(iter_events_next_checked)},
    {0, nullptr},
};

PyType_Spec iter_events_spec = {
    "IterEvents",
    int(sizeof(IterEventsObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    iter_events_slots,
};

PyTypeObject* iter_events_type() { return module_type(process_state().iter_events_type, iter_events_spec); }

// ---------------------------------------------------------------------------------------------
// Module functions

PyObject* is_acquisition_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* arg = nullptr;
        if (!bind_fastcall(signature("is_acquisition", kPathParam), args, nargs, kwnames, &arg)) return nullptr;
        std::string path;
        if (!to_path(arg, "path", &path)) return nullptr;
        return PyBool_FromLong(!path_names_no_file(path) && is_acquisition(path));
    });
}

PyObject* list_acquisitions_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* arg = nullptr;
        if (!bind_fastcall(signature("list_acquisitions", kRootParam), args, nargs, kwnames, &arg))
            return nullptr;
        std::string root;
        if (!to_path(arg, "root_dir", &root)) return nullptr;
        PyRef result(PyList_New(0));
        if (!result) return nullptr;
        if (path_names_no_file(root)) return result.release();
        for (const Acquisition& found : list_acquisitions(root)) {
            PyRef acq(construct(found.path().string()));
            if (!acq) {
                // An entry that cannot be opened is left out of the listing.
                if (!discardable_error()) return nullptr;
                PyErr_Clear();
                continue;
            }
            if (PyList_Append(result.get(), acq.get()) < 0) return nullptr;
        }
        return result.release();
    });
}

}  // namespace

PyTypeObject* acquisition_type() { return module_type(process_state().acquisition_type, acquisition_spec); }

bool to_acquisition(PyObject* obj, const char* param, std::optional<Acquisition>* out) {
    PyTypeObject* type = acquisition_type();
    if (type == nullptr) return false;
    if (!PyObject_TypeCheck(obj, type)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to 'Acquisition'",
                     param, Py_TYPE(obj)->tp_name);
        return false;
    }
    out->emplace(state_of(obj).acq);
    return true;
}

PyMethodDef list_acquisitions_def = {
    "list_acquisitions", as_cfunction(list_acquisitions_fn), kFastCallFlags,
    "list_acquisitions(root_dir)\n--\n\nList all acquisitions in a directory."};

PyMethodDef is_acquisition_def = {
    "is_acquisition", as_cfunction(is_acquisition_fn), kFastCallFlags,
    "is_acquisition(path)\n--\n\nCheck if a folder is a valid acquisition."};

}  // namespace brimo::py
