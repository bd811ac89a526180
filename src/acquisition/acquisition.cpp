#include "acquisition/acquisition.h"

#include <unistd.h>

#include <cerrno>
#include <optional>

#include "acquisition/chunk.h"
#include "acquisition/util.h"
#include "io/unique_fd.h"

namespace brimo {

namespace {

// metadata.yml is a few kilobytes of text; the bound only stops a device or FIFO under that name
// from being read forever.
constexpr std::size_t kMaxMetadataBytes = std::size_t(16) << 20;
// Calibration files hold tables of a few megabytes at most; same purpose.
constexpr std::size_t kMaxMiscDataBytes = std::size_t(1) << 30;

}  // namespace

const char* misc_data_file_name(MiscDataKind kind) {
    switch (kind) {
        case MiscDataKind::ReadoutMetadata: return "readout_metadata";
        case MiscDataKind::PedestalsCalibration: return "pedestals_calibration";
        case MiscDataKind::TimingCalibration: return "timing_calibration";
        case MiscDataKind::Adc2MvCalibration: return "adc2mv_calibration";
    }
    return "readout_metadata";
}

Result<Acquisition, AcquisitionError> Acquisition::open(std::filesystem::path path) {
    if (!is_acquisition(path)) return err(acq_error(AcquisitionErrorKind::InvalidPath));
    return Acquisition(std::move(path));
}

Result<std::string, InternalError> Acquisition::name() const { return final_path_name(path_); }

Result<std::string, InternalError> Acquisition::file_name() const { return final_path_component(path_); }

Result<std::string, AcquisitionError> Acquisition::metadata_str() const {
    std::string text;
    if (!read_whole_file(path_ / "metadata.yml", kMaxMetadataBytes, text) || !is_valid_utf8(text))
        return err(AcquisitionError::read_failed("failed to read metadata"));
    return text;
}

Result<Metadata, MetadataError> Acquisition::metadata() const {
    auto text = metadata_str();
    if (!text) return err(MetadataError{MetadataErrorKind::Unreadable, {}});
    return parse_metadata(*text);
}

Result<MiscData, AcquisitionError> Acquisition::misc_data(MiscDataKind kind) const {
    MiscData out{{}, kind};
    if (auto read = read_whole_file(path_ / misc_data_file_name(kind), kMaxMiscDataBytes, out.data); !read) {
        if (read.error().err_no == ENOENT) return err(acq_error(AcquisitionErrorKind::NoSuchMiscData));
        return err(AcquisitionError::read_failed(os_error_text(read.error().err_no)));
    }
    return out;
}

std::uint64_t Acquisition::chunk_count() const {
    // The directory is opened once per operation: every chunk file is opened relative to it instead
    // of resolving the whole path again.
    const auto dir = open_directory(path_);
    if (!dir) return 0;
    const uid_t euid = ::geteuid();
    std::uint64_t n = 0;
    // A gap in the numbering hides every chunk after it.
    while (ReadChunkFile::stat_event_count(dir->get(), n, euid) || ReadChunkFile::open_at(dir->get(), n)) ++n;
    return n;
}

Result<std::uint64_t, AcquisitionError> Acquisition::len() const {
    const auto dir = open_directory(path_);
    if (!dir) return std::uint64_t(0);
    const uid_t euid = ::geteuid();
    std::uint64_t total = 0;
    for (std::uint64_t n = 0;; ++n) {
        auto count = [&]() -> std::optional<Result<std::uint64_t, AcquisitionError>> {
            if (auto c = ReadChunkFile::stat_event_count(dir->get(), n, euid)) return *c;
            auto chunk = ReadChunkFile::open_at(dir->get(), n);
            if (!chunk) return std::nullopt;
            return chunk->event_count();
        }();
        if (!count) break;
        BRIMO_ASSIGN_OR_RETURN(const std::uint64_t events, *std::move(count));
        // Saturate: only sparse files of absurd size could get here, and a wrapped sum would lie.
        total = events > UINT64_MAX - total ? UINT64_MAX : total + events;
    }
    return total;
}

Result<std::vector<std::uint8_t>, AcquisitionError> Acquisition::get(std::uint64_t index) const {
    // The walk starts at chunk 0 on every call: chunks may have been added or grown since the last.
    const auto dir = open_directory(path_);
    if (!dir) return err(acq_error(AcquisitionErrorKind::IndexOutOfBounds));
    // A chunk that is passed over only needs its event count, read from the files' metadata where
    // that gives the same answer as opening them; the chunk that holds the event is opened.
    const uid_t euid = ::geteuid();
    std::uint64_t remaining = index;
    for (std::uint64_t n = 0;; ++n) {
        if (const auto passed = ReadChunkFile::stat_event_count(dir->get(), n, euid); passed && remaining >= *passed) {
            remaining -= *passed;
            continue;
        }
        auto chunk = ReadChunkFile::open_at(dir->get(), n);
        if (!chunk) return err(acq_error(AcquisitionErrorKind::IndexOutOfBounds));
        BRIMO_ASSIGN_OR_RETURN(const std::uint64_t count, chunk->event_count());
        if (remaining < count) return chunk->get(remaining);
        remaining -= count;
    }
}

}  // namespace brimo
