// One terminal's closing calls for the multi-process test: per round it leaves a reference file
// with `count` recorded medicines, waits for the lock as the busy window does, then runs the
// start-up synchronisation that performs the closing move.
// Usage: outbox_closing_worker <root> <digit> <rounds> <count>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "outbox/lock.h"
#include "outbox/outbox.h"

using namespace vl;

namespace {

std::string pad(int v, int width) {
    std::string s = std::to_string(v);
    return std::string(static_cast<std::size_t>(width) - s.size(), '0') + s;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 5) return 2;
    const Paths paths{std::filesystem::path(argv[1])};
    const std::string digit = argv[2];
    const int rounds = std::atoi(argv[3]);
    const int count = std::atoi(argv[4]);
    Config cfg;
    cfg.n_farmacia = "4321";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);

    for (int round = 1; round <= rounds; ++round) {
        RunState st;
        st.closingCall = true;
        st.hasReference = true;
        st.reference = "1" + pad(round, 6) + digit;
        st.terminalDigit = digit;
        std::string file;
        for (int i = 1; i <= MaxCodes; ++i) {
            RefRecord rec;
            if (i <= count) {
                // The code says who wrote it; the answers repeat it for the check.
                const std::string code = digit + pad(round, 2) + pad(i, 3);
                st.CodeList[++st.CodeCount] = code;
                rec.setCode(code);
                rec.setOrd(0, "1");
                rec.setAns(1, digit);
                rec.setAns(2, std::to_string(round));
                rec.setAns(3, std::to_string(i));
            }
            rec.setEnd();
            file += rec.bytes;
        }
        const auto ref = paths.product("referencias\\" + st.reference + ".ref");
        std::FILE* f = std::fopen(ref.string().c_str(), "wb");
        if (!f || std::fwrite(file.data(), 1, file.size(), f) != file.size()) return 3;
        std::fclose(f);

        // The busy window's polling, only faster.
        while (!tryAcquireForClosing(paths, digit).acquired) {
            if (std::chrono::steady_clock::now() > deadline) return 4;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        SurveySession session;
        const StartupSyncResult r = completeStartupSync(paths, st, cfg, session);
        if (!r.closingMoveRan || !r.closing.ok || r.closing.linesWritten != count) return 5;
    }
    return 0;
}
