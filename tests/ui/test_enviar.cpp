// Sending the outbox from the main window against the local service double.
#include <QApplication>
#include <QCheckBox>
#include <QFrame>
#include <QSignalSpy>
#include <QTest>
#include <filesystem>
#include <memory>

#include "support/service_double.h"
#include "support/tempdir.h"
#include "ui/app.h"
#include "ui/assets.h"
#include "ui/dialogs.h"
#include "ui/mainwindow.h"
#include "ui/pageview.h"
#include "window_fixture.h"

namespace fs = std::filesystem;
using vl::ui::Velantia;

namespace {

const std::string kOutbox = "resultado_id\tcodigo_nacional\tn_farmacia\tfecha\trespuestas\r\n"
                            "1\t692514\t28001234\t20261206\t101,113\r\n";

} // namespace

class SendTest : public QObject {
    Q_OBJECT

    std::unique_ptr<vltest::TempDir> dir_;
    vl::Paths paths() const { return vl::Paths(dir_->path()); }
    fs::path product(const std::string& rel) const { return paths().product(rel); }

    std::unique_ptr<Velantia> start() {
        auto w = std::make_unique<Velantia>(paths(), QStringLiteral("-00012340+692514"));
        QSignalSpy deferred(w.get(), &Velantia::deferredStartFinished);
        if (!w->deferredStartDone()) deferred.wait(10000);
        return w;
    }

    void useService(const vltest::ServiceDouble& s) {
        qputenv("VELANTIA_SERVICE_URL", QByteArray::fromStdString(s.url()));
        qputenv("VELANTIA_CA_BUNDLE", QByteArray::fromStdString(s.caPath().string()));
    }

    // Sends and waits for the verdict.
    void send(Velantia* w) {
        QSignalSpy done(w, &Velantia::sendFinished);
        vltest::click(w, QStringLiteral("Label5_1"));
        QVERIFY(w->sending());
        QVERIFY(done.wait(30000));
    }

  private slots:
    void init() {
        dir_ = std::make_unique<vltest::TempDir>();
        fs::copy(fs::path(VELANTIA_SOURCE_DIR) / "demo/root", dir_->path(),
                 fs::copy_options::recursive);
        vltest::writeBytes(product("Respuesta.tsv"), kOutbox);
        vltest::writeBytes(product("NumRegistro"), "1\r\n");
        vl::ui::installPageAssets(paths());
        qunsetenv("VELANTIA_CA_BUNDLE");
        vl::ui::Dialogs::reset();
    }

    void acceptedSendEmptiesTheOutbox() {
        vltest::ServiceDouble service;
        useService(service);
        auto w = start();
        send(w.get());
        QCOMPARE(vltest::readBytes(product("Respuesta.tsv")), std::string());
        QCOMPARE(vltest::readBytes(product("NumRegistro")), std::string());
        QVERIFY(fs::exists(product("recibido/Respuesta.env")));
        QCOMPARE(vltest::readBytes(product("Ocupado")), std::string("*"));
        QVERIFY(vltest::readBytes(product("htm/error.txt")).find("ERROR=0") != std::string::npos);
        QTRY_VERIFY(w->browser()->locationUrl().endsWith(QStringLiteral("vl-exito/index.html")));
        const auto uploads = service.recordedUploads();
        QCOMPARE(uploads.size(), std::size_t(1));
        QCOMPARE(uploads[0].parts.back().name, std::string("fichero2"));
        QCOMPARE(uploads[0].parts.back().value, kOutbox);
        // The upload page stays written for a send by hand.
        QVERIFY(fs::exists(product("htm/enviar.html")));
    }

    void refusedSendKeepsTheOutbox() {
        vltest::ServiceDouble::Options o;
        o.mode = "refuse";
        vltest::ServiceDouble service(o);
        useService(service);
        auto w = start();
        send(w.get());
        QCOMPARE(vltest::readBytes(product("Respuesta.tsv")), kOutbox);
        QVERIFY(vltest::readBytes(product("htm/error.txt")).find("ERROR=12") != std::string::npos);
        QTRY_VERIFY(w->browser()->locationUrl().endsWith(QStringLiteral("vl-error/index.html")));
        QCOMPARE(vltest::readBytes(product("Ocupado")), std::string("*"));
    }

    void noVerdictAsksThePharmacist() {
        vltest::ServiceDouble::Options o;
        o.mode = "noverdict";
        vltest::ServiceDouble service(o);
        useService(service);
        auto w = start();
        send(w.get());
        QCOMPARE(vltest::readBytes(product("Respuesta.tsv")), kOutbox);
        auto* frame5 = w->findChild<QFrame*>(QStringLiteral("Frame5"));
        QVERIFY(frame5->isVisible());
        auto* wb3 = vltest::control<vl::ui::PageView>(w.get(), QStringLiteral("WB3"));
        QVERIFY(wb3->isVisible());
        QTRY_VERIFY(wb3->locationUrl().endsWith(QStringLiteral("vl-manual/index.html")));
        // "Enviado" removes what went out; a dispensing closed meanwhile stays.
        const std::string later = "2\t683907\t28001234\t20261206\t101\r\n";
        vltest::writeBytes(product("Respuesta.tsv"), kOutbox + later);
        vltest::click(w.get(), QStringLiteral("Check2"));
        QVERIFY(!frame5->isVisible());
        QCOMPARE(vltest::readBytes(product("Respuesta.tsv")),
                 kOutbox.substr(0, kOutbox.find("\r\n") + 2) + later);
    }

    void unreachableServiceReleasesTheLock() {
        qputenv("VELANTIA_SERVICE_URL",
                QByteArray::fromStdString(vltest::ServiceDouble::refusedUrl()));
        auto w = start();
        vl::ui::Dialogs::preAnswer(QMessageBox::Ok);
        send(w.get());
        QCOMPARE(vltest::readBytes(product("Respuesta.tsv")), kOutbox);
        QCOMPARE(vltest::readBytes(product("Ocupado")), std::string("*"));
        QVERIFY2(vl::ui::Dialogs::shownTexts().last().startsWith(
                     QStringLiteral("No se puede conectar con el servidor")),
                 qPrintable(vl::ui::Dialogs::shownTexts().last()));
        QTRY_VERIFY(w->browser()->locationUrl().endsWith(QStringLiteral("vl-error/index.html")));
    }

    void refusedWhileAClosingMoveRuns() {
        vltest::writeBytes(product("Ocupado"), "3");
        auto w = start();
        vltest::click(w.get(), QStringLiteral("Label5_1"));
        QVERIFY(!w->sending());
        QCOMPARE(vl::ui::Dialogs::shownTexts().last(),
                 QString::fromUtf8("OCUPADO POR EL TERMINAL 3\n\nIntente enviar la información "
                                   "de nuevo\no revise el terminal 3"));
        QCOMPARE(vltest::readBytes(product("Ocupado")), std::string("3"));
    }

    void nothingToSend() {
        vltest::writeBytes(product("Respuesta.tsv"), "123456789");
        auto w = start();
        vltest::click(w.get(), QStringLiteral("Label5_1"));
        QVERIFY(!w->sending());
        QCOMPARE(vl::ui::Dialogs::shownTexts().last(),
                 QStringLiteral("No hay respuestas pendientes de enviar."));
    }
};

int main(int argc, char** argv) {
    vl::ui::prepareBrowserEngine();
    QApplication app(argc, argv);
    Q_INIT_RESOURCE(assets);
    SendTest t;
    return QTest::qExec(&t, argc, argv);
}

#include "test_enviar.moc"
