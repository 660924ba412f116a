// The running process, as the run log names it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>

namespace vl {

// This process's identifier, as the system's task list shows it.
std::int64_t currentProcessId();

// Appends `bytes` to `p` (created when missing) in one write, so that lines of several
// processes appending the same file do not interleave. False on any failure.
bool appendFileBytes(const std::filesystem::path& p, std::string_view bytes);

} // namespace vl
