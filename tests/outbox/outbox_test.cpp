#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "core/text.h"
#include "outbox/lock.h"
#include "outbox/outbox.h"
#include "support/terminal.h"

using namespace vl;
namespace fs = std::filesystem;

namespace {

const std::string kHeader = OutboxHeader;
const std::string kLine1 = "1\t111111\t4321\t20240307\t3\r\n";
const std::string kLine2 = "2\t222222\t4321\t20240307\t4\r\n";
const std::string kLine3 = "3\t333333\t4321\t20240307\t5\r\n";

struct Closing : vltest::Terminal {
    explicit Closing(std::initializer_list<const char*> codes, const char* reference = "12345673")
        : Terminal(codes, reference) {
        closingCall();
    }
    ClosingResult move() { return closingMove(paths, st, cfg, session, {2024, 3, 7}); }
};

// Medicines 1 and 3 of three recorded; the outbox and the counter as found before the move.
TEST(ClosingMove, HeaderAndNumbering) {
    const std::string kept = kHeader + "7\t999999\t4321\t20240306\t2\r\n", none = "<none>";
    const struct {
        const char* what;
        std::string outbox, counter;
        bool header;
        long long first;
    } rows[] = {
        {"missing outbox: header, numbering from one", none, "41\r\n", true, 1},
        {"emptied by a send", "", "", true, 1},
        {"outbox under ten bytes: header after its bytes", "1234567\r\n", "41\r\n", true, 1},
        {"serials continue from the counter", kept, "7\r\n", false, 8},
        {"beyond single precision", kept, "16777217\r\n", false, 16777218},
        {"no counter", kHeader, none, false, 1},
        {"empty counter", kHeader, "", false, 1},
        {"counter not a number", kHeader, "abc\r\n", false, 1}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Closing c({"111111", "222222", "333333"});
        c.record(1, {"3", "0", "12", "7"});
        c.record(2, {"5"});
        c.session.respuestasMed()[2][0][0] = "2  "; // only exactly 1 means recorded
        c.record(3, {" 5", "4"});                   // first counted code starts with a blank
        if (row.outbox != none) c.write("Respuesta.tsv", row.outbox);
        if (row.counter != none) c.write("NumRegistro", row.counter);
        const ClosingResult r = c.move();
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.linesWritten, 2);
        EXPECT_EQ(r.counter, row.first + 1);
        EXPECT_EQ(c.read("Respuesta.tsv"),
                  (row.outbox == none ? "" : row.outbox) + (row.header ? kHeader : "") +
                      std::to_string(row.first) + "\t111111\t4321\t20240307\t3,12,7\r\n" +
                      std::to_string(row.first + 1) + "\t333333\t4321\t20240307\t,4\r\n");
        EXPECT_EQ(c.read("NumRegistro"), std::to_string(row.first + 1) + "\r\n");
    }
}

TEST(ClosingMove, TabCrAndLfInAValueBecomeBlanks) {
    Closing c({"11\t111"});
    c.cfg.n_farmacia = "43\t2\r\n";
    c.record(1, {"1"});
    ASSERT_TRUE(c.move().ok);
    EXPECT_EQ(c.read("Respuesta.tsv"), kHeader + "1\t11 111\t43 2  \t20240307\t1\r\n");
}

TEST(ClosingMove, DeletesOnlyThisTerminalsReferenceFilesAndFrees) {
    Closing c({"111111"});
    c.record(1, {"1"});
    ASSERT_TRUE(c.session.synchronise(c.st, c.paths)); // the session's file stays open
    c.record(1, {"1"});
    for (const char* name : {"99999973.REF", "abcdef73.ref", "12345674.ref", "1234573.ref",
                             "123456773.ref", "12345673.txt"})
        c.write(std::string("referencias/") + name, "x");
    const ClosingResult r = c.move();
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.referencesDeleted, 3);
    EXPECT_FALSE(c.session.referenceOpen());
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(c.dir.path() / "quiroles/Velantia/referencias"))
        left.push_back(e.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"12345673.txt", "12345674.ref", "123456773.ref",
                                              "1234573.ref"}));
    EXPECT_EQ(c.read("Ocupado"), "*");
    EXPECT_EQ(c.read("final3"), "F");
}

// The outbox or the counter cannot be written (a folder in its place, a full disk): the move
// says so, takes its lines back and keeps the reference file, and the lock is freed.
TEST(ClosingMove, FullDiskIsReportedAndNothingIsDeleted) {
    const std::string before = kHeader + "3\t999999\t4321\t20240306\t2\r\n";
    for (const std::string blocked : {"Respuesta.tsv", "NumRegistro", "/dev/full"}) {
        SCOPED_TRACE(blocked);
        if (blocked == "/dev/full" && !fs::exists(blocked)) continue;
        Closing c({"111111"});
        c.record(1, {"1"});
        c.write("referencias/12345673.ref", "keep");
        c.write("Respuesta.tsv", before);
        c.write("NumRegistro", "3\r\n");
        const fs::path product = c.dir.path() / "quiroles/Velantia";
        if (blocked == "/dev/full") {
            fs::remove(product / "Respuesta.tsv");
            fs::create_symlink(blocked, product / "Respuesta.tsv");
        } else {
            fs::remove(product / blocked);
            c.write(blocked + "/x", "x");
        }
        const ClosingResult r = c.move();
        EXPECT_FALSE(r.ok);
        EXPECT_FALSE(r.error.empty());
        const bool counter = blocked == "NumRegistro";
        EXPECT_EQ(r.counter, counter ? 0 : 3);
        // The other file as it was.
        EXPECT_EQ(c.read(counter ? "Respuesta.tsv" : "NumRegistro"), counter ? before : "3\r\n");
        EXPECT_EQ(c.read("referencias/12345673.ref"), "keep");
        EXPECT_EQ(c.read("Ocupado"), "*");
    }
}

TEST(ClosingMove, RespuestasJoining) {
    std::vector<std::string> fifty(50);
    fifty.back() = "8";
    const struct {
        std::vector<std::string> answers; // rows 1..
        std::string expected;
    } rows[] = {{{"3", "0", "12", "7"}, "3,12,7"},
                {{" 5", "4"}, ",4"},       // blank first: only the separator is left behind
                {{"4", " 5", "6"}, "4,6"}, // blank in the middle adds nothing
                {{"", "", "2"}, "2"},
                {{"12 x", "-1", "abc", "0.5"}, "12,0.5"},
                {{"0", ""}, ""},
                {{}, ""},
                {fifty, "8"}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.expected);
        AnswerTable t{};
        t[1][1][0] = "9   "; // row 0 is the flag row, never an answer
        for (std::size_t k = 0; k < r.answers.size(); ++k)
            t[1][1][k + 1] = LSet(r.answers[k], 4);
        EXPECT_EQ(joinRespuestas(t, 1), r.expected);
    }
}

// An ordinary start, or a closing call without a positive reference, moves nothing and only
// frees the terminal's own lock.
TEST(StartupSync, NoClosingMoveOnlyReleasesOwnLock) {
    for (const bool closing : {false, true}) {
        Closing c({"111111"}, closing ? "ABCDEFG3" : "12345673");
        c.st.closingCall = closing;
        c.record(1, {"1"});
        EXPECT_FALSE(completeStartupSync(c.paths, c.st, c.cfg, c.session).closingMoveRan);
        EXPECT_EQ(c.read("Ocupado"), "*");
        EXPECT_EQ(c.read("Respuesta.tsv"), "<missing>");
    }
}

// After a confirmed send, or the "Enviado" tick after an upload without an answer: what was sent
// goes, only while the outbox still begins with it and no closing move holds the lock; else
// nothing goes and the pharmacist is told.
TEST(EmptyOutbox, EnviadoTickRemovesWhatTheUploadSent) {
    using E = EmptyOutcome;
    const std::string h1 = kHeader + kLine1, h2 = kHeader + kLine2;
    const struct {
        const char* what;
        std::string now;
        std::optional<std::string> sent; // nullopt: a send by hand
        std::string lock;                // "4 here": taken through this program
        E outcome;
        std::string after;
        const char* said = "";
        bool bySize = false;        // only the size of what was sent is known
        bool sentElsewhere = false; // another terminal's send confirmed since the upload
    } rows[] = {
        {"unchanged", h1, h1, "*", E::Emptied, ""},
        {"lines came after", h1 + kLine2, h1, "*", E::Trimmed, h2},
        // Another send emptied it and new answers of the same length came in: none were sent.
        {"replaced, same length", h2, h1, "*", E::Trimmed, h2, "no se ha borrado nada"},
        {"replaced, longer", h2 + kLine3, h1, "*", E::Trimmed, h2 + kLine3, "no se ha borrado"},
        {"nothing sent, empty outbox", "", "", "*", E::Emptied, ""},
        {"nothing sent", h1, "", "*", E::Trimmed, h1},
        {"sent by hand", h1 + kLine2, std::nullopt, "*", E::Emptied, ""},
        {"emptied elsewhere, refilled alike", h1, h1, "*", E::Trimmed, h1, "no se ha borrado",
         false, true},
        {"by size, unchanged", h1 + kLine2, h1 + kLine2, "*", E::Emptied, "", "", true},
        {"by size, lines came after", h1 + kLine2 + kLine3, h1, "*", E::Trimmed, h2 + kLine3, "",
         true},
        {"by size, emptied meanwhile", h1, h1 + kLine2, "*", E::Trimmed, h1, "", true},
        {"a closing move holds the lock", h1, h1, "4", E::Busy, h1, "Vuelva a marcar"},
        // Its writes take the operating-system lock, so the emptying can go on beside it.
        {"a closing move of this program", h1, h1, "4 here", E::Emptied, ""}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        vltest::TempDir dir;
        const Paths paths{dir.path()};
        dir.write("quiroles/Velantia/Respuesta.tsv", r.now);
        dir.write("quiroles/Velantia/NumRegistro", "2\r\n");
        dir.write("quiroles/Velantia/Ocupado", r.lock == "4 here" ? "*" : r.lock);
        ASSERT_TRUE(r.lock != "4 here" || tryAcquireForClosing(paths, "4").acquired);
        std::string stamp;
        readOutboxSnapshot(paths, &stamp);
        if (r.sentElsewhere) dir.write("quiroles/Velantia/recibido/Respuesta.env", "x\r\n");
        if (r.bySize) {
            EXPECT_EQ(emptyOutboxAfterSend(paths, r.sent->size()), r.outcome);
        } else {
            const SentTick t = confirmSentByHand(paths, r.sent, stamp);
            EXPECT_EQ(t.outcome, r.outcome);
            EXPECT_EQ(t.askAgain, r.outcome == E::Busy);
            EXPECT_TRUE(*r.said ? fromCp1252(t.message).find(r.said) != std::string::npos
                                : t.message.empty())
                << t.message;
        }
        EXPECT_EQ(dir.read("quiroles/Velantia/Respuesta.tsv"), r.after);
        EXPECT_EQ(dir.read("quiroles/Velantia/NumRegistro"),
                  r.outcome == E::Emptied ? "" : "2\r\n");
        static const std::regex form(R"(\d\d/\d\d/\d{4}\d\d:\d\d:\d\d\r\n)");
        EXPECT_EQ(std::regex_match(dir.read("quiroles/Velantia/recibido/Respuesta.env"), form),
                  r.outcome != E::Busy && !r.sentElsewhere);
        EXPECT_TRUE(r.lock == "*" || emptyOutbox(paths) == r.outcome);
        EXPECT_EQ(dir.read("quiroles/Velantia/Ocupado"), r.lock.substr(0, 1));
        release(paths);
    }
}

} // namespace
