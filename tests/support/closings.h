// Terminals on one product folder on a fresh drive root: a dispensing (the command-line state
// naming the reference and the medicines, the session that holds the answers), the reference
// files that closing calls move, the call itself, the worker processes that make it, and the
// check of the outbox they leave.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <regex>
#include <thread>

#include "core/text.h"
#include "outbox/closingcall.h"
#include "outbox/lock.h"
#include "outbox/outbox.h"
#include "platform/fileio.h"
#include "platform/oslock.h"
#include "support/tempdir.h"
#if defined(VELANTIA_FAULT_WORKER) && !defined(_WIN32)
#include "support/faults.h"
#endif

namespace vltest {

// The product folder with its references folder.
struct Folder {
    TempDir dir;
    vl::Paths paths{dir.path()};

    Folder() { std::filesystem::create_directories(dir.path() / "quiroles/Velantia/referencias"); }
    void write(const std::string& rel, const std::string& bytes) const {
        dir.write("quiroles/Velantia/" + rel, bytes);
    }
    std::string read(const std::string& rel) const { return dir.read("quiroles/Velantia/" + rel); }
};

struct Terminal : Folder {
    vl::RunState st;
    vl::Config cfg;
    vl::SurveySession session;

    explicit Terminal(std::initializer_list<const char*> codes,
                      const std::string& reference = "12345670") {
        st.hasReference = true;
        st.reference = reference;
        cfg.n_farmacia = "4321";
        setCodes(codes);
    }
    void setCodes(std::initializer_list<const char*> codes) {
        st.CodeList = {};
        st.CodeCount = 0;
        for (const char* c : codes)
            st.CodeList[++st.CodeCount] = c;
        st.CurrentIndex = st.CodeCount ? 1 : 0;
    }
    std::string refFile() const { return read("referencias/" + st.reference + ".ref"); }
};

inline std::string padded(int v, int width) {
    const std::string s = std::to_string(v);
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

// The settings that the service double accepts.
inline vl::Config serviceConfig() {
    vl::Config cfg;
    cfg.n_farmacia = "4321";
    cfg.codigo_empresa = "77";
    cfg.clave = "secreta";
    return cfg;
}

// One closing call as the launcher makes it without the windows: the lock, waited for as the
// busy window does, then the move. "ok", or why not.
inline std::string closeOnce(const vl::Paths& paths, const std::string& line,
                             std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    vl::ClosingOutcome o = vl::closingCallWithoutWindows(paths, line, 768);
    if (o.kind == vl::ClosingOutcome::Busy)
        o = vl::closeWhenFree(paths, o, std::chrono::milliseconds(1), limit);
    return o.kind == vl::ClosingOutcome::Done ? "ok" : "failed: " + o.error;
}

// Reads an outbox text (a file or an upload) of closing rounds into `calls`: per call (digit and
// round), "/" where its lines begin and each line's position, so a call repeated, split or mixed
// with another shows. Checks the header, whole CR LF lines, the answers each code names and
// serials one after another. Returns the last serial, 0 for an empty text.
inline long readOutbox(const std::string& text, std::map<std::string, std::string>& calls) {
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
        EXPECT_TRUE(serial == 0 || n == serial + 1) << "numbering broken: " << line;
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

// The closing call of the terminal named by the reference's last digit, holding the lock.
struct Closing : Terminal {
    explicit Closing(std::initializer_list<const char*> codes, const char* reference = "12345673")
        : Terminal(codes, reference) {
        st.closingCall = true;
        st.terminalDigit = std::string(1, st.reference.back());
        write("Ocupado", st.terminalDigit);
    }
    // Medicine m recorded with these answer codes in rows 1.., padded as read back from the file.
    void record(int m, const std::vector<std::string>& answers) {
        auto& t = session.respuestasMed();
        t[m][0][0] = vl::LSet("1", 3);
        for (std::size_t k = 0; k < answers.size(); ++k)
            t[m][1][k + 1] = vl::LSet(answers[k], 4);
    }
    vl::ClosingResult move() { return vl::closingMove(paths, st, cfg, session, {2024, 3, 7}); }
};

// The product folder with the lock free and, from `outboxLines` on, that many lines of an
// earlier call ("999") in the outbox.
struct Product : Folder {
    explicit Product(int outboxLines = 0) {
        write("Ocupado", "*");
        write("config/datos.txt", "4321\r\n");
        if (outboxLines == 0) return;
        std::string outbox = vl::OutboxHeader;
        for (int n = 1; n <= outboxLines; ++n)
            outbox += std::to_string(n) + "\t999999\t4321\t20240306\t9,99,999\r\n";
        write("Respuesta.tsv", outbox);
        write("NumRegistro", std::to_string(outboxLines) + "\r\n");
    }
    // An open file keeps its folder from being removed on Windows.
    ~Product() { vl::dropHolds(vl::lockGuardPath(paths)); }
#if defined(VELANTIA_FAULT_WORKER) && !defined(_WIN32)
    // The command line of the worker program doing `mode` in this folder.
    std::vector<std::string> worker(const std::string& mode, std::vector<std::string> args) const {
        args.insert(args.begin(), {VELANTIA_FAULT_WORKER, mode, dir.path().string()});
        return args;
    }
#endif
};

// After `calls` closing calls, each one's lines (readOutbox's positions) in `got` (what went out
// before) and the outbox matching `lines`: numbered from 1 to NumRegistro, the lock free and
// nothing left behind.
inline void checkAllClosed(const Product& p, std::size_t calls, const std::string& lines,
                           std::map<std::string, std::string> got = {}) {
    const std::string outbox = p.read("Respuesta.tsv");
    const long last = readOutbox(outbox, got);
    EXPECT_EQ(outbox.substr(std::string(vl::OutboxHeader).size(), 2), "1\t");
    EXPECT_EQ(p.read("NumRegistro"), std::to_string(last) + "\r\n");
    got.erase("999");
    EXPECT_EQ(got.size(), calls);
    for (const auto& [call, positions] : got)
        EXPECT_TRUE(std::regex_match(positions, std::regex(lines))) << call << ": " << positions;
    EXPECT_EQ(p.read("Ocupado"), "*");
    EXPECT_TRUE(std::filesystem::is_empty(p.paths.product("referencias")));
    for (const auto& e : std::filesystem::directory_iterator(p.paths.product()))
        EXPECT_EQ(e.path().filename().string().find(".~"), std::string::npos) << e.path();
}

} // namespace vltest
