// The running program: where it lives, its environment, its clock, and handing over to another
// program.
#pragma once

#include <ctime>
#include <filesystem>
#include <string>

namespace vl {

// The running program's file; empty when it cannot be told.
std::filesystem::path executablePath();

// Sets `name` for this process and the programs it starts; unsetEnvironment removes it.
void setEnvironment(const char* name, const std::string& value);
void unsetEnvironment(const char* name);

// The local calendar time of `t` (thread-safe).
std::tm localTime(std::time_t t);

// Runs `program` with this process's own arguments: in this process's place where the system
// allows it (it returns only on failure), else as a child whose exit code it returns, so the
// program that started us keeps waiting on the same process. -1 when it cannot be started.
int runInstead(const std::filesystem::path& program, char* argv[]);

} // namespace vl
