// An acquisition directory: "metadata.yml", chunk files 0.bin/0.idx, 1.bin/1.idx, ... and optional
// calibration files. The value holds only the path; every operation goes to the files again.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "acquisition/metadata.h"
#include "error/errors.h"
#include "error/result.h"

namespace brimo {

enum class MiscDataKind : std::uint8_t {
    ReadoutMetadata = 0,       // "readout_metadata"
    PedestalsCalibration = 1,  // "pedestals_calibration"
    TimingCalibration = 2,     // "timing_calibration"
    Adc2MvCalibration = 3,     // "adc2mv_calibration"
};

const char* misc_data_file_name(MiscDataKind kind);

struct MiscData {
    std::vector<std::uint8_t> data;
    MiscDataKind kind;
};

class Acquisition {
public:
    // InvalidPath unless `path` is an existing directory holding an entry "metadata.yml".
    static Result<Acquisition, AcquisitionError> open(std::filesystem::path path);

    const std::filesystem::path& path() const { return path_; }

    // Last component of the path; InternalError "could not get acquisition name" when there is no
    // final normal component, "invalid acquisition name" when it is not UTF-8.
    Result<std::string, InternalError> name() const;
    // The same component as stored, whatever its encoding (the file-system bytes): what names the
    // export's files and what the binding decodes with the file-system encoding.
    Result<std::string, InternalError> file_name() const;
    Result<std::string, AcquisitionError> metadata_str() const;
    Result<Metadata, MetadataError> metadata() const;
    Result<MiscData, AcquisitionError> misc_data(MiscDataKind kind) const;
    std::uint64_t chunk_count() const;
    Result<std::uint64_t, AcquisitionError> len() const;
    Result<std::vector<std::uint8_t>, AcquisitionError> get(std::uint64_t index) const;

private:
    explicit Acquisition(std::filesystem::path p) : path_(std::move(p)) {}
    std::filesystem::path path_;
};

bool is_acquisition(const std::filesystem::path& path);
// The acquisitions directly under `root`, in directory enumeration order; empty when `root` cannot
// be enumerated.
std::vector<Acquisition> list_acquisitions(const std::filesystem::path& root);

}  // namespace brimo
