// The outbox, the lock byte and the closing call, in this process; then the launcher's closing
// calls, several terminals at once, each a velantia process started from the product folder as
// the pharmacy-management program starts it.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <optional>
#include <set>

#include "core/dates.h"
#include "core/faultpoint.h"
#include "core/runlog.h"
#include "outbox/closingcall.h"
#include "outbox/closingmove.h"
#include "platform/oslock.h"
#include "support/closings.h"

using namespace vl;
using namespace std::string_literals;
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
        {"counter not a number", kHeader, "abc\r\n", false, 1},
        {"counter saved with a byte-order mark", kHeader, "\xEF\xBB\xBF\x37\r\n", false, 8}};
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

TEST(ClosingMove, TabCrLfAndNulInAValueBecomeBlanks) {
    vltest::Closing c({"11\t111"});
    c.cfg.n_farmacia = "43\t2\r\n";
    // In an answer code the blank it becomes is where the code ends; NULs pad a field never
    // written whole.
    c.record(1, {"1", "3\t4", "8\r\n", "7\0\0\0"s, "1\0"s, "5\x1B", "6\x81", "2\x7F"});
    ASSERT_TRUE(c.move().ok);
    EXPECT_EQ(c.read("Respuesta.tsv"),
              kHeader + "1\t11 111\t43 2  \t20240307\t1,3,8,7,1,5,6,2\r\n");
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
    EXPECT_EQ(r.referencesDeleted, 2); // not its own, which the session made
    EXPECT_FALSE(c.session.referenceOpen());
    std::set<std::string> left;
    for (const auto& e : fs::directory_iterator(c.paths.product("referencias")))
        left.insert(e.path().filename().string());
    EXPECT_EQ(left, others);
    EXPECT_EQ(c.read("Ocupado"), "*");
    EXPECT_EQ(c.read("final3"), "F");
}

// Two dispensings of terminal 3 whose references end alike, closed one after the other as two
// calls that start together do: the first sets the other's recorded file aside instead of
// deleting it, and the other's closing call takes it back and moves it (also when an ordinary
// start of it comes first). A call whose file was there when it began and is gone says so. The
// file of a call that has begun and still runs is left to it, neither moved nor set aside.
TEST(ClosingMove, AnotherDispensingsFileIsSetAsideAndTakenBack) {
    for (const std::string between : {"", "ordinary", "gone", "running"}) {
        SCOPED_TRACE(between);
        vltest::Product p;
        const std::string first = vltest::writeClosingRound(p.paths, "3", 1, 2);
        const std::string second = vltest::writeClosingRound(p.paths, "3", 11, 3);
        const std::string ref2 = second.substr(3, 8), aside = "referencias/apartados/" + ref2;
        runlog::open(p.paths, "3");
        if (between == "running") {
            ASSERT_TRUE(noteClosingCall(p.paths, parseCommandLine(second), second));
            EXPECT_EQ(vltest::closeOnce(p.paths, first), "ok");
            EXPECT_NE(p.read("referencias/" + ref2 + ".ref"), "<missing>");
            EXPECT_EQ(p.read(aside + ".ref"), "<missing>");
            EXPECT_EQ(vltest::closeOnce(p.paths, second), "ok");
            runlog::close();
            const std::string log = p.read("registro3.log");
            EXPECT_EQ(log.find("de un cierre que no termin"), std::string::npos) << log;
            EXPECT_NE(log.find(ref2 + ": l\xEDneas escritas en Respuesta.tsv: 3"), std::string::npos)
                << log;
            vltest::checkAllClosed(p, 2, "/12|/123");
            continue;
        }
        EXPECT_EQ(vltest::closeOnce(p.paths, first), "ok");
        if (between == "gone") { // its call began, then another program took the file away
            p.write("referencias/" + ref2 + ".cierre", second);
            fs::remove(p.paths.product("referencias\\apartados\\" + ref2 + ".ref"));
        }
        EXPECT_EQ(p.read(aside + ".ref") == "<missing>", between == "gone");
        if (between == "ordinary") {
            const ClosingOutcome o = closingCallWithoutWindows(p.paths, second.substr(2), 768);
            EXPECT_EQ(o.kind, ClosingOutcome::NoMove);
            EXPECT_EQ(p.read(aside + ".ref"), "<missing>");
        }
        const std::string outcome = vltest::closeOnce(p.paths, second);
        runlog::close();
        const std::string log = p.read("registro3.log");
        if (between == "gone") {
            EXPECT_NE(outcome.find("No se encuentran las respuestas grabadas"), std::string::npos);
            EXPECT_EQ(log.find("sin errores"), std::string::npos);
            continue;
        }
        EXPECT_EQ(outcome, "ok");
        EXPECT_NE(log.find(ref2 + ".ref, apartado en referencias\\apartados por el cierre de otra "
                                  "dispensaci\xF3n, vuelve a referencias con 3 medicamentos"),
                  std::string::npos);
        vltest::checkAllClosed(p, 2, "/12|/123");
    }
}

// Another program writing into the outbox while the move appends: nothing is added, the answers
// stay, and the message says so instead of blaming the disk.
TEST(ClosingMove, AnOutboxChangedMeanwhileIsSaidSo) {
    vltest::Closing c({"111111"});
    c.record(1, {"1"});
    static fs::path outbox;
    outbox = c.paths.product("Respuesta.tsv");
    vl::setFaultHandler([](const char* step) {
        if (std::string_view(step) == "closing:append") std::ofstream(outbox, std::ios::app) << "x";
    });
    const ClosingResult r = c.move();
    vl::setFaultHandler(nullptr);
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find("Respuesta.tsv ha cambiado"), std::string::npos) << r.error;
}

// A closing call killed once its move is noted, then its window records one more medicine: the
// call that finishes the move keeps that answer with the file's marker, and moves it too.
TEST(ClosingMove, AnAnswerRecordedAfterAKilledMoveIsMovedNotDropped) {
    vltest::Terminal w({"111111", "222222"}, "12345673");
    SurveyPanel panel = buildSurvey("P001 Q\r\nR005 a\r\n");
    ASSERT_TRUE(w.session.synchronise(w.st, w.paths));
    ASSERT_TRUE(w.session.grabar(1, w.st, panel).controls);
    vl::setFaultHandler([](const char* step) {
        if (std::string_view(step) == "closing:append") throw std::runtime_error(step);
    });
    EXPECT_ANY_THROW(vltest::closeOnce(w.paths, "TK-12345673+111111+222222"));
    vl::setFaultHandler(nullptr);
    vl::dropHolds(vl::markerPath(w.paths, "12345673")); // as the system does for a killed call
    ASSERT_TRUE(w.session.grabar(2, w.st, panel).controls);
    w.session.closeReference(); // the window has ended: Windows deletes no file held open
    ASSERT_EQ(vltest::closeOnce(w.paths, "TK-12345573+333333"), "ok");
    const std::string outbox = w.read("Respuesta.tsv");
    EXPECT_EQ(std::count(outbox.begin(), outbox.end(), '\n'), 3) << outbox;
    EXPECT_NE(outbox.find("\t222222\t"), std::string::npos) << outbox;
    EXPECT_FALSE(fs::exists(w.paths.product("referencias\\12345673.ref")));
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

// The dispensing is closed while its window is open. Before, a recording lands in the file where
// it now is (renamed by another run) unless that run put another medicine in its place; after,
// Grabar, Borrar and Todo record nothing and say so, and nothing more reaches the outbox.
TEST(ClosingMove, RecordingIntoAClosedDispensingIsRefused) {
    vltest::Terminal t({"111111", "222222"});
    SurveyPanel panel = buildSurvey("P001 Q\r\nR005 a\r\n");
    t.session.setWriteGuard(lockGuardPath(t.paths));
    ASSERT_TRUE(t.session.synchronise(t.st, t.paths));
    ASSERT_TRUE(t.session.grabar(1, t.st, panel).controls);
    const fs::path ref = t.paths.product("referencias\\12345670.ref");
    const std::string good = t.refFile();
    // Windows lets no one replace a file this run holds open.
    if (writeFileAtomic(ref, "999999" + good.substr(6))) {
        EXPECT_NE(t.session.grabar(1, t.st, panel).refused.find("Otra ventana"), std::string::npos);
        ASSERT_TRUE(writeFileAtomic(ref, good));
    }
    // Without the guard a closing call could be moving the file: nothing is recorded.
    fs::remove(lockGuardPath(t.paths));
    fs::create_directory(lockGuardPath(t.paths));
    EXPECT_EQ(t.session.grabar(2, t.st, panel).controls, std::nullopt);
    EXPECT_EQ(t.refFile(), good);
    fs::remove(lockGuardPath(t.paths));
    ASSERT_TRUE(t.session.grabar(2, t.st, panel).controls);
    EXPECT_EQ(t.refFile().substr(RefRecord::Length, 9), "2222221  ");
    EXPECT_FALSE(t.session.checkClosed());
    ASSERT_EQ(vltest::closeOnce(t.paths, "TK-12345670+111111+222222"), "ok");
    const std::string outbox = t.read("Respuesta.tsv");
    // Seen from a look at the file alone: a recorded medicine then offers neither Borrar nor Todo.
    EXPECT_TRUE(t.session.checkClosed());
    EXPECT_EQ(t.session.muestraRespuestas(2, panel), RecordingControls{});
    EXPECT_FALSE(t.session.todoEnabled());
    for (int action = 0; action < 3; ++action) {
        const RecordingResult r = action == 0   ? t.session.grabar(1, t.st, panel)
                                  : action == 1 ? t.session.borrar(2, t.st, panel)
                                                : t.session.todo(t.st, panel, {});
        EXPECT_EQ(r.controls, std::nullopt);
        EXPECT_NE(r.refused.find("12345670 ya se ha cerrado"), std::string::npos) << r.refused;
    }
    EXPECT_FALSE(fs::exists(ref));
    EXPECT_EQ(t.read("Respuesta.tsv"), outbox);
    EXPECT_EQ(std::count(outbox.begin(), outbox.end(), '\n'), 3);
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

// An accepted send that found the outbox busy keeps its note: the next look says so and
// leaves it, until the outbox is free and the sent lines go without being sent again.
TEST(EmptyOutbox, AnAcceptedSendStillNotedIsFinishedOnceTheOutboxIsFree) {
    vltest::Product p(1);
    const std::string sent = p.read("Respuesta.tsv");
    p.write("Ocupado", "4"); // a closing move of a program without the guard
    ASSERT_EQ(emptyOutboxAfterSend(p.paths, sent), EmptyOutcome::Busy);
    runlog::open(p.paths, "0");
    finishAcceptedSend(p.paths);
    const std::string busy = p.read("registro0.log");
    p.write("Ocupado", "*");
    finishAcceptedSend(p.paths);
    runlog::close();
    EXPECT_NE(busy.find("otro terminal escrib\xED"
                        "a en Respuesta.tsv: no se ha borrado nada; se "
                        "intentar\xE1 de nuevo"),
              std::string::npos)
        << busy;
    EXPECT_EQ(busy.find("ya no lo contiene"), std::string::npos) << busy;
    EXPECT_NE(p.read("registro0.log").find("vaciados sin volver a enviarlo"), std::string::npos);
    EXPECT_EQ(p.read("Respuesta.tsv") + p.read("Respuesta.aceptado"), "<missing>");
}

// The product folder with these bytes in Ocupado; "<missing>" leaves the file absent.
struct LockDir : vltest::Product {
    explicit LockDir(const std::string& bytes) {
        if (bytes == "<missing>")
            std::filesystem::remove(paths.product("Ocupado"));
        else
            write("Ocupado", bytes);
    }
    std::string lock() const { return read("Ocupado"); }
};

// A closing call takes the byte unless another terminal holds it, writing its digit (nothing
// without one); a send takes it unless a closing move holds it, writing "0". Its own digit lets
// a terminal close but not send; "0" is a running send, or the sending terminal's own digit; only
// the first byte counts.
TEST(LockChecks, AcquireWritesOnlyWhenFree) {
    const struct {
        std::string lock, digit;
        bool closingBlocked, sendBusy;
    } rows[] = {{"1", "3", true, true},           {"2", "3", true, true},
                {"9", "3", true, true},           {"3", "3", false, true},
                {"0", "3", true, false},          {"0", "0", false, false},
                {"0", "", true, false},           {"5", "", true, true},
                {"*", "3", false, false},         {std::string(1, '\0'), "3", false, false},
                {"", "3", false, false},          {"x", "3", false, false},
                {"<missing>", "3", false, false}, {"*", "", false, false},
                {"7*", "3", true, true}};
    for (const auto& r : rows) {
        SCOPED_TRACE("lock [" + r.lock + "] digit [" + r.digit + "]");
        for (const bool send : {false, true}) {
            LockDir d(r.lock);
            const LockAttempt a =
                send ? tryAcquireForSend(d.paths) : tryAcquireForClosing(d.paths, r.digit);
            const bool blocked = send ? r.sendBusy : r.closingBlocked;
            EXPECT_EQ(a.acquired, !blocked) << "send " << send;
            EXPECT_TRUE(!blocked || a.found == r.lock[0]) << a.found;
            if (blocked || (!send && r.digit.empty()))
                EXPECT_EQ(d.lock(), r.lock);
            else
                EXPECT_EQ(d.lock()[0], send ? '0' : r.digit[0]);
        }
    }
}

// The ways of letting go, with the terminal's digit.
enum Op { Release, ReleaseIfOwn, Finish, ReleaseSend };
void letGo(Op op, const Paths& paths, const std::string& digit) {
    bool ok = true;
    if (op == Release) ok = release(paths);
    if (op == ReleaseIfOwn) releaseIfOwn(paths, digit);
    if (op == Finish) finish(paths, digit);
    if (op == ReleaseSend) ok = releaseSend(paths);
    EXPECT_TRUE(ok);
}

// By what the byte held and the terminal's digit: release over any holder; finish counts "0"
// and no digit both as 0; the end of a send leaves a closing move its digit.
TEST(LockChecks, LettingGo) {
    const struct {
        Op op;
        std::string lock, digit, after;
    } rows[] = {
        {Release, "4", "", "*"},       {ReleaseIfOwn, "3", "3", "*"}, {ReleaseIfOwn, "4", "3", "4"},
        {ReleaseIfOwn, "0", "3", "0"}, {ReleaseIfOwn, "0", "0", "*"}, {ReleaseIfOwn, "0", "", "0"},
        {ReleaseIfOwn, "*", "3", "*"}, {ReleaseIfOwn, "x", "", "x"},  {Finish, "0", "0", "*"},
        {Finish, "0", "", "*"},        {Finish, "0", "3", "0"},       {Finish, "3", "3", "*"},
        {Finish, "4", "3", "4"},       {Finish, "x", "", "*"},        {Finish, "5", "", "5"},
        {Finish, "3", "0", "3"},       {ReleaseSend, "0", "", "*"},   {ReleaseSend, "*", "", "*"},
        {ReleaseSend, "", "", "*"},    {ReleaseSend, "x", "", "*"},   {ReleaseSend, "3", "", "3"},
        {ReleaseSend, "9", "", "9"}};
    for (const auto& r : rows) {
        SCOPED_TRACE("op " + std::to_string(r.op) + " lock " + r.lock + " digit [" + r.digit + "]");
        LockDir d(r.lock);
        letGo(r.op, d.paths, r.digit);
        EXPECT_EQ(d.lock(), r.after);
        EXPECT_TRUE(r.op != Finish || d.read("final" + r.digit) == "F");
    }
}

// A lookup a share holds up past a second ends the run as a finish does, and says so.
TEST(LockChecks, SlowLookupEndsWithAFinishAndAFinLine) {
    LockDir d("3");
    runlog::open(d.paths, "3");
    // Not a death test: under Windows its child would rerun this body in a folder of its own.
    EXPECT_EQ(closeSlowLookupRun(d.paths, "3"), 3);
    runlog::close();
    EXPECT_EQ(d.lock() + d.read("final3"), "*F");
    const std::string log = d.read("registro3.log");
    const std::size_t why = log.find("no responde a tiempo\r\n"),
                      fin = log.find("Fin: terminado con error (c\xF3"
                                     "digo 3)\r\n");
    EXPECT_TRUE(why < fin && fin != log.npos) << log;
}

// A holder that took the byte here is known to be alive until it lets go; every way of letting
// go also forgets it, so its digit never outlives it as a "dead holder" that someone frees.
TEST(LockChecks, HoldersAreKnownAliveUntilTheyLetGo) {
    for (const Op op : {Release, ReleaseIfOwn, Finish, ReleaseSend}) {
        SCOPED_TRACE(op);
        const char digit = op == ReleaseSend ? '0' : '3';
        LockDir d("*");
        ASSERT_TRUE((op == ReleaseSend ? tryAcquireForSend(d.paths)
                                       : tryAcquireForClosing(d.paths, std::string(1, digit)))
                        .acquired);
        EXPECT_TRUE(holderAlive(d.paths, digit));
        EXPECT_EQ(d.read("Ocupado.lck").substr(0, 1), std::string(1, digit));
        // Alive, it blocks another terminal as the byte says.
        EXPECT_FALSE(tryAcquireForClosing(d.paths, "7").acquired);
        letGo(op, d.paths, std::string(1, digit));
        EXPECT_EQ(d.lock(), "*");
        EXPECT_FALSE(holderAlive(d.paths, digit));
        EXPECT_EQ(d.read("Ocupado.lck").substr(0, 1), "*");
    }
}

// The closing call as the launcher does it, before any window exists.
TEST(ClosingCallWithoutWindows, OutcomeAndFilesLeft) {
    using K = vl::ClosingOutcome::Kind;
    const std::string line = "TK-10000012+201001";
    const struct {
        const char* name;
        const char* lockBefore; // nullptr: no lock file
        std::string commandLine;
        K kind;
        const char* lockAfter;
        const char* statusAfter; // final2
        const char* error = "";  // part of the message; the reference file made unopenable
        const char* logged = ""; // part of the run log
        bool readOnly = false;   // instead the reference file made read-only, closed twice
    } cases[] = {
        {"lock free", nullptr, line, K::Done, "*", "F", "",
         "10000012: líneas escritas en Respuesta.tsv: 1 (números 1 a 1); ficheros .ref borrados: "
         "1\r\n"},
        {"three recorded, one in the call", nullptr, line, K::Done, "*", "F", "",
         "1 (números 1 a 1); ficheros .ref borrados: 1; sin pasar a Respuesta.tsv: 2 medicamentos "
         "grabados que no están en la llamada (201002, 201003)\r\n"},
        {"run log cannot be written", nullptr, line, K::Done, "*", "F"},
        {"status file cannot be written", nullptr, line, K::Done, "*", "X", "",
         "en el fichero de estado"},
        {"pharmacy number damaged", nullptr, line, K::Failed, "*", "I", "datos.txt: l",
         "datos.txt: línea 1 (número de farmacia), contiene el byte de control 0x00"},
        {"own lock left over", "2", line, K::Done, "*", "F"},
        {"other terminal sending", "3", line, K::Busy, "3", "I", "",
         "Cierre: Ocupado por el terminal 3"},
        {"no reference", nullptr, "TK+201001", K::NoMove, "<missing>", "<missing>"},
        {"no product folder", nullptr, line, K::NoMove, "", ""},
        {"reference file cannot be opened", nullptr, line, K::Failed, "*", "I", "10000012.ref",
         "Cierre de la dispensación 10000012: ERROR: No se puede abrir"},
        {"guard cannot be opened", nullptr, line, K::Failed, "<missing>", "I", "Ocupado.lck: es una carpeta",
         "Cierre: ERROR: No se puede escribir en el fichero de bloqueo"},
        {"reference file read-only", nullptr, line, K::Failed, "*", "I", "10000012.ref", "", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        vltest::TempDir dir;
        const vl::Paths paths(dir.path());
        const fs::path ref = paths.product("referencias/10000012.ref");
        if (*c.statusAfter) { // one medicine recorded
            dir.write("quiroles/Velantia/config/datos.txt", "4321\r\n");
            fs::create_directories(ref.parent_path());
            vltest::writeClosingRound(paths, "2", 1,
                                      std::string_view(c.name).starts_with("three") ? 3 : 1);
        }
        std::optional<vltest::ReadOnly> readOnly;
        const bool guard = std::string_view(c.name).starts_with("guard");
        if (c.readOnly) {
            readOnly.emplace(ref);
            if (!readOnly->holds()) continue;
            vl::closingCallWithoutWindows(paths, c.commandLine, 768);
        } else if (*c.error && !guard) {
            fs::remove(ref);
            fs::create_directory(ref);
        }
        if (c.lockBefore) vltest::writeBytes(paths.product("Ocupado"), c.lockBefore);
        if (guard) fs::create_directories(paths.product("Ocupado.lck"));
        if (std::string_view(c.name).starts_with("run log"))
            fs::create_directories(paths.product("registro2.log"));
        if (std::string_view(c.name).starts_with("pharmacy"))
            dir.write("quiroles/Velantia/config/datos.txt", std::string("\"2800\0\x39\x39\"", 9));
        std::optional<vltest::ReadOnly> status;
        if (std::string_view(c.name).starts_with("status")) {
            status.emplace(dir.write("quiroles/Velantia/final2", "X"));
            if (!status->holds()) continue;
        }

        vl::runlog::open(paths, "2");
        const vl::ClosingOutcome o = vl::closingCallWithoutWindows(paths, c.commandLine, 768);
        vl::runlog::close();
        vl::dropHolds(vl::markerPath(paths, "10000012")); // the call has ended
        EXPECT_NE(
            vl::fromCp1252(vl::runlog::readLog(vl::runlog::logPath(paths, "2"))).find(c.logged),
            std::string::npos);
        EXPECT_EQ(o.kind, c.kind);
        EXPECT_TRUE(*c.error ? o.error.find(c.error) != std::string::npos : o.error.empty())
            << o.error;
        if (!*c.statusAfter) {
            EXPECT_FALSE(o.st.productFolder);
            continue;
        }
        // Moved: one line in the outbox, the reference file gone.
        const bool moved = c.kind == K::Done;
        EXPECT_EQ(vltest::readBytes(paths.product("Respuesta.tsv")),
                  moved ? std::string(vl::OutboxHeader) + "1\t201001\t4321\t" + vl::TodayStamp() +
                              "\t2,1,1\r\n"
                        : "<missing>");
        EXPECT_EQ(fs::exists(ref), !moved);
        EXPECT_EQ(vltest::readBytes(paths.product("Ocupado")), c.lockAfter);
        EXPECT_EQ(vltest::readBytes(paths.product("final2")), c.statusAfter);
    }
}

// Without the window program beside it (the Windows build), a busy call waits in the launcher:
// five terminals close at once, each call made once, and none is dropped.
TEST(LauncherProcesses, ConcurrentClosingCallsLoseAndRepeatNothing) {
    const vltest::Product p;
    const vl::Paths& paths = p.paths;
    const fs::path launcher = paths.product(fs::path(VELANTIA_LAUNCHER).filename().string());
    fs::copy_file(VELANTIA_LAUNCHER, launcher);
    ASSERT_EQ(launcher.string().find(' '), std::string::npos) << "the shell takes it unquoted";

    std::atomic<int> failures{0};
    std::vector<std::thread> terminals;
    for (int t = 1; t <= 5; ++t)
        terminals.emplace_back([&, t] {
            for (int r = 1; r <= 3; ++r) {
                const std::string line = vltest::writeClosingRound(paths, std::to_string(t), r, 10);
                failures += std::system((launcher.string() + " " + line).c_str()) != 0;
            }
        });
    for (auto& t : terminals)
        t.join();
    EXPECT_EQ(failures, 0);
    vltest::checkAllClosed(p, 15, "/12345678910");
}

} // namespace
