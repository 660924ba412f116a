// Whole-file helpers. Files that another terminal may read while they change are written aside
// and renamed over the old one; on a network share the rename can fail for a moment.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vl {

// The whole file as bytes; nullopt when it cannot be read.
std::optional<std::string> readFileBytes(const std::filesystem::path& p);

// fflush, then the operating system's flush to the disk.
bool flushToDisk(std::FILE* f);

// Writes `bytes` to a temporary file in the same folder, flushes it to disk and renames it over
// `p`, retrying the rename briefly. Returns false (old file untouched) on failure.
bool writeFileAtomic(const std::filesystem::path& p, std::string_view bytes);

// As writeFileAtomic but without flushing to disk first: for files rebuilt at every use (the
// pages), where a reader must never see half a file but a power cut may lose the new one.
bool writeFileReplacing(const std::filesystem::path& p, std::string_view bytes);

// Renames `from` over `to`; on a network share a rename can fail for a moment while another
// terminal reads the file, so it is tried again for about two seconds.
bool renameWithRetry(const std::filesystem::path& from, const std::filesystem::path& to);

// Plain overwrite (create or truncate), flushed to disk when `durable`. False on failure.
bool writeFileBytes(const std::filesystem::path& p, std::string_view bytes, bool durable = false);

// Size in bytes, 0 when missing or unreadable.
std::uintmax_t fileSizeOrZero(const std::filesystem::path& p);

// Splits on CR LF (also a lone LF); a final line without an end is kept, an empty tail is not.
std::vector<std::string> splitLines(std::string_view bytes);

} // namespace vl
