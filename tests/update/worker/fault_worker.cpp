// A terminal's work in a process of its own, for the fault and multi-process tests. Work that a
// test kills first writes "R" to standard output, so the kill lands inside the work and not in
// the process start; with a STEP other than "-" the worker kills itself there.
//   closing ROOT LINE STEP           one closing call, LINE as the pharmacy program passes it
//   convert ROOT STEP                master, survey and prices, in the order of an update
//   rounds ROOT DIGIT ROUNDS COUNT [first|second]
//       per round a reference file with COUNT recorded medicines, then its closing call. With
//       first/second two workers close each round's one dispensing at the same moment: second
//       says it is ready, first then writes the file and both go.
//   hold ROOT DIGIT|TK0|guard        the lock for DIGIT ("0" a send, TK0 terminal 0's closing
//                                    move) or the guard, until killed
//   send ROOT URL CA STEP            one send as "Enviar" does it, logged in registro0.log
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <optional>

#include "core/faultpoint.h"
#include "core/runlog.h"
#include "send/send.h"
#include "support/closings.h"
#include "support/received.h"

using namespace vl;
namespace fs = std::filesystem;

namespace {

const char* killAt = nullptr;
const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);

void stopHere(const char* step) {
    if (killAt && std::strcmp(step, killAt) == 0) std::raise(SIGKILL);
}

void ready() {
    if (::write(1, "R", 1) != 1) _exit(9);
}

bool waitFor(const fs::path& file) {
    while (!fs::exists(file))
        if (std::chrono::steady_clock::now() > deadline) return false;
    return true;
}

int rounds(const Paths& paths, const std::string& digit, int rounds, int count,
           const std::string& pair) {
    for (int round = 1; round <= rounds; ++round) {
        const auto mine = paths.product("ready" + std::to_string(round));
        const auto go = paths.product("go" + std::to_string(round));
        if (pair == "second" && (!writeFileBytes(mine, "") || !waitFor(go))) return 3;
        if (pair == "first" && !waitFor(mine)) return 3;
        // A pair's codes in another order: both calls rewrite the file, as a double launch may.
        const std::string line = vltest::writeClosingRound(
            paths, digit, round, count, !pair.empty(), pair != "second", pair.empty() ? 1 : 2);
        if (line.empty() || (pair == "first" && !writeFileBytes(go, ""))) return 3;
        if (vltest::closeOnce(paths, line) != "ok") return 5;
    }
    return 0;
}

int hold(const Paths& paths, const std::string& what) {
    std::optional<OsFileLock> guard;
    if (what == "guard") guard.emplace(lockGuardPath(paths));
    const bool held = guard ? guard->locked()
                      : what == "0"
                          ? tryAcquireForSend(paths).acquired
                          : tryAcquireForClosing(paths, what.substr(what.size() - 1)).acquired;
    if (!held) return 9;
    ready();
    std::this_thread::sleep_for(std::chrono::seconds(60)); // ends by the test's kill
    return 10;
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 2 ? argv[1] : "";
    const Paths paths{fs::path(argc > 2 ? argv[2] : "")};
    if ((mode == "closing" && argc == 5) || (mode == "convert" && argc == 4) ||
        (mode == "send" && argc == 6)) {
        if (std::strcmp(argv[argc - 1], "-") != 0) {
            killAt = argv[argc - 1];
            setFaultHandler(stopHere);
        }
        ready();
        if (mode == "convert") return vltest::convertAll(argv[2]) == "ok" ? 0 : 6;
        if (mode == "send") {
            runlog::open(paths, "0");
            const SendRun run = sendOutbox(paths, vltest::serviceConfig(), argv[3], {},
                                           {.extraCaBundle = fs::path(argv[4])});
            return run.nothingToSend || run.result.transferOk ? 0 : 7;
        }
        return vltest::closeOnce(paths, argv[3]) == "ok" ? 0 : 5;
    }
    if (mode == "rounds" && (argc == 6 || argc == 7))
        return rounds(paths, argv[3], std::atoi(argv[4]), std::atoi(argv[5]),
                      argc == 7 ? argv[6] : "");
    if (mode == "hold" && argc == 4) return hold(paths, argv[3]);
    return 2;
}
