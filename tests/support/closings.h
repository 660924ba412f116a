// Closing calls of terminals on one product folder: the reference files they move, the call
// itself, and the check of the outbox they leave.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "core/cmdline.h"
#include "core/paths.h"
#include "outbox/lock.h"
#include "outbox/outbox.h"
#include "platform/fileio.h"
#include "support/tempdir.h"
#include "survey/recording.h"
#if defined(VELANTIA_FAULT_WORKER) && !defined(_WIN32)
#include "support/faults.h"
#endif

namespace vltest {

inline std::string padded(int v, int width) {
    std::string s = std::to_string(v);
    return std::string(static_cast<std::size_t>(width) - s.size(), '0') + s;
}

// Round `round` of terminal `digit`: a reference file with `count` recorded medicines whose codes
// (digit, round, position) and answers say who wrote them. Returns the closing call's command
// line, its codes from position `first` on (another order makes the start-up synchronisation
// rewrite the file); empty when the file could not be written. A `paired` round's reference ends
// in the round, so two processes can close the same one; with `write` false only the line is made.
inline std::string writeClosingRound(const vl::Paths& paths, const std::string& digit, int round,
                                     int count, bool paired = false, bool write = true,
                                     int first = 1) {
    const std::string reference =
        paired ? "1" + digit + padded(round, 6) : "1" + padded(round, 6) + digit;
    std::string line = "TK-" + reference, file;
    for (int i = 1; i <= vl::MaxCodes; ++i) {
        vl::RefRecord rec;
        if (i <= count) {
            rec.setCode(digit + padded(round, 2) + padded(i, 3));
            rec.setOrd(0, "1");
            rec.setAns(1, digit);
            rec.setAns(2, std::to_string(round));
            rec.setAns(3, std::to_string(i));
        }
        rec.setEnd();
        file += rec.bytes;
    }
    for (int k = 0; k < count; ++k)
        line += "+" + digit + padded(round, 2) + padded((first - 1 + k) % count + 1, 3);
    const auto ref = paths.product("referencias\\" + reference + ".ref");
    return !write || vl::writeFileAtomic(ref, file) ? line : std::string();
}

// One closing call as the launcher makes it: the lock, waited for as the busy window does, then
// the start-up synchronisation that moves the answers. "ok", or why not.
inline std::string closeOnce(const vl::Paths& paths, const std::string& line) {
    vl::RunState st = vl::parseCommandLine(line);
    vl::Config cfg;
    cfg.n_farmacia = "4321";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!vl::tryAcquireForClosing(paths, st.terminalDigit).acquired) {
        if (std::chrono::steady_clock::now() > deadline) return "lock";
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    vl::SurveySession session;
    const vl::StartupSyncResult r = vl::completeStartupSync(paths, st, cfg, session);
    return r.closingMoveRan && r.closing.ok ? "ok" : "failed: " + r.closing.error;
}

// Reads an outbox text (a file or an upload) of closing rounds into `calls`: per call (digit and
// round), "/" where its lines begin and each line's position, so a call repeated, split or mixed
// with another shows. Checks the header, whole CR LF lines, the answers each code names and,
// when `numbered`, serials one after another. Returns the last serial, 0 for an empty text.
inline long readOutbox(const std::string& text, std::map<std::string, std::string>& calls,
                       bool numbered = true) {
    if (text.empty()) return 0;
    const std::string header = vl::OutboxHeader;
    EXPECT_EQ(text.substr(0, header.size()), header);
    EXPECT_TRUE(text.ends_with("\r\n")) << "torn last line";
    static const std::regex form(R"(([1-9]\d*)\t((\d)(\d\d))(\d{3})\t4321\t\d{8}\t([\d,]*))");
    long serial = 0;
    std::string previous;
    for (const std::string& line :
         vl::splitLines(text.substr(std::min(header.size(), text.size())))) {
        std::smatch f;
        if (!std::regex_match(line, f, form)) {
            ADD_FAILURE() << "not an outbox line: " << line;
            return serial;
        }
        const long n = std::stol(f[1]);
        EXPECT_TRUE(!numbered || serial == 0 || n == serial + 1) << "numbering broken: " << line;
        serial = n;
        std::string want; // digit, round, position; a 0 is no answer
        for (int v : {std::stoi(f[3]), std::stoi(f[4]), std::stoi(f[5])})
            if (v > 0) want += (want.empty() ? "" : ",") + std::to_string(v);
        EXPECT_EQ(f[6], want) << line;
        const std::string call = f[2];
        calls[call] += (call == previous ? "" : "/") + std::to_string(std::stoi(f[5]));
        previous = call;
    }
    return serial;
}

// A call's lines read whole and in order.
inline std::string inOrder(int count) {
    std::string s = "/";
    for (int i = 1; i <= count; ++i)
        s += std::to_string(i);
    return s;
}

// A product folder with its references folder and the lock free.
struct Product {
    TempDir dir;
    vl::Paths paths{dir.path()};
    Product() {
        std::filesystem::create_directories(dir.path() / "quiroles/Velantia/referencias");
        dir.write("quiroles/Velantia/Ocupado", "*");
    }
    std::string read(const std::string& rel) const { return dir.read("quiroles/Velantia/" + rel); }
};

// After terminals 1..`terminals` closed `rounds` dispensings each: every call's lines whole,
// together, numbered on from 1, each call exactly once, and the lock free.
inline void checkAllClosed(const Product& p, int terminals, int rounds, int count) {
    std::map<std::string, std::string> calls, expected;
    for (int t = 1; t <= terminals; ++t)
        for (int r = 1; r <= rounds; ++r)
            expected[std::to_string(t) + padded(r, 2)] = inOrder(count);
    const long total = static_cast<long>(terminals) * rounds * count;
    EXPECT_EQ(readOutbox(p.read("Respuesta.tsv"), calls), total);
    EXPECT_EQ(calls, expected);
    EXPECT_EQ(p.read("NumRegistro"), std::to_string(total) + "\r\n");
    EXPECT_EQ(p.read("Ocupado"), "*");
    EXPECT_TRUE(std::filesystem::is_empty(p.paths.product("referencias")));
}

#if defined(VELANTIA_FAULT_WORKER) && !defined(_WIN32)
// The worker program with these arguments.
inline std::unique_ptr<Worker> startWorker(std::vector<std::string> args) {
    args.insert(args.begin(), VELANTIA_FAULT_WORKER);
    return std::make_unique<Worker>(args);
}
#endif

} // namespace vltest
