// Starting a program apart from this one, and telling whether a process runs or ending it: the
// launcher's hold on its window process, without Qt.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace vl {

// Starts `program` with `args` (UTF-8) apart from this process: no console window, its own
// process group (Linux: its own session too), the null device for stdin, stdout and stderr,
// nothing of ours inherited, and no child we must wait for. Its process id, or -1 when it
// cannot be started.
std::int64_t startDetached(const std::filesystem::path& program,
                           const std::vector<std::string>& args);

// Whether process `pid` runs (one that has ended but is not yet reaped does not); false for
// pid <= 0.
bool processAlive(std::int64_t pid);

// Ends process `pid` at once (on Linux with its process group when it leads one) and waits about
// a second for it to be gone. Nothing for pid <= 0 or this process.
void killProcess(std::int64_t pid);

} // namespace vl
