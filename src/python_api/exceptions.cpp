#include "python_api/exceptions.h"

#include <string>
#include <string_view>

#include "python_api/py_ref.h"
#include "python_api/state.h"

namespace brimo::py {
namespace {

// The module's own exception types. Each is created on first use, by the interpreter's
// new-exception call with a qualified name ("acquisition.ParsingError": __module__ "acquisition",
// __name__ "ParsingError"), base Exception, no docstring and no class dictionary, and kept for the
// life of the process. None of them is a module attribute.
enum TypeSlot { FullChunk, Metadata, Parsing, Export, Internal, SlotCount };
static_assert(SlotCount == sizeof(ProcessState::exception_types) / sizeof(PyObject*));

constexpr const char* kTypeNames[SlotCount] = {
    "acquisition.FullChunkError",
    "acquisition.MetadataError",
    "acquisition.ParsingError",
    "acquisition.ExportError",
    "brimoacq.InternalError",
};

constexpr const char* kInternalDoc =
    "A violated internal invariant of brimoacq ended the operation. Derived from BaseException so "
    "that `except Exception` does not hide it.";

// Borrowed reference to the type of `slot`, created if needed; nullptr with a Python error set when
// the interpreter refuses to create it.
PyObject* exception_type(TypeSlot slot) {
    PyObject*(&types)[SlotCount] = process_state().exception_types;
    if (types[slot] != nullptr) return types[slot];
    PyObject* created =
        slot == Internal
            ? PyErr_NewExceptionWithDoc(kTypeNames[slot], kInternalDoc, PyExc_BaseException, nullptr)
            : PyErr_NewException(kTypeNames[slot], PyExc_Exception, nullptr);
    if (created == nullptr) return nullptr;
    // Creating a type can run Python code and let another thread in; the first type stored wins.
    if (types[slot] == nullptr) {
        types[slot] = created;
    } else {
        Py_DECREF(created);
    }
    return types[slot];
}

// The message as the exception's one argument. Texts that come from the operating system need not be
// valid UTF-8; undecodable bytes are replaced rather than turning the error into a UnicodeDecodeError.
void set_message(PyObject* type, std::string_view message) noexcept {
    PyRef text(PyUnicode_DecodeUTF8(message.data(), Py_ssize_t(message.size()), "replace"));
    if (!text) return;
    PyErr_SetObject(type, text.get());
}

PyObject* raise_with(TypeSlot slot, const std::string& message) {
    PyObject* type = exception_type(slot);
    if (type == nullptr) {
        PyErr_Clear();
        set_internal_error("Failed to initialize new exception type.");
        return nullptr;
    }
    set_message(type, message);
    return nullptr;
}

PyObject* raise_builtin(PyObject* type, const std::string& message) {
    set_message(type, message);
    return nullptr;
}

}  // namespace

void set_internal_error(const char* message) noexcept {
    PyObject* type = exception_type(Internal);
    if (type == nullptr) {
        // Without its own type the error still must not pass for an ordinary Exception.
        PyErr_Clear();
        type = PyExc_SystemError;
    }
    set_message(type, message);
}

bool internal_error_pending() {
    PyObject* internal = process_state().exception_types[Internal];
    return internal != nullptr && PyErr_ExceptionMatches(internal);
}

PyObject* raise_error(const AcquisitionError& e) {
    using K = AcquisitionErrorKind;
    const std::string message = e.message();
    switch (e.kind) {
        case K::InvalidPath: return raise_builtin(PyExc_FileNotFoundError, message);
        case K::AlreadyExists: return raise_builtin(PyExc_FileExistsError, message);
        case K::IndexOutOfBounds: return raise_builtin(PyExc_IndexError, message);
        case K::ChunkCapacityExceeded: return raise_with(FullChunk, message);
        case K::MissingMetadata:
        case K::MetadataAlreadyWritten: return raise_with(Metadata, message);
        case K::InvalidMetadata:
        case K::NoSuchMiscData: return raise_builtin(PyExc_ValueError, message);
        case K::CreateFailed:
        case K::ReadFailed:
        case K::WriteFailed:
        case K::Unknown: break;
    }
    return raise_builtin(PyExc_OSError, message);
}

PyObject* raise_error(ParsingError e) {
    return raise_with(Parsing, std::string(kParsingPrefix) + std::string(message(e)));
}

PyObject* raise_error(const MetadataError& e) {
    return raise_with(Metadata, std::string(kMetadataPrefix) + std::string(e.message()));
}

PyObject* raise_error(const ExportError& e) {
    return raise_with(Export, std::string(kExportPrefix) + std::string(e.message()));
}

PyObject* raise_error(const InternalError& e) {
    set_internal_error(e.what.c_str());
    return nullptr;
}

}  // namespace brimo::py
