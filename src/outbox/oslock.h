// Operating-system helpers for the shared product folder: a short exclusive lock that makes a
// read-check-write of Ocupado atomic across processes, and flushing a file to the disk.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>

namespace vl {

// Holds an exclusive lock on `file` (created when missing) from construction to destruction;
// blocks until it gets it. Also exclusive between threads of one process. When the file cannot
// be opened the guard holds nothing and locked() is false.
class OsFileLock {
public:
    explicit OsFileLock(const std::filesystem::path& file);
    ~OsFileLock();
    OsFileLock(const OsFileLock&) = delete;
    OsFileLock& operator=(const OsFileLock&) = delete;

    bool locked() const { return locked_; }

private:
    std::intptr_t handle_ = -1;
    bool locked_ = false;
};

// fflush, then the operating system's flush to the disk.
bool flushToDisk(std::FILE* f);

} // namespace vl
