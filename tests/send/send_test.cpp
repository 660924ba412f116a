// The send sequence the main window runs, against the local service double.
#include "send/send.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "core/runlog.h"
#include "core/text.h"
#include "support/service_double.h"
#include "support/tempdir.h"

namespace {

namespace fs = std::filesystem;
using namespace vl;

const std::string kHeader = OutboxHeader;
const std::string kOutbox = kHeader + "1\t692514\t4321\t20261206\t101,113\r\n";

struct Product {
    vltest::TempDir dir;
    Paths paths{dir.path()};
    explicit Product(const std::string& outbox = kOutbox, const std::string& lock = "*") {
        fs::create_directories(dir.path() / "quiroles/Velantia/htm");
        fs::create_directories(dir.path() / "quiroles/Velantia/referencias");
        dir.write("quiroles/Velantia/Respuesta.tsv", outbox);
        dir.write("quiroles/Velantia/NumRegistro", "1\r\n");
        dir.write("quiroles/Velantia/Ocupado", lock);
    }
    std::string read(const std::string& rel) const { return dir.read("quiroles/Velantia/" + rel); }
};

Config config() {
    Config cfg;
    cfg.n_farmacia = "4321";
    cfg.codigo_empresa = "8";
    cfg.clave = "clave";
    return cfg;
}

UploadOptions trusting(const vltest::ServiceDouble& s) {
    UploadOptions o;
    o.extraCaBundle = s.caPath();
    return o;
}

TEST(SendSequence, AnswersDecideWhatStaysAndTheLockIsFreedEveryTime) {
    vltest::ServiceDouble service;
    struct Row {
        const char* mode; // "" : nobody listens
        bool transferOk;
        SendVerdict verdict;
        std::string outboxAfter, counterAfter, errorTxtHas, logged;
    };
    const Row rows[] = {
        {"ok", true, SendVerdict::Accepted, "", "", "ERROR=0",
         "Envío de 90 bytes: aceptado (ERROR=0); Respuesta.tsv y NumRegistro vaciados"},
        {"refuse", true, SendVerdict::Refused, kOutbox, "1\r\n", "ERROR=12",
         "Envío de 90 bytes: rechazado por el servicio: "},
        {"noverdict", true, SendVerdict::NoVerdict, kOutbox, "1\r\n", "Fichero recibido.",
         "Envío de 90 bytes: respuesta sin veredicto: "},
        {"", false, SendVerdict::NoVerdict, kOutbox, "1\r\n", "No se puede conectar",
         "Envío de 90 bytes: sin respuesta del servicio: No se puede conectar"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(*r.mode ? r.mode : "unreachable");
        Product p;
        std::string url = vltest::ServiceDouble::refusedUrl();
        if (*r.mode) {
            ASSERT_TRUE(service.setMode(r.mode));
            url = service.url();
        }
        runlog::open(p.paths, "");
        const SendRun run = sendOutbox(p.paths, config(), url, {}, trusting(service));
        runlog::close();
        EXPECT_NE(fromCp1252(p.read("registro.log")).find(r.logged), std::string::npos);
        EXPECT_FALSE(run.nothingToSend);
        EXPECT_TRUE(run.lock.acquired);
        EXPECT_EQ(run.result.transferOk, r.transferOk);
        EXPECT_EQ(run.result.verdict, r.verdict);
        EXPECT_EQ(run.result.emptied.has_value(), r.verdict == SendVerdict::Accepted);
        EXPECT_EQ(run.result.sent, kOutbox);
        EXPECT_EQ(p.read("Respuesta.tsv"), r.outboxAfter);
        EXPECT_EQ(p.read("NumRegistro"), r.counterAfter);
        const std::string errorTxt = p.read("htm/error.txt");
        EXPECT_NE(errorTxt.find(r.errorTxtHas), std::string::npos) << errorTxt;
        EXPECT_EQ(p.read("Ocupado"), "*");
        EXPECT_FALSE(holderAlive(p.paths, '0'));
    }
}

TEST(SendSequence, NothingToSendOrAClosingMoveRunning) {
    {
        Product p("123456789");
        const SendRun run = sendOutbox(p.paths, config(), vltest::ServiceDouble::refusedUrl());
        EXPECT_TRUE(run.nothingToSend);
        EXPECT_EQ(p.read("Ocupado"), "*");
    }
    {
        Product p(kOutbox, "3");
        const SendRun run = sendOutbox(p.paths, config(), vltest::ServiceDouble::refusedUrl());
        EXPECT_FALSE(run.lock.acquired);
        EXPECT_EQ(run.lock.found, '3');
        EXPECT_EQ(p.read("Ocupado"), "3");
        EXPECT_EQ(p.read("htm/error.txt"), "<missing>");
    }
}

// While the upload runs, a closing call of the sending terminal itself (digit 0, which the "0"
// of the send does not stop) moves a dispensing and frees the byte, and terminal 3 then takes
// it for its own move. The accepted send removes exactly what it sent, keeps the new line, and
// its end leaves terminal 3's digit in place.
TEST(SendSequence, ClosingMovesDuringTheUploadKeepTheirLinesAndTheirLock) {
    vltest::ServiceDouble service;
    Product p;
    bool moved = false;
    const auto duringUpload = [&](int) {
        if (moved) return;
        moved = true;
        ASSERT_TRUE(tryAcquireForClosing(p.paths, "0").acquired);
        RunState st;
        st.closingCall = true;
        st.hasReference = true;
        st.reference = "12345670";
        st.terminalDigit = "0";
        st.CodeList[1] = "555555";
        st.CodeCount = 1;
        SurveySession s;
        s.respuestasMed()[1][0][0] = "1";
        s.respuestasMed()[1][1][1] = "2";
        ASSERT_TRUE(closingMove(p.paths, st, config(), s, CivilDate{2026, 12, 6}).ok);
        ASSERT_TRUE(tryAcquireForClosing(p.paths, "3").acquired);
    };
    const SendRun run =
        sendOutbox(p.paths, config(), service.url(), duringUpload, trusting(service));
    ASSERT_TRUE(moved);
    ASSERT_TRUE(run.result.transferOk);
    EXPECT_EQ(run.result.verdict, SendVerdict::Accepted);
    EXPECT_EQ(run.result.emptied, EmptyOutcome::Trimmed);
    EXPECT_EQ(run.result.sent, kOutbox);
    EXPECT_EQ(p.read("Respuesta.tsv"), kHeader + "2\t555555\t4321\t20261206\t2\r\n");
    EXPECT_EQ(p.read("NumRegistro"), "2\r\n");
    EXPECT_EQ(p.read("Ocupado"), "3");
    release(p.paths);
}

} // namespace
