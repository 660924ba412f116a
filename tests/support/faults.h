// Helpers of the fault tests: worker processes that are killed at a chosen moment, and work run
// in a child process whose disk is full (a file-size limit, or a small tmpfs when the system
// lets a test mount one).
#pragma once

#ifndef _WIN32

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vltest {

class Worker {
  public:
    // Starts `argv` (argv[0] the program) with its standard output on a pipe.
    explicit Worker(const std::vector<std::string>& argv);
    ~Worker();
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    // Waits (at most 10 s) for the worker's "R": its work has started. False when it ended first.
    bool waitReady();
    // SIGKILL now.
    void kill();
    pid_t pid() const { return pid_; }

    struct End {
        bool killed = false; // ended by SIGKILL
        int exitCode = -1;   // when it exited
    };
    // Waits for the end.
    End wait();

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    bool reaped_ = false;
    End end_;
};

// Runs `work` in a forked child in which no file may grow beyond `maxFileBytes` (a write past it
// fails, as on a full disk) and returns the text `work` returned; nullopt when the child died.
std::optional<std::string> runWithFileSizeLimit(std::uintmax_t maxFileBytes,
                                                const std::function<std::string()>& work);

struct FullDiskRun {
    bool mounted = false;              // false: no tmpfs could be mounted here, nothing ran
    std::optional<std::string> result; // what `work` returned; nullopt when the child died
};

// Copies the tree `source` into a fresh tmpfs of `bytes` mounted at `mountPoint` (an empty
// folder), fills the rest of it, runs `work` in a child process, then copies what the tmpfs
// holds (without the filler) to `copyOut`.
FullDiskRun runOnFullTmpfs(const std::filesystem::path& source,
                           const std::filesystem::path& mountPoint,
                           const std::filesystem::path& copyOut, std::uintmax_t bytes,
                           const std::function<std::string()>& work);

} // namespace vltest

#endif

#include <filesystem>
#include <string>
#include <vector>

namespace vltest {

// Runs `program` with `args` (UTF-8, each passed whole, on Windows through the wide command
// line) and waits: its exit code.
int runProgram(const std::filesystem::path& program, const std::vector<std::string>& args);

} // namespace vltest
