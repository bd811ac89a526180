#include "python_api/parsing.h"

#include <span>
#include <type_traits>
#include <utility>

#include "parsing/framework.h"
#include "python_api/exceptions.h"
#include "python_api/py_ref.h"

namespace brimo::py {
namespace {

constexpr std::size_t kSmallInts = 65536;
PyObject** g_small_ints = nullptr;

PyObject** small_int_table() {
    if (g_small_ints != nullptr) return g_small_ints;
    auto* table = static_cast<PyObject**>(PyMem_Calloc(kSmallInts, sizeof(PyObject*)));
    if (table == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    for (std::size_t v = 0; v < kSmallInts; ++v) {
        table[v] = PyLong_FromLong(long(v));
        if (table[v] == nullptr) {
            for (std::size_t k = 0; k < v; ++k) Py_DECREF(table[k]);
            PyMem_Free(table);
            return nullptr;
        }
    }
    g_small_ints = table;
    return table;
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
    // The 32-bit sample widened exactly to a double.
    return nested_list(data, [](float f) { return PyFloat_FromDouble(double(f)); });
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
        if (v < kSmallInts) {
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
    if constexpr (std::is_same_v<Event, Lanwev1Event>) {
        values[3] = PyRef(u32_to_list(event.timing));
        if (!values[3]) return nullptr;
    } else {
        values[3] = PyRef::borrow(Py_None);
    }
    if constexpr (std::is_same_v<Event, Vombel96Event>) {
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
