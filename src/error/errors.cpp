#include "error/errors.h"

#include <cerrno>
#include <cstring>

namespace brimo {

std::string AcquisitionError::message() const {
    switch (kind) {
        case AcquisitionErrorKind::InvalidPath: return "Invalid path";
        case AcquisitionErrorKind::AlreadyExists: return "Acquisition already exists";
        case AcquisitionErrorKind::CreateFailed: return "Could not create acquisition";
        case AcquisitionErrorKind::ReadFailed: return "Could not read acquisition: " + text;
        case AcquisitionErrorKind::IndexOutOfBounds: return "Index out of bounds";
        case AcquisitionErrorKind::ChunkCapacityExceeded: return "Chunk capacity exceeded";
        case AcquisitionErrorKind::WriteFailed: return "Failed to write data";
        case AcquisitionErrorKind::MissingMetadata: return "Acquisition is missing metadata";
        case AcquisitionErrorKind::MetadataAlreadyWritten: return "Cannot write metadata twice";
        case AcquisitionErrorKind::InvalidMetadata: return "Invalid metadata";
        case AcquisitionErrorKind::NoSuchMiscData: return "No such misc data";
        case AcquisitionErrorKind::Unknown: return "Unknown error";
    }
    return "Unknown error";
}

std::string_view message(ParsingError e) {
    switch (e) {
        case ParsingError::InvalidParameters: return "provided parameters are invalid";
        case ParsingError::UnexpectedLength: return "unexpected length of data";
        case ParsingError::InvalidChannel: return "invalid channel number";
        case ParsingError::InvalidWindowLabel: return "invalid window label";
        case ParsingError::MissingData: return "required data missing when parsing";
        case ParsingError::EmptyPackage: return "Encountered an empty Package which can't be parsed";
        case ParsingError::UnsupportedModel: return "data is from an unsupported board model";
        case ParsingError::Unknown: return "unknown";
    }
    return "unknown";
}

std::string_view MetadataError::message() const {
    switch (kind) {
        case MetadataErrorKind::InvalidFormat:
        case MetadataErrorKind::Unreadable: return "invalid metadata format";
        case MetadataErrorKind::Deserialize: return "failed to serialized";
    }
    return "invalid metadata format";
}

std::string_view ExportError::message() const {
    switch (kind) {
        case ExportErrorKind::InvalidPath: return "invalid path";
        case ExportErrorKind::AccessDenied: return "file access was denied";
        case ExportErrorKind::InvalidFormat: return "invalid format";
        case ExportErrorKind::InvalidOptions: return "specified options are invalid for the data being exported";
        case ExportErrorKind::Csv: return "error occurred while exporting as csv";
        case ExportErrorKind::Parsing: return "error occurred while parsing";
        case ExportErrorKind::AcquisitionAccess: return "error occurred while accessing acquisition";
        case ExportErrorKind::Unknown: return "unknown";
    }
    return "unknown";
}

ExportError ExportError::from_errno(int err) {
    switch (err) {
        case ENOENT: return of(ExportErrorKind::InvalidPath);
        case EACCES:
        case EPERM: return of(ExportErrorKind::AccessDenied);
        default: return of(ExportErrorKind::Unknown);
    }
}

std::string os_error_text(int err) {
    char buf[256];
    // GNU strerror_r returns a pointer that may or may not be buf.
    const char* s = strerror_r(err, buf, sizeof buf);
    return std::string(s) + " (os error " + std::to_string(err) + ")";
}

}  // namespace brimo
