// The running program: where it lives, its environment, its clock, and handing over to another
// program.
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vl {

// The running program's file; empty when it cannot be told.
std::filesystem::path executablePath();

// Sets `name` for this process and the programs it starts; unsetEnvironment removes it.
void setEnvironment(const char* name, const std::string& value);
void unsetEnvironment(const char* name);

// A variable naming a file or folder, as a path; empty when unset. On Windows it is read in
// UTF-16, so names with letters outside ASCII arrive whole.
std::filesystem::path environmentPath(const char* name);

// This process's variables whose names begin with `prefix`, in UTF-8.
std::vector<std::pair<std::string, std::string>> environmentWithPrefix(std::string_view prefix);

// Lets process `pid` bring its window to the front, as this one (started by the user's
// program) may. Nothing where the system has no such rule.
void allowForeground(std::int64_t pid);

// Ends the process at once, without unwinding; the notice set last (a window process telling
// its launcher) hears the code first.
[[noreturn]] void hardExit(int code);
void setHardExitNotice(void (*notice)(int code));

// From the first call on, the system's requests that this process end (Unix: SIGTERM, SIGHUP,
// SIGINT) no longer end it: each makes the descriptor returned readable, for the caller's event
// loop to end the process in order. -1 where no such request reaches a program without a
// console (Windows, where the end of the session reaches the window toolkit instead).
int terminationRequests();

// The local calendar time of `t` (thread-safe).
std::tm localTime(std::time_t t);

// Runs `program` with this process's own arguments: in this process's place where the system
// allows it (it returns only on failure), else as a child whose exit code it returns, so the
// program that started us keeps waiting on the same process. -1 when it cannot be started.
int runInstead(const std::filesystem::path& program, char* argv[]);

// This process's arguments after its name, in UTF-8. On Windows they are read from the wide
// command line: the narrow argv has been through the ANSI code page already, which loses
// letters it lacks and would be converted a second time.
std::vector<std::string> commandLineArguments(int argc, char* argv[]);

#ifdef _WIN32
// One argument as the receiving program's runtime splits it back: always quoted, backslashes
// doubled only before a quote (and before the closing quote), quotes escaped.
std::wstring windowsQuotedArgument(const std::wstring& arg);

// UTF-8 as the wide text that the system's W functions take.
std::wstring utf8ToWide(std::string_view utf8);
#endif

// This process's identifier, as the system's task list shows it.
std::int64_t currentProcessId();

// Whether windows started from here have a screen to show on (Unix: a display, Wayland, or a
// platform Qt is told to use); a Windows session always has one.
bool screenForWindows();

// Appends `bytes` to `p` (created when missing) in one write, so that lines of several
// processes appending the same file do not interleave. False on any failure.
bool appendFileBytes(const std::filesystem::path& p, std::string_view bytes);

} // namespace vl
