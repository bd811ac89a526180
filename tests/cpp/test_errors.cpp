#include <gtest/gtest.h>

#include <cerrno>

#include "error/errors.h"

using namespace brimo;

TEST(Errors, AcquisitionMessages) {
    EXPECT_EQ(AcquisitionError::read_failed("failed to read metadata").message(),
              "Could not read acquisition: failed to read metadata");
    EXPECT_EQ(acq_error(AcquisitionErrorKind::IndexOutOfBounds).message(), "Index out of bounds");
    EXPECT_EQ(acq_error(AcquisitionErrorKind::NoSuchMiscData).message(), "No such misc data");
    EXPECT_EQ(acq_error(AcquisitionErrorKind::ChunkCapacityExceeded).message(), "Chunk capacity exceeded");
}

TEST(Errors, ParsingMessages) {
    EXPECT_EQ(message(ParsingError(5)), "Encountered an empty Package which can't be parsed");
    EXPECT_EQ(message(ParsingError::UnsupportedModel), "data is from an unsupported board model");
    EXPECT_EQ(message(ParsingError::UnexpectedLength), "unexpected length of data");
}

TEST(Errors, MetadataMessagesHideYamlError) {
    EXPECT_EQ(MetadataError::deserialize("mapping values are not allowed here").message(), "failed to serialized");
    EXPECT_EQ((MetadataError{MetadataErrorKind::Unreadable, {}}).message(), "invalid metadata format");
}

TEST(Errors, ExportFromOsError) {
    struct Case { int err; ExportErrorKind kind; const char* text; };
    for (const Case& c : {Case{ENOENT, ExportErrorKind::InvalidPath, "invalid path"},
                          Case{EACCES, ExportErrorKind::AccessDenied, "file access was denied"},
                          Case{ENOSPC, ExportErrorKind::Unknown, "unknown"}}) {
        ExportError e = ExportError::from_errno(c.err);
        EXPECT_EQ(e.kind, c.kind);
        EXPECT_EQ(e.message(), c.text);
    }
    ExportError m = ExportError::from_metadata(MetadataError::deserialize("x"));
    EXPECT_EQ(m.kind, ExportErrorKind::AcquisitionAccess);
    EXPECT_EQ(m.metadata.kind, MetadataErrorKind::Deserialize);
    EXPECT_EQ(m.message(), "error occurred while accessing acquisition");
}

TEST(Errors, OsErrorText) { EXPECT_EQ(os_error_text(EACCES), "Permission denied (os error 13)"); }
