// The error-correcting code of vombel96 sample words, for Python.
#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "ecc/vombel96.h"
#include "python_api/args.h"
#include "python_api/fastcall.h"
#include "python_api/functions.h"
#include "python_api/py_ref.h"

namespace brimo::py {
namespace {

const char* const kDataParam[] = {"data"};
const char* const kSyndromeParam[] = {"s"};
const char* const kRawBytesParam[] = {"raw_bytes"};

// Every number handed back is non-negative; the interpreter returns its shared objects for the
// small ones (syndrome bits, parities, bit indices), so those cost no allocation.
PyObject* new_int(unsigned long long v) { return PyLong_FromUnsignedLongLong(v); }

// The packet argument of ecc_check and ecc_correct, as a span of bytes. A buffer of bytes (bytes,
// bytearray, memoryview, ...) is read in place through the buffer protocol and released when this
// goes out of scope, whichever way that happens; any other sequence is converted element by element,
// each element an integer 0..255.
class PacketArg {
public:
    PacketArg() = default;
    PacketArg(const PacketArg&) = delete;
    PacketArg& operator=(const PacketArg&) = delete;
    ~PacketArg() {
        if (held_) PyBuffer_Release(&view_);
    }

    bool convert(PyObject* obj, const char* param) {
        if (PyUnicode_Check(obj)) {
            PyErr_Format(PyExc_TypeError, "argument '%s': Can't extract `str` to `Vec`", param);
            return false;
        }
        if (PyObject_CheckBuffer(obj)) {
            // Asking for the full description (shape, strides) rather than a plain block lets us
            // see ourselves whether the memory is one contiguous run of bytes: some interpreters hand
            // out the base pointer of a strided memoryview even for a plain-block request.
            if (PyObject_GetBuffer(obj, &view_, PyBUF_FULL_RO) == 0) {
                held_ = true;
                // Only a contiguous buffer of single bytes is the packet itself; a buffer of wider
                // items (array('H'), a cast memoryview) or a strided view is read as the sequence of
                // its integers, which must each fit in a byte.
                if (view_.itemsize == 1 && PyBuffer_IsContiguous(&view_, 'C')) {
                    bytes_ = {static_cast<const std::uint8_t*>(view_.buf), std::size_t(view_.len)};
                    return true;
                }
                PyBuffer_Release(&view_);
                held_ = false;
            } else {
                // An exporter that cannot give one contiguous block (a strided memoryview) is
                // still a sequence of integers.
                if (!PyErr_ExceptionMatches(PyExc_BufferError)) return false;
                PyErr_Clear();
            }
        }
        if (!to_byte_vector(obj, param, &copy_)) return false;
        bytes_ = copy_;
        return true;
    }

    std::span<const std::uint8_t> bytes() const { return bytes_; }

private:
    Py_buffer view_{};
    bool held_ = false;
    std::vector<std::uint8_t> copy_;
    std::span<const std::uint8_t> bytes_;
};

void raise_ecc_error(const ecc::EccError& e) {
    PyObject* type = e.kind == ecc::EccErrorKind::OutOfMemory ? PyExc_MemoryError : PyExc_ValueError;
    PyErr_SetString(type, e.message().c_str());
}

// One record as the tuple (channel_offset, packet_offset, raw_word, corrected_word, bit_index, parity).
PyObject* record_tuple(const ecc::EccRecord& r) {
    PyRef t(PyTuple_New(6));
    if (!t) return nullptr;
    PyRef raw(new_int(r.raw_word));
    if (!raw) return nullptr;
    // An unchanged word (every record but a single error) shares the raw word's object.
    PyRef corrected(r.corrected_word == r.raw_word ? PyRef::borrow(raw.get())
                                                   : PyRef(new_int(r.corrected_word)));
    PyObject* items[6] = {new_int(r.channel_offset), new_int(r.packet_offset), raw.release(),
                          corrected.release(), new_int(r.bit_index), new_int(r.parity)};
    bool ok = true;
    for (Py_ssize_t i = 0; i < 6; ++i) {
        if (items[i] == nullptr) ok = false;
        PyTuple_SET_ITEM(t.get(), i, items[i]);  // a null item is allowed until the tuple is dropped
    }
    return ok ? t.release() : nullptr;
}

PyObject* syndrome_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = signature("syndrome", kDataParam);
    PyObject* arg = nullptr;
    std::uint16_t word = 0;
    if (!bind_fastcall(sig, args, nargs, kwnames, &arg) || !to_u16(arg, sig.params[0], &word)) return nullptr;
    const auto s = ecc::syndrome(word);
    PyRef list(PyList_New(Py_ssize_t(s.size())));
    if (!list) return nullptr;
    for (std::size_t k = 0; k < s.size(); ++k) {
        PyObject* bit = new_int(s[k]);
        if (bit == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), Py_ssize_t(k), bit);
    }
    return list.release();
}

PyObject* global_parity_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = signature("global_parity", kDataParam);
    PyObject* arg = nullptr;
    std::uint16_t word = 0;
    if (!bind_fastcall(sig, args, nargs, kwnames, &arg) || !to_u16(arg, sig.params[0], &word)) return nullptr;
    return new_int(ecc::global_parity(word));
}

PyObject* syndrome_to_index_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = signature("syndrome_to_index", kSyndromeParam);
    PyObject* arg = nullptr;
    std::array<std::uint8_t, 4> s{};
    if (!bind_fastcall(sig, args, nargs, kwnames, &arg) || !to_u8_array(arg, sig.params[0], s.size(), s.data()))
        return nullptr;
    const auto bit = ecc::syndrome_to_index(s);
    if (!bit) Py_RETURN_NONE;
    return new_int(*bit);
}

PyObject* ecc_check_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = signature("ecc_check", kRawBytesParam);
    PyObject* arg = nullptr;
    PacketArg packet;
    if (!bind_fastcall(sig, args, nargs, kwnames, &arg) || !packet.convert(arg, sig.params[0])) return nullptr;
    // The interpreter lock stays held: the pool's workers read only the packet's bytes, which
    // nothing can change or free while this call holds the lock and the buffer.
    auto records = ecc::ecc_check(packet.bytes());
    if (!records) {
        raise_ecc_error(records.error());
        return nullptr;
    }
    PyRef list(PyList_New(Py_ssize_t(records->size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < records->size(); ++i) {
        PyObject* t = record_tuple((*records)[i]);
        if (t == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), Py_ssize_t(i), t);
    }
    return list.release();
}

PyObject* ecc_correct_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = signature("ecc_correct", kRawBytesParam);
    PyObject* arg = nullptr;
    PacketArg packet;
    if (!bind_fastcall(sig, args, nargs, kwnames, &arg) || !packet.convert(arg, sig.params[0])) return nullptr;
    const auto input = packet.bytes();
    // Refuse a bad length before copying anything.
    if (const auto chips = ecc::chip_blocks(input.size()); !chips) {
        raise_ecc_error(chips.error());
        return nullptr;
    }
    // The copy is the new bytearray itself, corrected in place; the caller's object is only read.
    PyRef out(PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(input.data()), Py_ssize_t(input.size())));
    if (!out) return nullptr;
    const std::span<std::uint8_t> copy(reinterpret_cast<std::uint8_t*>(PyByteArray_AS_STRING(out.get())),
                                       std::size_t(PyByteArray_GET_SIZE(out.get())));
    if (auto r = ecc::correct_in_place(copy); !r) {
        raise_ecc_error(r.error());
        return nullptr;
    }
    return out.release();
}

PyObject* syndrome_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] { return syndrome_impl(args, nargs, kwnames); });
}

PyObject* global_parity_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] { return global_parity_impl(args, nargs, kwnames); });
}

PyObject* syndrome_to_index_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] { return syndrome_to_index_impl(args, nargs, kwnames); });
}

PyObject* ecc_check_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] { return ecc_check_impl(args, nargs, kwnames); });
}

PyObject* ecc_correct_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] { return ecc_correct_impl(args, nargs, kwnames); });
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
