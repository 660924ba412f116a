// The two windows that talk to the association's service, against the local service double:
// each outcome reaches its page, panel or message, and Actualizar closes itself once no box is
// open. What the send keeps and what the update converts is the logic's, tested there.
#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QPointer>
#include <QTimer>

#include "outbox/outbox.h"
#include "support/service_double.h"
#include "ui/actualizar.h"
#include "ui/app.h"
#include "ui/assets.h"
#include "ui/dialogs.h"
#include "window_fixture.h"

namespace fs = std::filesystem;
using vl::ui::Actualizar;
using vl::ui::Velantia;

// A product folder and Actualizar on it, run to its end; `during` acts once it is on screen.
struct Update {
    vltest::TempDir dir;
    vl::Paths paths{dir.path()};
    vl::Config cfg;
    vl::DataFiles files{paths};
    Actualizar dlg;
    explicit Update(vl::UpdateOptions o, const std::function<void(Actualizar&)>& during = {})
        : dlg(paths, cfg, files, std::move(o)) {
        vl::ui::Dialogs::reset();
        QSignalSpy finished(&dlg, &Actualizar::runFinished);
        dlg.show();
        if (during) during(dlg);
        if (!finished.wait(30000)) qFatal("the update did not end");
    }
    QString label(const char* name) const { return dlg.findChild<QLabel*>(name)->text(); }
};

class ServiceWindowsTest : public QObject {
    Q_OBJECT

  private slots:
    void sendOutcomesReachTheirPageOrMessage() {
        vltest::DemoRoot root;
        vl::ui::installPageAssets(root.paths());
        vl::ui::Dialogs::reset();
        vltest::ServiceDouble service;
        qputenv("VELANTIA_CA_BUNDLE", QByteArray::fromStdString(service.caPath().string()));
        auto w = vltest::startWindow(root.paths(), QStringLiteral("-00012340+692514"));
        const auto send = [&](const char* mode, const std::string& outbox, const char* lock,
                              const char* view, const char* page) {
            vltest::writeBytes(root.product("Respuesta.tsv"), outbox);
            vltest::writeBytes(root.product("Ocupado"), lock);
            const std::string url = *mode ? service.url() : vltest::ServiceDouble::refusedUrl();
            qputenv("VELANTIA_SERVICE_URL", QByteArray::fromStdString(url));
            service.setMode(*mode ? mode : "ok");
            QSignalSpy done(w.get(), &Velantia::sendFinished);
            vltest::click(w.get(), QStringLiteral("Label5_1"));
            QCOMPARE(w->sending(), view != nullptr);
            if (!view) {
                QCOMPARE(vl::ui::Dialogs::shownTexts().last(), QString::fromUtf8(page));
                return;
            }
            QVERIFY(done.wait(30000));
            auto* shown = *view ? vltest::control<vl::ui::PageView>(w.get(), view) : w->browser();
            QTRY_VERIFY(shown->locationUrl().endsWith(QString(page) + "/index.html"));
        };
        const std::string outbox =
            vl::OutboxHeader + std::string("1\t692514\t28001234\t20261206\t101\r\n");
        // Each page differs from the one before it, so the check waits for the new one.
        send("refuse", outbox, "*", "", "vl-error");
        send("ok", outbox, "*", "", "vl-exito");
        QVERIFY(fs::exists(root.product("htm/enviar.html"))); // kept for a send by hand
        send("", outbox, "*", "", "vl-error");
        QCOMPARE(vl::ui::Dialogs::shownTexts().last().section('\n', 0, 0),
                 QStringLiteral("No se puede conectar con el servidor."));
        send("ok", outbox, "3", nullptr,
             "OCUPADO POR EL TERMINAL 3\n\nIntente enviar la información de nuevo\no revise el "
             "terminal 3");
        send("ok", "123456789", "*", nullptr, "No hay respuestas pendientes de enviar.");
        // No verdict: the pharmacist says; "Enviado" removes what went out, not a later line.
        send("noverdict", outbox, "*", "WB3", "vl-manual");
        auto* frame5 = vltest::control<QFrame>(w.get(), QStringLiteral("Frame5"));
        QVERIFY(frame5->isVisible());
        const std::string later = "2\t683907\t28001234\t20261206\t101\r\n";
        vltest::writeBytes(root.product("Respuesta.tsv"), outbox + later);
        vltest::click(w.get(), QStringLiteral("Check2"));
        QVERIFY(!frame5->isVisible());
        QCOMPARE(vltest::readBytes(root.product("Respuesta.tsv")), vl::OutboxHeader + later);
        QCOMPARE(service.recordedUploads().size(), std::size_t(3));
        qunsetenv("VELANTIA_SERVICE_URL");
        qunsetenv("VELANTIA_CA_BUNDLE");
    }

    void updateFetchesConvertsAndClosesItself() {
        vltest::ServiceDouble service({.zips = fs::path(VELANTIA_SOURCE_DIR) / "demo/service"});
        Update u({service.url(), {2, service.caPath()}});
        QCOMPARE(u.dlg.outcome(), vl::UpdateEnd::Completed);
        QCOMPARE(u.label("Label13"), QString::fromUtf8("Actualización completada"));
        // The last conversion names its file; the transfer's phase is gone.
        QCOMPARE(u.label("Label14_0"), QStringLiteral("precios.xml"));
        QCOMPARE(u.label("Label14_2"), QString());
        QTRY_VERIFY_WITH_TIMEOUT(!u.dlg.isVisible(), 5000);
        QCOMPARE(service.recordedDownloads().size(), std::size_t(3));
    }

    // Cancelled at once: the end still shows, and a box still open keeps the window for its OK.
    void cancelledUpdateShowsItsEndAndWaitsForTheOpenBox() {
        QPointer<QMessageBox> box; // owned by the window
        Update u({}, [&](Actualizar& dlg) {
            dlg.Label23_Click();
            box = new QMessageBox(&dlg);
            box->open();
        });
        QCOMPARE(u.dlg.outcome(), vl::UpdateEnd::Completed);
        QVERIFY(u.dlg.findChild<QWidget*>(QStringLiteral("Frame8"))->isVisible());
        QSignalSpy tick(u.dlg.findChild<QTimer*>(QStringLiteral("Timer2")), &QTimer::timeout);
        QVERIFY(tick.wait(5000));
        QVERIFY(u.dlg.isVisible());
        box->accept();
        QTRY_VERIFY_WITH_TIMEOUT(!u.dlg.isVisible(), 5000);
    }

    void updateWithoutServiceSaysSoAndCloses() {
        Update u({vltest::ServiceDouble::refusedUrl(), {}});
        QCOMPARE(u.dlg.outcome(), vl::UpdateEnd::Failed);
        QVERIFY(!u.dlg.isVisible());
        QCOMPARE(vl::ui::Dialogs::shownTexts(),
                 QStringList({QStringLiteral("No se puede conectar con el servidor"),
                              QStringLiteral("No ha podido descargar el archivo Maestro")}));
    }
};

int main(int argc, char** argv) {
    vl::ui::prepareBrowserEngine();
    QApplication app(argc, argv);
    Q_INIT_RESOURCE(assets);
    ServiceWindowsTest t;
    return QTest::qExec(&t, argc, argv);
}

#include "test_service.moc"
