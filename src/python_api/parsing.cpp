#include "python_api/parsing.h"

#include <cmath>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "parsing/models.h"
#include "python_api/exceptions.h"
#include "python_api/py_ref.h"
#include "python_api/state.h"

namespace brimo::py {
namespace {

// Process-wide tables of the Python ints and floats with the values 0 to 65535, built on first use.
// Window labels and time values are 16-bit, and raw samples are masked bit fields of 16-bit words, so
// nearly every number of an event is one of these values; sharing one immutable object per value
// turns the creation of hundreds of thousands of objects per event into reference-count increments.
constexpr std::size_t kTableSize = 65536;

PyObject** build_table(PyObject**& cache, PyObject* (*make)(std::size_t)) {
    if (cache != nullptr) return cache;
    auto* table = static_cast<PyObject**>(PyMem_Calloc(kTableSize, sizeof(PyObject*)));
    if (table == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    for (std::size_t v = 0; v < kTableSize; ++v) {
        table[v] = make(v);
        if (table[v] == nullptr) {
            for (std::size_t k = 0; k < v; ++k) Py_DECREF(table[k]);
            PyMem_Free(table);
            return nullptr;
        }
    }
    cache = table;
    return table;
}

PyObject** small_int_table() {
    return build_table(process_state().small_ints, [](std::size_t v) { return PyLong_FromLong(long(v)); });
}

PyObject** small_float_table() {
    return build_table(process_state().small_floats, [](std::size_t v) { return PyFloat_FromDouble(double(v)); });
}

// One new list of `items.size()` objects made by `make`, created at its final length and filled by
// index. nullptr with the Python error set if an object cannot be made.
template <class T, class Make>
PyObject* list_of(const std::vector<T>& items, Make&& make) {
    PyRef list(PyList_New(Py_ssize_t(items.size())));
    if (!list) return nullptr;
    PyObject* raw = list.get();
    const std::size_t n = items.size();
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* item = make(items[i]);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(raw, Py_ssize_t(i), item);
    }
    return list.release();
}

// Per-channel sequences: a list with one inner list per channel.
template <class T, class Make>
PyObject* nested_list(const std::vector<std::vector<T>>& channels, Make&& make) {
    return list_of(channels, [&](const std::vector<T>& ch) { return list_of(ch, make); });
}

PyObject* samples_to_list(const std::vector<std::vector<float>>& data) {
    PyObject** table = small_float_table();
    if (table == nullptr) return nullptr;
    // The 32-bit sample widened exactly to a double: a whole number from 0 to 65535 (but not -0.0)
    // is the shared float of that value, anything else a new float.
    return nested_list(data, [table](float f) -> PyObject* {
        if (f >= 0.0f && f < float(kTableSize)) {
            const auto whole = static_cast<std::uint32_t>(f);
            if (float(whole) == f && !(whole == 0 && std::signbit(f))) {
                Py_INCREF(table[whole]);
                return table[whole];
            }
        }
        return PyFloat_FromDouble(double(f));
    });
}

PyObject* u16_to_list(const std::vector<std::vector<std::uint16_t>>& values) {
    PyObject** table = small_int_table();
    if (table == nullptr) return nullptr;
    return nested_list(values, [table](std::uint16_t v) {
        PyObject* o = table[v];
        Py_INCREF(o);
        return o;
    });
}

PyObject* u32_to_list(const std::vector<std::vector<std::uint32_t>>& values) {
    PyObject** table = small_int_table();
    if (table == nullptr) return nullptr;
    return nested_list(values, [table](std::uint32_t v) -> PyObject* {
        if (v < kTableSize) {
            Py_INCREF(table[v]);
            return table[v];
        }
        return PyLong_FromUnsignedLong(v);
    });
}

PyObject* ecc_errors_to_list(const std::vector<std::vector<EccErrorRecord>>& errors) {
    return nested_list(errors, [](const EccErrorRecord& e) -> PyObject* {
        PyRef tuple(PyTuple_New(5));
        if (!tuple) return nullptr;
        PyObject* fields[5] = {
            PyLong_FromUnsignedLongLong(e.channel_offset), PyLong_FromUnsignedLongLong(e.packet_offset),
            small_int(e.raw_word), small_int(e.corrected_word), small_int(e.bit_index)};
        bool ok = true;
        for (int i = 0; i < 5; ++i) {
            if (fields[i] == nullptr) {
                ok = false;
                continue;
            }
            PyTuple_SET_ITEM(tuple.get(), i, fields[i]);
        }
        return ok ? tuple.release() : nullptr;
    });
}

constexpr const char* kKeys[5] = {"data", "window_labels", "time", "timing", "ecc_errors"};

template <class Event>
PyObject* event_to_dict(const Event& event) {
    PyRef values[5];
    values[0] = PyRef(samples_to_list(event.data));
    if (!values[0]) return nullptr;
    values[1] = PyRef(u16_to_list(event.window_labels));
    if (!values[1]) return nullptr;
    values[2] = PyRef(u16_to_list(event.time));
    if (!values[2]) return nullptr;
    if constexpr (Event::has_timing) {
        values[3] = PyRef(u32_to_list(event.timing));
        if (!values[3]) return nullptr;
    } else {
        values[3] = PyRef::borrow(Py_None);
    }
    if constexpr (Event::has_ecc) {
        values[4] = PyRef(ecc_errors_to_list(event.ecc_errors));
        if (!values[4]) return nullptr;
    } else {
        values[4] = PyRef::borrow(Py_None);
    }
    PyRef dict(PyDict_New());
    if (!dict) return nullptr;
    for (int i = 0; i < 5; ++i)
        if (PyDict_SetItemString(dict.get(), kKeys[i], values[i].get()) < 0) return nullptr;
    return dict.release();
}

}  // namespace

namespace {

// {"model" value: {layout key: default}} for every model value, from the parsers' own tables.
PyObject* layout_defaults(PyObject*, PyObject*) {
    PyRef out(PyDict_New());
    if (!out) return nullptr;
    for (const ModelNames& row : kModels) {
        PyRef keys(PyDict_New());
        if (!keys) return nullptr;
        for (const LayoutKey& k : layout_keys(row.model)) {
            PyRef value(PyLong_FromUnsignedLongLong(k.default_value));
            if (!value) return nullptr;
            PyRef key(PyUnicode_FromStringAndSize(k.key.data(), static_cast<Py_ssize_t>(k.key.size())));
            if (!key || PyDict_SetItem(keys.get(), key.get(), value.get()) < 0) return nullptr;
        }
        for (std::string_view name : row.names) {
            if (name.empty()) continue;
            PyRef copy(PyDict_Copy(keys.get()));
            if (!copy || PyDict_SetItemString(out.get(), std::string(name).c_str(), copy.get()) < 0) return nullptr;
        }
    }
    return out.release();
}

}  // namespace

PyMethodDef layout_defaults_def = {
    "_layout_defaults", layout_defaults, METH_NOARGS,
    "_layout_defaults()\n--\n\nThe layout keys of each model value and the values used when params do not give "
    "them, as {model: {key: default}}. For the tools that write packets in each model's layout."};

PyObject* small_int(std::uint16_t v) {
    PyObject** table = small_int_table();
    if (table == nullptr) return nullptr;
    Py_INCREF(table[v]);
    return table[v];
}

PyObject* parse_to_dict(const Params& params, std::vector<std::uint8_t> raw) {
    const auto model = model_from_name(params.model);
    if (!model) return raise_error(ParsingError::UnsupportedModel);
    return visit_model(*model, [&](auto tag) -> PyObject* {
        using Event = typename decltype(tag)::type;
        auto parsed = parse_into<Event>(Bytes(raw.data(), raw.size()), params);
        std::vector<std::uint8_t>().swap(raw);
        if (!parsed) return raise_error(parsed.error());
        return event_to_dict(parsed.value());
    });
}

}  // namespace brimo::py
