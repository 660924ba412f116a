#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "support/closings.h"

using namespace vl;
namespace fs = std::filesystem;

namespace {

const std::string kHeader = OutboxHeader;

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
    // Answer codes in rows 1 to 50: only positive values count, each up to its first blank.
    std::vector<std::string> answers{"3", "0", "12", " 5", "6", "", "-1", "abc", "0.5", "12 x"};
    answers.resize(50);
    answers.back() = "7";
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        vltest::Closing c({"111111", "222222", "333333"});
        c.record(1, answers);
        c.session.respuestasMed()[1][1][0] = "9   "; // the flag row, never an answer
        c.record(2, {"5"});
        c.session.respuestasMed()[2][0][0] = "2  "; // only exactly 1 means recorded
        c.record(3, {" 5", "4"}); // a first code that starts with a blank leaves its comma
        if (row.outbox != none) c.write("Respuesta.tsv", row.outbox);
        if (row.counter != none) c.write("NumRegistro", row.counter);
        ASSERT_TRUE(c.move().ok);
        EXPECT_EQ(c.read("Respuesta.tsv"),
                  (row.outbox == none ? "" : row.outbox) + (row.header ? kHeader : "") +
                      std::to_string(row.first) + "\t111111\t4321\t20240307\t3,12,6,0.5,12,7\r\n" +
                      std::to_string(row.first + 1) + "\t333333\t4321\t20240307\t,4\r\n");
        EXPECT_EQ(c.read("NumRegistro"), std::to_string(row.first + 1) + "\r\n");
    }
}

TEST(ClosingMove, TabCrAndLfInAValueBecomeBlanks) {
    vltest::Closing c({"11\t111"});
    c.cfg.n_farmacia = "43\t2\r\n";
    c.record(1, {"1"});
    ASSERT_TRUE(c.move().ok);
    EXPECT_EQ(c.read("Respuesta.tsv"), kHeader + "1\t11 111\t43 2  \t20240307\t1\r\n");
}

TEST(ClosingMove, DeletesOnlyThisTerminalsReferenceFilesAndFrees) {
    vltest::Closing c({"111111"});
    c.record(1, {"1"});
    ASSERT_TRUE(c.session.synchronise(c.st, c.paths)); // the session's file stays open
    c.record(1, {"1"});
    // Only these stay: another terminal's, or not a reference file of the right form.
    const std::set<std::string> others{"12345673.txt", "12345674.ref", "123456773.ref",
                                       "1234573.ref"};
    for (const std::string name : {"99999973.REF", "abcdef73.ref", "12345673.ref.~1",
                                   "12345673.txt", "12345674.ref", "123456773.ref", "1234573.ref"})
        c.write("referencias/" + name, "x");
    const ClosingResult r = c.move();
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.referencesDeleted, 3);
    EXPECT_FALSE(c.session.referenceOpen());
    std::set<std::string> left;
    for (const auto& e : fs::directory_iterator(c.paths.product("referencias")))
        left.insert(e.path().filename().string());
    EXPECT_EQ(left, others);
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
        vltest::Closing c({"111111"});
        c.record(1, {"1"});
        c.write("referencias/12345673.ref", "keep");
        c.write("Respuesta.tsv", before);
        c.write("NumRegistro", "3\r\n");
        const bool full = blocked == "/dev/full", counter = blocked == "NumRegistro";
        fs::remove(c.paths.product(full ? "Respuesta.tsv" : blocked));
        if (full) fs::create_symlink(blocked, c.paths.product("Respuesta.tsv"));
        if (!full) c.write(blocked + "/x", "x");
        const ClosingResult r = c.move();
        EXPECT_FALSE(r.ok);
        EXPECT_FALSE(r.error.empty());
        EXPECT_EQ(r.counter, counter ? 0 : 3);
        // The other file as it was.
        EXPECT_EQ(c.read(counter ? "Respuesta.tsv" : "NumRegistro"), counter ? before : "3\r\n");
        EXPECT_EQ(c.read("referencias/12345673.ref"), "keep");
        EXPECT_EQ(c.read("Ocupado"), "*");
    }
}

// An ordinary start, or a closing call without a positive reference, moves nothing and only
// frees the terminal's own lock.
TEST(StartupSync, NoClosingMoveOnlyReleasesOwnLock) {
    for (const bool closing : {false, true}) {
        vltest::Closing c({"111111"}, closing ? "ABCDEFG3" : "12345673");
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
    const std::string h1 = kHeader + "1\t111111\t4321\t20240307\t3\r\n";
    const std::string line2 = "2\t222222\t4321\t20240307\t4\r\n", h2 = kHeader + line2;
    const std::string line3 = "3\t333333\t4321\t20240307\t5\r\n";
    const struct {
        const char* what;
        std::string now;
        std::optional<std::string> sent; // nullopt: a send by hand
        std::string lock;                // "4 here": taken through this program
        E outcome;
        std::string after;
        const char* said = "";
        bool sentElsewhere = false; // another terminal's send confirmed since the upload
    } rows[] = {
        {"unchanged", h1, h1, "*", E::Emptied, ""},
        {"lines came after", h1 + line2, h1, "*", E::Trimmed, h2},
        // Another send emptied it and new answers of the same length came in: none were sent.
        {"replaced, same length", h2, h1, "*", E::Trimmed, h2, "no se ha borrado nada"},
        {"replaced, longer", h2 + line3, h1, "*", E::Trimmed, h2 + line3, "no se ha borrado"},
        {"nothing sent, empty outbox", "", "", "*", E::Emptied, ""},
        {"nothing sent", h1, "", "*", E::Trimmed, h1},
        {"sent by hand", h1 + line2, std::nullopt, "*", E::Emptied, ""},
        {"emptied elsewhere, refilled alike", h1, h1, "*", E::Trimmed, h1, "no se ha borrado",
         true},
        {"a closing move holds the lock", h1, h1, "4", E::Busy, h1, "Vuelva a marcar"},
        // Its writes take the operating-system lock, so the emptying can go on beside it.
        {"a closing move of this program", h1, h1, "4 here", E::Emptied, ""}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        vltest::Product p;
        p.write("Respuesta.tsv", r.now);
        p.write("NumRegistro", "2\r\n");
        if (r.lock != "4 here") p.write("Ocupado", r.lock);
        ASSERT_TRUE(r.lock != "4 here" || tryAcquireForClosing(p.paths, "4").acquired);
        std::string stamp;
        readOutboxSnapshot(p.paths, &stamp);
        if (r.sentElsewhere) p.write("recibido/Respuesta.env", "x\r\n");
        const SentTick t = confirmSentByHand(p.paths, r.sent, stamp);
        EXPECT_EQ(t.outcome, r.outcome);
        EXPECT_TRUE(*r.said ? fromCp1252(t.message).find(r.said) != std::string::npos
                            : t.message.empty())
            << t.message;
        EXPECT_EQ(p.read("Respuesta.tsv"), r.after);
        EXPECT_EQ(p.read("NumRegistro"), r.outcome == E::Emptied ? "" : "2\r\n");
        static const std::regex form(R"(\d\d/\d\d/\d{4}\d\d:\d\d:\d\d\r\n)");
        EXPECT_EQ(std::regex_match(p.read("recibido/Respuesta.env"), form),
                  r.outcome != E::Busy && !r.sentElsewhere);
        EXPECT_TRUE(r.lock == "*" || emptyOutbox(p.paths) == r.outcome);
        EXPECT_EQ(p.read("Ocupado"), r.lock.substr(0, 1));
        release(p.paths);
    }
}

} // namespace
