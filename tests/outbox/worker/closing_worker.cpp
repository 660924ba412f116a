// A terminal in a process of its own, for the multi-process outbox tests.
//   <root> <digit> <rounds> <count> [first|second]
//       closing calls: per round a reference file with `count` recorded medicines, the wait for
//       the lock as the busy window does it, then the start-up synchronisation that moves them.
//       With first/second, two workers close each round's one dispensing at the same moment:
//       second says it is ready, first then writes the reference file and both go.
//   send <root> <url> <ca> <verdicts> <log>
//       sends, as the window's "Enviar" does, until <root>/stop exists; before send n the
//       service is told to answer verdicts[n % size] (o accept, r refuse, n no verdict); each
//       send that reached the service leaves <log>/send-NNNN: its verdict letter, the emptying
//       outcome, a line feed, then the bytes that went out.
//   hold-closing <root> <digit> | hold-send <root>
//       takes the lock, writes one byte to stdout and waits to be killed.
//   hold-guard <root>
//       the same with the operating-system lock on Ocupado.lck, as a closing move writing.
#include <curl/curl.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "outbox/lock.h"
#include "outbox/outbox.h"
#include "platform/fileio.h"
#include "platform/oslock.h"
#include "send/send.h"
#include "support/closings.h"

using namespace vl;

namespace {

// Waits, without sleeping, until `file` exists.
bool waitFor(const std::filesystem::path& file, std::chrono::steady_clock::time_point deadline) {
    while (!std::filesystem::exists(file))
        if (std::chrono::steady_clock::now() > deadline) return false;
    return true;
}

int closingCalls(const Paths& paths, const std::string& digit, int rounds, int count,
                 const std::string& pair = "") {
    Config cfg;
    cfg.n_farmacia = "4321";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);

    for (int round = 1; round <= rounds; ++round) {
        const auto ready = paths.product("ready" + std::to_string(round));
        const auto go = paths.product("go" + std::to_string(round));
        if (pair == "second") {
            if (!writeFileBytes(ready, "") || !waitFor(go, deadline)) return 3;
        } else if (pair == "first" && !waitFor(ready, deadline)) {
            return 3;
        }
        RunState st = parseCommandLine(
            vltest::writeClosingRound(paths, digit, round, count, !pair.empty(), pair != "second"));
        if (!st.hasReference) return 3;
        if (pair == "first" && !writeFileBytes(go, "")) return 3;

        // The busy window's polling, only faster.
        while (!tryAcquireForClosing(paths, digit).acquired) {
            if (std::chrono::steady_clock::now() > deadline) return 4;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        SurveySession session;
        const StartupSyncResult r = completeStartupSync(paths, st, cfg, session);
        // One of a pair may find the dispensing moved already: the outbox tells.
        if (!r.closingMoveRan || !r.closing.ok || (pair.empty() && r.closing.linesWritten != count))
            return 5;
    }
    return 0;
}

size_t discard(char*, size_t size, size_t count, void*) {
    return size * count;
}

bool setServiceMode(const std::string& url, const std::string& ca, char verdict) {
    const char* mode = verdict == 'r' ? "refuse" : verdict == 'n' ? "noverdict" : "ok";
    const std::string address = url.substr(0, url.find('/', 8)) + "/__mode?m=" + mode;
    CURL* h = curl_easy_init();
    if (!h) return false;
    curl_easy_setopt(h, CURLOPT_URL, address.c_str());
    curl_easy_setopt(h, CURLOPT_CAINFO, ca.c_str());
    curl_easy_setopt(h, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(h, CURLOPT_TIMEOUT, 10L);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, discard);
    const bool ok = curl_easy_perform(h) == CURLE_OK;
    curl_easy_cleanup(h);
    return ok;
}

char letter(SendVerdict v) {
    return v == SendVerdict::Accepted ? 'A' : v == SendVerdict::Refused ? 'R' : 'N';
}

char letter(const std::optional<EmptyOutcome>& e) {
    if (!e) return '-';
    switch (*e) {
    case EmptyOutcome::Emptied:
        return 'E';
    case EmptyOutcome::Trimmed:
        return 'T';
    case EmptyOutcome::Busy:
        return 'B';
    case EmptyOutcome::Failed:
        return 'F';
    }
    return '?';
}

int sends(const Paths& paths, const std::string& url, const std::string& ca,
          const std::string& verdicts, const std::filesystem::path& log) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    Config cfg;
    cfg.n_farmacia = "4321";
    cfg.codigo_empresa = "77";
    cfg.clave = "secreta";
    UploadOptions options;
    options.extraCaBundle = std::filesystem::path(ca);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    const auto stop = paths.product("stop");
    int n = 0;
    bool last = false;
    while (!last) {
        if (std::chrono::steady_clock::now() > deadline) return 4;
        last = std::filesystem::exists(stop); // one more round after the others have finished
        if (!setServiceMode(url, ca, verdicts[static_cast<std::size_t>(n) % verdicts.size()]))
            return 6;
        const SendRun run = sendOutbox(paths, cfg, url, {}, options);
        if (run.nothingToSend || !run.lock.acquired) {
            if (last) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        if (!run.result.transferOk) return 7;
        ++n;
        const std::string entry = std::string(1, letter(run.result.verdict)) +
                                  letter(run.result.emptied) + "\n" + run.result.sent;
        if (!writeFileBytes(log / ("send-" + vltest::padded(n, 4)), entry)) return 8;
    }
    return 0;
}

void waitToBeKilled() {
    std::fputc('H', stdout);
    std::fflush(stdout);
    // Ends only by a signal; the test bounds the wait.
    for (int i = 0; i < 600; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

int hold(const Paths& paths, const std::string& digit) {
    const bool held = digit.empty() ? tryAcquireForSend(paths).acquired
                                    : tryAcquireForClosing(paths, digit).acquired;
    if (!held) return 9;
    waitToBeKilled();
    return 10;
}

int holdGuard(const Paths& paths) {
    OsFileLock guard(lockGuardPath(paths));
    if (!guard.locked()) return 9;
    waitToBeKilled();
    return 10;
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "send" && argc == 7)
        return sends(Paths{std::filesystem::path(argv[2])}, argv[3], argv[4], argv[5], argv[6]);
    if (mode == "hold-closing" && argc == 4)
        return hold(Paths{std::filesystem::path(argv[2])}, argv[3]);
    if (mode == "hold-guard" && argc == 3) return holdGuard(Paths{std::filesystem::path(argv[2])});
    if (mode == "hold-send" && argc == 3) return hold(Paths{std::filesystem::path(argv[2])}, "");
    if (argc == 5 || argc == 6)
        return closingCalls(Paths{std::filesystem::path(argv[1])}, argv[2], std::atoi(argv[3]),
                            std::atoi(argv[4]), argc == 6 ? argv[5] : "");
    return 2;
}
