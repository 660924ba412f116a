// Unpacking a received package: every entry lands directly in the folder under its own file
// name, replacing a file of that name. Shows no message; the caller judges the result.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace vl {

// Most uncompressed bytes one package may write; a bigger one is taken for a broken or hostile
// answer.
inline constexpr std::uint64_t UnzipLimit = std::uint64_t{1} << 30;

// Most entries one package may hold: the service sends one XML file (a DTD at most beside it);
// thousands of tiny entries would only litter the folder.
inline constexpr std::int64_t UnzipMaxEntries = 256;

enum UnzipResult : int {
    UnzipOk = 0,
    UnzipNotAnArchive = 1,   // missing, empty, unreadable or not a ZIP archive
    UnzipBadEntry = 2,       // an entry could not be read (damaged, encrypted, CRC error)
    UnzipTooLarge = 3,       // more than `limit` bytes would be written
    UnzipWriteError = 4,     // the folder refused a file
    UnzipEmpty = 5,          // an archive without a single file
    UnzipTooManyEntries = 6, // more than UnzipMaxEntries entries
    UnzipSameName = 7,       // two entries land under one name (in any case)
};

// 0 on success. Entries are stored under their last path component (after the last "/", "\\" or
// ":"); directories and names that end up empty, "." or ".." are skipped. Each file is written
// aside and renamed into place, replacing the file of that name whatever its case: the folder
// keeps one file per name. Two entries that would land under one name are refused before
// anything is written. Each file keeps its entry's date, so the folder tells when the data was
// made, not when it was unpacked. On a failure `reason` (when given) gets a Spanish text (UTF-8)
// saying why, such as the compression method that cannot be read; `names` (when given) gets
// the names of the files written.
int Unzip(const std::filesystem::path& archive, const std::filesystem::path& folder,
          std::uint64_t limit = UnzipLimit, std::string* reason = nullptr,
          std::vector<std::string>* names = nullptr);

} // namespace vl
