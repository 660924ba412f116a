// Operating-system helpers for the shared product folder: a short exclusive lock that makes a
// read-check-write of Ocupado atomic across processes, long shared holds that tell the other
// terminals a lock holder is still alive, and flushing a file to the disk.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string_view>

namespace vl {

// Holds an exclusive lock on the first byte of `file` (created when missing) from construction
// to destruction; waits for it about two seconds, then holds nothing and notes `file` as
// lastFileInUse(). Also exclusive between threads of one process. When
// the file cannot be opened the guard holds nothing and locked() is false: then nothing it
// guards may be done. Another program holding it without sharing is waited for about two
// seconds, then it is noted as lastFileInUse().
class OsFileLock {
  public:
    explicit OsFileLock(const std::filesystem::path& file);
    ~OsFileLock();
    OsFileLock(const OsFileLock&) = delete;
    OsFileLock& operator=(const OsFileLock&) = delete;

    bool locked() const { return locked_; }
    // Why the file could not be opened, as an errno value; 0 when it was.
    int openError() const { return openError_; }

    // The file's byte at `offset` through the guard's own handle: -1 when past the end or
    // unreadable. Only while locked().
    int readByte(std::uint64_t offset) const;
    bool writeByte(std::uint64_t offset, char value) const;

  private:
    std::intptr_t handle_ = -1;
    bool locked_ = false;
    int openError_ = 0;
};

// A shared lock on the byte at `offset` of `file`, kept by this process until dropHolds() or
// until the process ends, however it ends: the operating system lets go of it then. Holding
// the same byte twice keeps one lock. False when it could not be taken.
bool holdShared(const std::filesystem::path& file, std::uint64_t offset);
// Lets go of every hold of this process on `file`.
void dropHolds(const std::filesystem::path& file);
// True while any process, this one included, holds the byte at `offset` of `file`; false when
// there is no `file` (it is not made).
bool heldByAnyone(const std::filesystem::path& file, std::uint64_t offset);
// An exclusive lock on the byte at `offset` of `file`, kept as holdShared keeps its own; never
// waits: false when another process holds it, or this one already does, or the file cannot be
// opened. Once held, `note`
// replaces the file's content (who holds it, for a person reading the file). A lock taken on a
// file that its last holder removed as it let go is let go of, and the new file taken instead.
bool holdExclusive(const std::filesystem::path& file, std::uint64_t offset,
                   std::string_view note = {});

// Like OsFileLock, but never waits: locked() is false when another process holds `file`, or
// another thread of this process holds any OsFileTryLock. For long work that others must not
// disturb yet need not wait for.
class OsFileTryLock {
  public:
    explicit OsFileTryLock(const std::filesystem::path& file);
    ~OsFileTryLock();
    OsFileTryLock(const OsFileTryLock&) = delete;
    OsFileTryLock& operator=(const OsFileTryLock&) = delete;

    bool locked() const { return locked_; }

  private:
    std::intptr_t handle_ = -1;
    bool locked_ = false;
};

// Flushes every file written under `folder`, and the folder's own entries, to the disk.
bool flushFolderToDisk(const std::filesystem::path& folder);

} // namespace vl
