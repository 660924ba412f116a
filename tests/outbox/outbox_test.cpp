#include <gtest/gtest.h>

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

const std::string kHeader = "resultado_id\tcodigo_nacional\tn_farmacia\tfecha\trespuestas\r\n";
const CivilDate kDate{2024, 3, 7};

struct Closing : vltest::Terminal {
    explicit Closing(std::initializer_list<const char*> codes, const char* reference = "12345673")
        : Terminal(codes, reference) {
        closingCall();
    }
    ClosingResult move() { return closingMove(paths, st, cfg, session, kDate); }
};

// Medicines 1 and 3 of three recorded; the outbox and the counter as found before the move.
TEST(ClosingMove, HeaderAndNumbering) {
    const std::string kept = kHeader + "7\t999999\t4321\t20240306\t2\r\n";
    const std::string none = "<none>";
    struct Row {
        const char* what;
        std::string outbox, counter, added, counterAfter;
    };
    const Row rows[] = {
        {"missing outbox: header, numbering from one", none, "41\r\n",
         kHeader + "1\t111111\t4321\t20240307\t3,12,7\r\n2\t333333\t4321\t20240307\t,4\r\n", "2\r\n"},
        {"outbox under ten bytes: header after its bytes", "1234567\r\n", "41\r\n",
         kHeader + "1\t111111\t4321\t20240307\t3,12,7\r\n2\t333333\t4321\t20240307\t,4\r\n", "2\r\n"},
        {"serials continue from the counter", kept, "7\r\n",
         "8\t111111\t4321\t20240307\t3,12,7\r\n9\t333333\t4321\t20240307\t,4\r\n", "9\r\n"},
        {"beyond single precision", kept, "16777217\r\n",
         "16777218\t111111\t4321\t20240307\t3,12,7\r\n16777219\t333333\t4321\t20240307\t,4\r\n",
         "16777219\r\n"},
        {"no counter", kHeader, none,
         "1\t111111\t4321\t20240307\t3,12,7\r\n2\t333333\t4321\t20240307\t,4\r\n", "2\r\n"},
        {"empty counter", kHeader, "",
         "1\t111111\t4321\t20240307\t3,12,7\r\n2\t333333\t4321\t20240307\t,4\r\n", "2\r\n"},
        {"counter not a number", kHeader, "abc\r\n",
         "1\t111111\t4321\t20240307\t3,12,7\r\n2\t333333\t4321\t20240307\t,4\r\n", "2\r\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Closing c({"111111", "222222", "333333"});
        c.record(1, {"3", "0", "12", "7"});
        c.record(3, {" 5", "4"}); // first counted code starts with a blank
        if (row.outbox != none) c.write("Respuesta.tsv", row.outbox);
        if (row.counter != none) c.write("NumRegistro", row.counter);
        const ClosingResult r = c.move();
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.linesWritten, 2);
        EXPECT_EQ(r.counter, std::stoll(row.counterAfter));
        EXPECT_EQ(c.read("Respuesta.tsv"), (row.outbox == none ? "" : row.outbox) + row.added);
        EXPECT_EQ(c.read("NumRegistro"), row.counterAfter);
    }
}

TEST(ClosingMove, TabCrAndLfInAValueBecomeBlanks) {
    Closing c({"11\t111"});
    c.cfg.n_farmacia = "43\t2\r\n";
    c.record(1, {"1"});
    ASSERT_TRUE(c.move().ok);
    EXPECT_EQ(c.read("Respuesta.tsv"), kHeader + "1\t11 111\t43 2  \t20240307\t1\r\n");
}

TEST(ClosingMove, NothingRecordedWritesNoLineButRewritesCounterAndDeletesReferences) {
    Closing c({"111111", "222222"});
    auto& t = c.session.respuestasMed();
    t[1][0][0] = "2  "; // only exactly 1 means recorded
    t[1][1][1] = "5   ";
    c.write("Respuesta.tsv", kHeader);
    c.write("NumRegistro", "5");
    c.write("referencias/12345673.ref", "x");
    const ClosingResult r = c.move();
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.linesWritten, 0);
    EXPECT_EQ(c.read("Respuesta.tsv"), kHeader);
    EXPECT_EQ(c.read("NumRegistro"), "5\r\n");
    EXPECT_FALSE(fs::exists(c.dir.path() / "quiroles/Velantia/referencias/12345673.ref"));
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

TEST(ClosingMove, OutboxThatCannotBeWrittenKeepsReferencesAndCounterAndFreesLock) {
    Closing c({"111111"});
    c.record(1, {"1"});
    c.write("NumRegistro", "3\r\n");
    c.write("referencias/12345673.ref", "keep");
    fs::create_directories(c.dir.path() / "quiroles/Velantia/Respuesta.tsv");
    const ClosingResult r = c.move();
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.error.empty());
    EXPECT_EQ(r.counter, 3);
    EXPECT_EQ(c.read("NumRegistro"), "3\r\n");
    EXPECT_EQ(c.read("referencias/12345673.ref"), "keep");
    EXPECT_EQ(c.read("Ocupado"), "*");
}

TEST(ClosingMove, CounterThatCannotBeReplacedTakesTheLinesBack) {
    Closing c({"111111"});
    c.record(1, {"1"});
    const std::string before = kHeader + "1\t999999\t4321\t20240306\t2\r\n";
    c.write("Respuesta.tsv", before);
    c.write("referencias/12345673.ref", "keep");
    c.write("NumRegistro/blocker", "x"); // a non-empty folder: the rename over it fails
    const ClosingResult r = c.move();
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(c.read("Respuesta.tsv"), before);
    EXPECT_EQ(c.read("referencias/12345673.ref"), "keep");
    EXPECT_EQ(c.read("Ocupado"), "*");
}

#ifndef _WIN32
TEST(ClosingMove, FullDiskIsReportedAndNothingIsDeleted) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    Closing c({"111111"});
    c.record(1, {"1"});
    c.write("NumRegistro", "3\r\n");
    c.write("referencias/12345673.ref", "keep");
    fs::create_symlink("/dev/full", c.dir.path() / "quiroles/Velantia/Respuesta.tsv");
    const ClosingResult r = c.move();
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(c.read("NumRegistro"), "3\r\n");
    EXPECT_EQ(c.read("referencias/12345673.ref"), "keep");
    EXPECT_EQ(c.read("Ocupado"), "*");
}
#endif

struct JoinRow {
    std::vector<std::string> answers;
    std::string expected;
};

TEST(ClosingMove, RespuestasJoining) {
    const JoinRow rows[] = {
        {{"3", "0", "12", "7"}, "3,12,7"},
        {{" 5", "4"}, ",4"},             // blank first: only the separator is left behind
        {{"4", " 5", "6"}, "4,6"},        // blank in the middle adds nothing
        {{"", "", "2"}, "2"},
        {{"12 x", "-1", "abc", "0.5"}, "12,0.5"},
        {{"0", ""}, ""},
        {{}, ""},
    };
    for (const JoinRow& r : rows) {
        SCOPED_TRACE(r.expected);
        AnswerTable t{};
        for (std::size_t k = 0; k < r.answers.size(); ++k) t[1][1][k + 1] = LSet(r.answers[k], 4);
        EXPECT_EQ(joinRespuestas(t, 1), r.expected);
    }
}

TEST(ClosingMove, RespuestasReachesRowFifty) {
    AnswerTable t{};
    t[2][1][0] = "9   "; // row 0 is the flag row, never an answer
    t[2][1][50] = "8   ";
    EXPECT_EQ(joinRespuestas(t, 2), "8");
}

TEST(StartupSync, ClosingCallMovesRecordedAnswersFromTheReferenceFile) {
    Closing c({"111111", "222222"});
    // A reference file as an earlier run left it: medicine 2 recorded.
    std::string file;
    for (int r = 1; r <= 50; ++r) {
        RefRecord rec;
        if (r == 1) rec.setCode("222222");
        if (r == 1) rec.setOrd(0, "1"), rec.setAns(1, "14");
        rec.setEnd();
        file += rec.bytes;
    }
    c.write("referencias/12345673.ref", file);
    const StartupSyncResult r = completeStartupSync(c.paths, c.st, c.cfg, c.session);
    ASSERT_TRUE(r.closingMoveRan);
    ASSERT_TRUE(r.closing.ok);
    EXPECT_EQ(r.closing.linesWritten, 1);
    const std::string out = c.read("Respuesta.tsv");
    EXPECT_EQ(out.substr(kHeader.size(), 16), "1\t222222\t4321\t20");
    EXPECT_FALSE(fs::exists(c.dir.path() / "quiroles/Velantia/referencias/12345673.ref"));
    EXPECT_EQ(c.read("Ocupado"), "*");
}

TEST(StartupSync, OrdinaryStartOnlyReleasesOwnLock) {
    Closing c({"111111"});
    c.st.closingCall = false;
    c.record(1, {"1"});
    const StartupSyncResult r = completeStartupSync(c.paths, c.st, c.cfg, c.session);
    EXPECT_FALSE(r.closingMoveRan);
    EXPECT_EQ(c.read("Ocupado"), "*");
    EXPECT_EQ(c.read("Respuesta.tsv"), "<missing>");
}

TEST(StartupSync, ClosingCallWithoutPositiveReferenceDoesNotMove) {
    Closing c({"111111"}, "ABCDEFG3");
    const StartupSyncResult r = completeStartupSync(c.paths, c.st, c.cfg, c.session);
    EXPECT_FALSE(r.closingMoveRan);
    EXPECT_EQ(c.read("Ocupado"), "*");
    EXPECT_EQ(c.read("Respuesta.tsv"), "<missing>");
}

// --- Emptying -----------------------------------------------------------------------------

const std::string kLine1 = "1\t111111\t4321\t20240307\t3\r\n";
const std::string kLine2 = "2\t222222\t4321\t20240307\t4\r\n";
const std::string kLine3 = "3\t333333\t4321\t20240307\t5\r\n";

struct Outbox {
    vltest::TempDir dir;
    Paths paths{dir.path()};
    Outbox(const std::string& outbox, const std::string& counter, const std::string& lock = "0") {
        fs::create_directories(dir.path() / "quiroles/Velantia/recibido");
        dir.write("quiroles/Velantia/Respuesta.tsv", outbox);
        dir.write("quiroles/Velantia/NumRegistro", counter);
        dir.write("quiroles/Velantia/Ocupado", lock);
    }
    std::string read(const std::string& rel) const { return dir.read("quiroles/Velantia/" + rel); }
    bool stamped() const {
        static const std::regex form(R"(\d\d/\d\d/\d{4}\d\d:\d\d:\d\d\r\n)");
        return std::regex_match(read("recibido/Respuesta.env"), form);
    }
};

TEST(EmptyOutbox, NothingAppendedEmptiesBoth) {
    const std::string sent = kHeader + kLine1 + kLine2;
    Outbox o(sent, "2\r\n");
    EXPECT_EQ(emptyOutboxAfterSend(o.paths, sent.size()), EmptyOutcome::Emptied);
    EXPECT_EQ(o.read("Respuesta.tsv"), "");
    EXPECT_EQ(o.read("NumRegistro"), "");
    EXPECT_TRUE(o.stamped());
}

TEST(EmptyOutbox, LinesAppendedAfterSendingAreKeptWithHeaderAndCounter) {
    const std::string sent = kHeader + kLine1;
    Outbox o(sent + kLine2 + kLine3, "3\r\n");
    EXPECT_EQ(emptyOutboxAfterSend(o.paths, sent.size()), EmptyOutcome::Trimmed);
    EXPECT_EQ(o.read("Respuesta.tsv"), kHeader + kLine2 + kLine3);
    EXPECT_EQ(o.read("NumRegistro"), "3\r\n");
    EXPECT_TRUE(o.stamped());
}

TEST(EmptyOutbox, OutboxShorterThanSentIsLeftWhole) {
    // Emptied by someone else meanwhile and refilled: none of it was sent.
    const std::string now = kHeader + kLine1;
    Outbox o(now, "1\r\n");
    EXPECT_EQ(emptyOutboxAfterSend(o.paths, now.size() + 50), EmptyOutcome::Trimmed);
    EXPECT_EQ(o.read("Respuesta.tsv"), now);
    EXPECT_EQ(o.read("NumRegistro"), "1\r\n");
}

TEST(EmptyOutbox, WaitsWhileAClosingMoveHoldsTheLock) {
    const std::string sent = kHeader + kLine1;
    Outbox o(sent, "1\r\n", "4");
    EXPECT_EQ(emptyOutboxAfterSend(o.paths, sent.size()), EmptyOutcome::Busy);
    EXPECT_EQ(emptyOutbox(o.paths), EmptyOutcome::Busy);
    EXPECT_EQ(o.read("Respuesta.tsv"), sent);
    EXPECT_EQ(o.read("recibido/Respuesta.env"), "<missing>");
    EXPECT_EQ(o.read("Ocupado"), "4");
}

TEST(EmptyOutbox, SentBytesAreRemovedOnlyWhileTheOutboxStillBeginsWithThem) {
    struct Row {
        const char* what;
        std::string now, sent;
        EmptyOutcome outcome;
        std::string after;
        const char* counterAfter;
    };
    const Row rows[] = {
        {"unchanged", kHeader + kLine1, kHeader + kLine1, EmptyOutcome::Emptied, "", ""},
        {"lines came after", kHeader + kLine1 + kLine2, kHeader + kLine1, EmptyOutcome::Trimmed,
         kHeader + kLine2, "2\r\n"},
        // Another send emptied it and new answers of the same length came in: none were sent.
        {"replaced, same length", kHeader + kLine2, kHeader + kLine1, EmptyOutcome::Trimmed,
         kHeader + kLine2, "2\r\n"},
        {"replaced, longer", kHeader + kLine2 + kLine3, kHeader + kLine1, EmptyOutcome::Trimmed,
         kHeader + kLine2 + kLine3, "2\r\n"},
        {"nothing sent, empty outbox", "", "", EmptyOutcome::Emptied, "", ""},
        {"nothing sent", kHeader + kLine1, "", EmptyOutcome::Trimmed, kHeader + kLine1, "2\r\n"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        Outbox o(r.now, "2\r\n");
        EXPECT_EQ(emptyOutboxAfterSend(o.paths, r.sent), r.outcome);
        EXPECT_EQ(o.read("Respuesta.tsv"), r.after);
        EXPECT_EQ(o.read("NumRegistro"), r.counterAfter);
        EXPECT_TRUE(o.stamped());
    }
}

TEST(EmptyOutbox, AClosingMoveOfThisProgramDoesNotHoldTheEmptyingBack) {
    // Its writes take the operating-system lock, so the emptying can go on beside it.
    const std::string sent = kHeader + kLine1;
    Outbox o(sent, "1\r\n", "*");
    ASSERT_TRUE(tryAcquireForClosing(o.paths, "4").acquired);
    EXPECT_EQ(emptyOutboxAfterSend(o.paths, sent), EmptyOutcome::Emptied);
    EXPECT_EQ(emptyOutbox(o.paths), EmptyOutcome::Emptied);
    EXPECT_EQ(o.read("Ocupado"), "4");
    release(o.paths);
}

// The "Enviado" tick: what the upload sent goes, as after a confirmed send; nothing when the
// outbox no longer begins with it or a closing move holds the lock, and the pharmacist is told.
TEST(EmptyOutbox, EnviadoTickRemovesWhatTheUploadSent) {
    struct Row {
        const char* what;
        std::string now;
        std::optional<std::string> sent; // nullopt: a send by hand
        const char* lock;
        std::string after;
        bool askAgain;
        const char* said;
        bool sentElsewhere = false; // another terminal's send confirmed since the upload
    };
    const Row rows[] = {
        {"lines came after", kHeader + kLine1 + kLine2, kHeader + kLine1, "*", kHeader + kLine2,
         false, ""},
        {"replaced", kHeader + kLine2, kHeader + kLine1, "*", kHeader + kLine2, false,
         "no se ha borrado nada"},
        {"closing move", kHeader + kLine1, kHeader + kLine1, "4", kHeader + kLine1, true,
         "Vuelva a marcar"},
        {"sent by hand", kHeader + kLine1 + kLine2, std::nullopt, "*", "", false, ""},
        {"emptied elsewhere, refilled alike", kHeader + kLine1, kHeader + kLine1, "*",
         kHeader + kLine1, false, "no se ha borrado nada", true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        Outbox o(r.now, "2\r\n", r.lock);
        std::string stamp;
        readOutboxSnapshot(o.paths, &stamp);
        if (r.sentElsewhere) o.dir.write("quiroles/Velantia/recibido/Respuesta.env", "x\r\n");
        const SentTick t = confirmSentByHand(o.paths, r.sent, stamp);
        EXPECT_EQ(o.read("Respuesta.tsv"), r.after);
        EXPECT_EQ(t.askAgain, r.askAgain);
        EXPECT_TRUE(*r.said ? fromCp1252(t.message).find(r.said) != std::string::npos
                            : t.message.empty())
            << t.message;
    }
}

TEST(EmptyOutbox, NextClosingAfterEmptyingStartsWithHeaderAndOne) {
    Outbox o(kHeader + kLine1, "1\r\n");
    ASSERT_EQ(emptyOutbox(o.paths), EmptyOutcome::Emptied);
    RunState st;
    st.reference = "12345673";
    st.terminalDigit = "3";
    st.CodeList[1] = "555555";
    st.CodeCount = 1;
    Config cfg;
    cfg.n_farmacia = "4321";
    SurveySession s;
    s.respuestasMed()[1][0][0] = "1";
    s.respuestasMed()[1][1][1] = "2";
    ASSERT_TRUE(closingMove(o.paths, st, cfg, s, kDate).ok);
    EXPECT_EQ(o.read("Respuesta.tsv"), kHeader + "1\t555555\t4321\t20240307\t2\r\n");
}

} // namespace
