// A file of fixed-length records addressed by record number (1-based), opened for shared
// reading and writing as the other terminals do.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/fileio.h"

namespace vl {

class RecordFile {
public:
    enum class Create { IfMissing, Never };

    RecordFile() = default;
    RecordFile(const RecordFile&) = delete;
    RecordFile& operator=(const RecordFile&) = delete;
    RecordFile(RecordFile&& other) noexcept;
    RecordFile& operator=(RecordFile&& other) noexcept;
    ~RecordFile();

    // Opens read-write (read-only when writing is refused); Create::IfMissing makes an empty
    // file first. Returns false when the file cannot be opened.
    bool open(const std::filesystem::path& file, std::size_t recordLength,
              Create create = Create::IfMissing);
    void close();
    bool isOpen() const { return f_ != nullptr; }
    bool isWritable() const { return writable_; }
    // The file open is still the one the path names (not renamed over or deleted since).
    bool isCurrent() const { return f_ && sameFile(f_, path_); }
    const std::filesystem::path& path() const { return path_; }
    std::size_t recordLength() const { return len_; }

    // File length divided by the record length, rounded down (asked anew each time).
    long long count() const;

    // Record n; blanks past the end of the file or for n < 1, the missing tail of a short
    // last record blank too.
    std::string read(long long n) const;
    // Records first..first+count-1 in one read, blank where the file ends.
    std::string readRecords(long long first, long long count) const;
    // Reads done through this handle: each one is a round trip on a network share.
    long long readsDone() const { return reads_; }

    // Writes record n (the bytes cut or NUL-padded to the record length) and flushes it.
    bool write(long long n, std::string_view bytes);

private:
    std::FILE* f_ = nullptr;
    std::filesystem::path path_;
    std::size_t len_ = 1;
    bool writable_ = false;
    mutable long long reads_ = 0;
};

} // namespace vl
