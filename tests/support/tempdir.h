// A fresh folder per test, removed afterwards, with small helpers for byte-exact files.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace vltest {

std::string readBytes(const std::filesystem::path& p);
// Folders made as needed.
void writeBytes(const std::filesystem::path& p, std::string_view bytes);
// The host's name of a path that exists, for the host's programs (under Wine, Z:\\... made
// /...; elsewhere the path itself).
std::string hostPath(const std::filesystem::path& p);
// Runs the host's /usr/bin/`program` with `args` (paths as hostPath gives them) and returns its
// exit code, -1 when it did not run. Wine gives a host program no pipes: what it writes goes
// into files it is named.
int hostRun(const std::string& program, const std::vector<std::string>& args);

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // Writes `bytes` at `relative` (folders made as needed) and returns the full path.
    std::filesystem::path write(const std::string& relative, std::string_view bytes) const {
        writeBytes(path_ / relative, bytes);
        return path_ / relative;
    }
    // The file's bytes, or "<missing>" when it cannot be read.
    std::string read(const std::string& relative) const { return readBytes(path_ / relative); }

  private:
    std::filesystem::path path_;
};

// Makes a file or folder read-only while it lives, also for an administrator where the file
// system can mark it unchangeable, as a share gone read-only is.
struct ReadOnly {
    explicit ReadOnly(std::filesystem::path p);
    ~ReadOnly();
    // False where the file can still be opened for writing (root under Wine ignores the flag).
    bool holds() const;
    std::filesystem::path path;
};

// Every entry under `root` by its path relative to it: a file with its bytes, a folder as
// "name/" with none. Compared before and after, it shows any write.
using Tree = std::map<std::string, std::string>;
Tree snapshotTree(const std::filesystem::path& root);

} // namespace vltest
