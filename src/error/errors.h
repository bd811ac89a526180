// The four error enumerations of the library and their fixed message texts. These texts are part of
// the module's visible behaviour: the Python layer puts them, unchanged, after a fixed prefix.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace brimo {

// ---------------------------------------------------------------------------------------------
// AcquisitionError: the acquisition store. Only ReadFailed carries data (a text).
enum class AcquisitionErrorKind : std::uint8_t {
    InvalidPath = 0,
    AlreadyExists = 1,
    CreateFailed = 2,
    ReadFailed = 3,
    IndexOutOfBounds = 4,
    ChunkCapacityExceeded = 5,
    WriteFailed = 6,
    MissingMetadata = 7,
    MetadataAlreadyWritten = 8,
    InvalidMetadata = 9,
    NoSuchMiscData = 10,
    Unknown = 11,
};

struct AcquisitionError {
    AcquisitionErrorKind kind = AcquisitionErrorKind::Unknown;
    std::string text;  // ReadFailed only

    static AcquisitionError read_failed(std::string t) {
        return {AcquisitionErrorKind::ReadFailed, std::move(t)};
    }
    // The message shown to users; for ReadFailed the fixed prefix followed by the carried text.
    std::string message() const;
    bool operator==(const AcquisitionError&) const = default;
};

inline AcquisitionError acq_error(AcquisitionErrorKind k) { return {k, {}}; }

// ---------------------------------------------------------------------------------------------
// ParsingError: event parsers. One byte, no data.
enum class ParsingError : std::uint8_t {
    InvalidParameters = 0,
    UnexpectedLength = 1,
    InvalidChannel = 2,
    InvalidWindowLabel = 3,
    MissingData = 4,
    EmptyPackage = 5,
    UnsupportedModel = 6,
    Unknown = 7,
};

std::string_view message(ParsingError e);

// ---------------------------------------------------------------------------------------------
// MetadataError: reading metadata.yml. Deserialize carries the YAML library's error text, which is
// never shown (the message is the fixed text alone).
enum class MetadataErrorKind : std::uint8_t {
    InvalidFormat = 0,
    Unreadable = 1,
    Deserialize = 2,
};

struct MetadataError {
    MetadataErrorKind kind = MetadataErrorKind::InvalidFormat;
    std::string yaml_error;  // Deserialize only; kept for debugging, never displayed

    static MetadataError deserialize(std::string why) {
        return {MetadataErrorKind::Deserialize, std::move(why)};
    }
    std::string_view message() const;
};

// ---------------------------------------------------------------------------------------------
// ExportError: the CSV export. None of the messages shows the carried value.
enum class ExportErrorKind : std::uint8_t {
    InvalidPath = 0,
    AccessDenied = 1,
    InvalidFormat = 2,
    InvalidOptions = 3,
    Csv = 4,
    Parsing = 5,
    AcquisitionAccess = 6,
    Unknown = 7,
};

struct ExportError {
    ExportErrorKind kind = ExportErrorKind::Unknown;
    std::string csv_error;                          // Csv: the writer's error description
    ParsingError parsing = ParsingError::Unknown;   // Parsing
    MetadataError metadata;                         // AcquisitionAccess

    static ExportError of(ExportErrorKind k) { return ExportError{k, {}, ParsingError::Unknown, {}}; }
    static ExportError csv(std::string why) { return ExportError{ExportErrorKind::Csv, std::move(why), ParsingError::Unknown, {}}; }
    static ExportError from_parsing(ParsingError e) { return ExportError{ExportErrorKind::Parsing, {}, e, {}}; }
    // Reading the metadata during an export failed.
    static ExportError from_metadata(MetadataError e) {
        return ExportError{ExportErrorKind::AcquisitionAccess, {}, ParsingError::Unknown, std::move(e)};
    }
    // An operating-system error number (errno) seen while opening or writing an output file:
    // not found -> InvalidPath, permission denied -> AccessDenied, anything else -> Unknown.
    static ExportError from_errno(int err);

    std::string_view message() const;
};

// ---------------------------------------------------------------------------------------------
// The one error type of the core's failures that are told by a text alone: a gzip stream or a
// pickle that cannot be decoded, a pedestal table of the wrong shape, a violated internal invariant.
// None is one of the four error values above; each caller decides what it becomes at its edge.
struct Error {
    std::string what;
};

// A violated internal invariant (for example a path without a final component when the acquisition
// name is asked for): it aborts the operation and reaches Python as an exception derived from
// BaseException.
using InternalError = Error;

// The operating system's description of an errno value in the form "Permission denied (os error 13)".
std::string os_error_text(int err);

}  // namespace brimo
