// The run log: one line per event, per terminal, in the product folder, for whoever supports
// the pharmacy ("registro<digit>.log", Windows-1252, CR LF). Writing it never stops or fails a
// run: a log that cannot be written is skipped.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace vl {

class Paths;

namespace runlog {

// Past this size the log is renamed to ".1" (replacing the previous one) and begun again.
inline constexpr std::uintmax_t MaxBytes = 1024 * 1024;

// "registro<digit>.log" in the product folder; "registro.log" without a digit.
std::filesystem::path logPath(const Paths& paths, std::string_view terminalDigit);

// Sends this process's lines to the log of `terminalDigit`. Until called, log() does nothing.
void open(const Paths& paths, std::string_view terminalDigit);
void close();

// One line: "dd/mm/yyyy hh:mm:ss [pid] " + event (UTF-8, stored as Windows-1252).
void log(std::string_view event);

// The log file this process writes to, empty when none.
std::filesystem::path currentPath();

// open(), then the start with the program and its command line (UTF-8).
void start(const Paths& paths, std::string_view terminalDigit, std::string_view programAndLine);
// How the run went beyond its exit code, for its end line: an update that failed, for one.
// The last one noted counts; an empty text takes back an earlier note.
void noteOutcome(std::string_view text, int exitCode);
// The end of the run: the exit code the caller gets (raised to the noted one when
// outcomeRaisesCode), and the noted text. Returns that code.
int end(int exitCode, bool outcomeRaisesCode = true);

// Every run log of the product folder ("registro*.log", any case), by name.
std::vector<std::filesystem::path> logFiles(const Paths& paths);
// What a log holds, oldest first: the rotated ".1" part, then the current file (Windows-1252).
std::string readLog(const std::filesystem::path& log);

} // namespace runlog
} // namespace vl
