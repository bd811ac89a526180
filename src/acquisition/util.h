// Helpers of the acquisition store shared by the directory, chunk and metadata code.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "error/errors.h"
#include "error/result.h"
#include "io/unique_fd.h"

namespace brimo {

// "<n>.bin" / "<n>.idx" formatted into a fixed buffer, so that walking the chunks allocates nothing.
enum class ChunkFileKind : std::uint8_t { Data, Index };
struct ChunkFileName {
    char buf[32];  // 20 digits + ".bin" + NUL
    const char* c_str() const { return buf; }
};
ChunkFileName chunk_file_name(std::uint64_t n, ChunkFileKind kind);

// The final normal component of `path`, its bytes as stored (any encoding): trailing separators and
// "." components are skipped; a path ending in "..", or with no normal component at all (".", "/",
// ""), has no name ("could not get acquisition name").
Result<std::string, InternalError> final_path_component(const std::filesystem::path& path);
// The same as the acquisition's name in text: a component that is not UTF-8 is refused ("invalid
// acquisition name").
Result<std::string, InternalError> final_path_name(const std::filesystem::path& path);

bool is_valid_utf8(std::string_view s);

// A path holding a NUL byte cannot be handed to the system (it would be cut short there).
bool has_nul(const std::filesystem::path& path);

// Reads a whole file into memory. `limit` bounds the bytes read (a file longer than that fails with
// EFBIG); a device or a FIFO under the file name is read up to 1 MiB at most, so that it cannot make
// the read run forever. On failure `out` is empty and the error holds the errno value.
Result<void, SysError> read_whole_file(const std::filesystem::path& file, std::size_t limit, std::string& out);
Result<void, SysError> read_whole_file(const std::filesystem::path& file, std::size_t limit,
                                       std::vector<std::uint8_t>& out);

}  // namespace brimo
