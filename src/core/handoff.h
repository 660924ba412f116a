// A dispensing call handed to the window process started ahead ("velantia PRECARGAR"), which
// keeps Qt and the browser engine loaded between dispensings. The launcher and that process
// talk over a local connection, one text line per message:
//
//   launcher                          window process
//   VELANTIA <protocol> <identity>
//   PING                              LISTO <pid> | PREPARANDO <pid> | OTRA_VERSION
//   DISPENSAR, ENV <name> <hex>...,
//   DIR <hex>, LINEA <hex>,
//   FIN_PETICION                      ACEPTADO <pid> | OCUPADO | PREPARANDO | OTRA_VERSION
//   ADELANTE                          VIVO (each second), MARCA <name> <ns>, AVISO <hex>, FIN
//   <code> SALIR                             (ends when idle)
//
// The window process starts a dispensing only after ADELANTE, so a launcher that gave up
// waiting never leaves a second window behind its own fresh start. It answers from the moment it
// holds its lock, PREPARANDO until its browser engine has loaded: one that does not answer then
// either is hung.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vl::handoff {

inline constexpr int Protocol = 1;
// A window process that has not accepted a call by then is not waited for.
inline constexpr std::chrono::milliseconds AnswerWithin{2000};
inline constexpr std::chrono::milliseconds Heartbeat{1000};
// Silence this long during a dispensing means the window process hangs.
inline constexpr std::chrono::seconds SilentLimit{15};

// What tells one build of the window program from another: its file's size and time. A
// window process started from another file (an older version, or files replaced since) is
// not handed calls.
std::string programIdentity(const std::filesystem::path& windowsProgram);

std::string hex(std::string_view bytes);
std::optional<std::string> unhex(std::string_view text);

// The environment a call carries: the program's own VELANTIA_* settings (screenshot, timing,
// print folder...), which the window process takes on for that call only.
bool carried(std::string_view name);

struct Request {
    std::string line;      // the command line as the launcher got it (UTF-8)
    std::string directory; // the launcher's working folder, for relative file names (UTF-8)
    std::vector<std::pair<std::string, std::string>> environment;
};

std::string helloLine(const std::string& identity);
std::string encode(const Request& r);

// Reads a request line by line on the window process's side.
class RequestReader {
  public:
    enum class State { More, Done, Bad };
    State feed(std::string_view line);
    const Request& request() const { return r_; }

  private:
    Request r_;
    bool begun_ = false;
};

// One message of the window process while it serves a call.
struct Message {
    enum Kind { Alive, Mark, Notice, End, Other } kind = Other;
    std::string text;    // Mark: its name; Notice: the decoded text
    long long value = 0; // Mark: nanoseconds; End: the exit code
};
Message parseMessage(std::string_view line);

// How a handed-over call went.
struct Outcome {
    enum Kind {
        NotServed, // start afresh: `why` says why (nobody listening, busy, another version...)
        Served,    // the dispensing ran there and ended with `exitCode`
        Died,      // the window process went away during the dispensing
        Hung,      // it stopped answering during the dispensing
    } kind = NotServed;
    int exitCode = 0;
    std::string why;
    std::int64_t pid = 0;
};

struct ClientHooks {
    std::function<void(const std::string& name, long long ns)> mark;
    std::function<void(const std::string& text)> notice;
};

// The message that ends a served call with `exitCode`, without its "\n".
std::string endLine(int exitCode);

// While a call is served on `connection` (the native handle of its launcher's socket or pipe; -1
// for none), a hard exit (a lookup that does not answer) tells that launcher its code first, as
// the end of the dispensing does, and the launcher ends with it.
void tellLauncherOnHardExit(std::intptr_t connection);

// Offers `request` to the window process listening at `address`; serves it to the end when
// accepted. `identity` is programIdentity() of the window program beside the launcher.
Outcome serve(const std::string& address, const std::string& identity, const Request& request,
              const ClientHooks& hooks = {}, std::chrono::milliseconds answerWithin = AnswerWithin,
              std::chrono::milliseconds silentLimit = SilentLimit);

// What answers at `address`: nobody (no listener, or it hung up), a ready window process of this
// identity (with its pid), one still loading its browser engine (with its pid), one of another
// version, or one that took the connection but said nothing `within` that time (it hangs, or
// its computer is swamped).
struct Probe {
    enum Kind { Nobody, Ready, Preparing, OtherVersion, Silent } kind = Nobody;
    std::int64_t pid = 0;
};
Probe probe(const std::string& address, const std::string& identity,
            std::chrono::milliseconds within = AnswerWithin);
// The pid of a ready window process at `address` of this identity, or nullopt.
std::optional<std::int64_t> ping(const std::string& address, const std::string& identity,
                                 std::chrono::milliseconds within = AnswerWithin);

// Asks a window process of another version at `address` to end once it is idle; false when
// nobody listens. One of this identity takes no notice.
bool askToQuit(const std::string& address, const std::string& identity);

} // namespace vl::handoff
