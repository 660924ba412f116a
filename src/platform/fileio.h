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

// Opens `p` as std::fopen does with `mode` ("rb", "r+b", "wb", "w+b", "ab"), whatever the
// characters of its name. On Windows other terminals may read, write, rename over and delete the
// file while it is open, as they can on a Samba share from Linux.
std::FILE* openFile(const std::filesystem::path& p, const char* mode);

// Whether `p` names the file open as `f` (same volume and file number).
bool sameFile(std::FILE* f, const std::filesystem::path& p);

// A file another program holds open without sharing it (a spreadsheet, an antivirus, a backup)
// is waited for about two seconds by openFile and renameWithRetry. Still held, it is the file
// this thread last found in use, until clearFileInUse(); empty when none was. Where the system
// has no such sharing (Linux) only a lock held too long (OsFileLock) sets it.
std::filesystem::path lastFileInUse();
void clearFileInUse();
void noteFileInUse(const std::filesystem::path& p);

#ifdef _WIN32
// The system's last error as the errno value that says the same, for callers that tell the
// cause from errno on every system (openFile does it on its failures).
void setErrnoFromLastError();
#endif

// Program text is Windows-1252 and so are the names it gives files; these convert between such
// a name and the system's own form of it.
std::filesystem::path pathFromCp1252(std::string_view name);
std::string nameInCp1252(const std::filesystem::path& name);

// The last component of `p` spelled as it is stored (Windows matches names without regard to
// case); nullopt when `p` does not exist.
std::optional<std::filesystem::path> storedName(const std::filesystem::path& p);

// The file named by the path part of a file:// URL (unescaped): "/C:/x" names C:\x on Windows.
std::filesystem::path pathOfFileUrl(std::string_view urlPath);

// `p` in UTF-8, as libxml2 and libzip take file names on every system (on Windows the narrow
// string() would be the ANSI code page's, losing what it cannot spell).
std::string utf8Path(const std::filesystem::path& p);

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

// Two folders held open, to give files of the first a second name in the second: no new
// file, and nothing to free when the old name goes. Always false on Windows, where the flush of
// a folder opens its files for writing and a second name would open the other folder's file.
// Whoever writes either name afterwards must remove it first.
class FolderLinker {
  public:
    FolderLinker(const std::filesystem::path& from, const std::filesystem::path& to);
    ~FolderLinker();
    FolderLinker(const FolderLinker&) = delete;
    FolderLinker& operator=(const FolderLinker&) = delete;
    // `name` of the second folder made the same file as `name` of the first when that file
    // holds exactly `bytes`; false (nothing made) otherwise.
    bool linkIfSame(const std::string& name, std::string_view bytes);

  private:
    int from_ = -1, to_ = -1;
};

// Removes the file `p`: 0 when it is gone (or was not there), else the system's cause as an
// errno value (EBUSY: another program holds it; EACCES, EPERM, EROFS: its folder allows no removal).
int removeFileCause(const std::filesystem::path& p);

// Size in bytes, 0 when missing or unreadable.
std::uintmax_t fileSizeOrZero(const std::filesystem::path& p);

// Splits on CR LF (also a lone LF); a final line without an end is kept, an empty tail is not.
std::vector<std::string> splitLines(std::string_view bytes);
// As splitLines, but a lone CR ends a line too (CR LF is one end): for files a user may have
// edited by hand.
std::vector<std::string> splitLinesAnyEnd(std::string_view bytes);

} // namespace vl
