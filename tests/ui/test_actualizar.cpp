// The update window against the local service double, with the demo packages.
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <memory>

#include "support/service_double.h"
#include "support/tempdir.h"
#include "ui/actualizar.h"
#include "ui/dialogs.h"

namespace fs = std::filesystem;
using vl::ui::Actualizar;

class ActualizarTest : public QObject {
    Q_OBJECT

    std::unique_ptr<vltest::TempDir> dir_;
    vl::Paths paths() const { return vl::Paths(dir_->path()); }
    fs::path product(const std::string& rel) const { return paths().product(rel); }

    vl::UpdateOptions options(const vltest::ServiceDouble& s) const {
        vl::UpdateOptions o;
        o.serviceUrl = s.url();
        o.https.extraCaBundle = s.caPath();
        o.https.timeoutSeconds = 2;
        return o;
    }

private slots:
    void init() {
        dir_ = std::make_unique<vltest::TempDir>();
        for (const char* d : {"recibido", "config", "datos/textos", "htm"})
            fs::create_directories(dir_->path() / "quiroles/Velantia" / d);
        vl::ui::Dialogs::reset();
    }

    void fetchesConvertsAndClosesItself() {
        vltest::ServiceDouble::Options so;
        so.zips = fs::path(VELANTIA_SOURCE_DIR) / "demo/service";
        vltest::ServiceDouble service(so);
        vl::Config cfg;
        vl::DataFiles files(paths());
        files.OpenDataFiles();
        Actualizar dlg(paths(), cfg, files, options(service));
        QSignalSpy finished(&dlg, &Actualizar::runFinished);
        dlg.show();
        QVERIFY(finished.wait(30000));
        QCOMPARE(dlg.outcome(), vl::UpdateEnd::Completed);
        QCOMPARE(dlg.findChild<QLabel*>(QStringLiteral("Label13"))->text(),
                 QString::fromUtf8("Actualización completada"));
        // The last conversion names its file; the transfer's number and phase are gone.
        QCOMPARE(dlg.findChild<QLabel*>(QStringLiteral("Label14_0"))->text(),
                 QStringLiteral("precios.xml"));
        QVERIFY(dlg.findChild<QLabel*>(QStringLiteral("Label14_2"))->text().isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(!dlg.isVisible(), 5000);
        const fs::path demo = fs::path(VELANTIA_SOURCE_DIR) / "demo/root/quiroles/Velantia/datos";
        for (const char* f : {"Velantia.txt", "Encuesta.txt", "productos.txt"})
            QCOMPARE(vltest::readBytes(product(std::string("datos/") + f)),
                     vltest::readBytes(demo / f));
        QVERIFY(fs::exists(product("recibido/actualizado.rec")));
        QCOMPARE(service.recordedDownloads().size(), std::size_t(3));
    }

    // Cancelled at once: the end still shows, and a box still open keeps the window for its OK.
    void cancelledRunShowsItsEndAndWaitsForTheOpenBox() {
        vl::Config cfg;
        vl::DataFiles files(paths());
        Actualizar dlg(paths(), cfg, files);
        QSignalSpy finished(&dlg, &Actualizar::runFinished);
        dlg.show();
        dlg.Label23_Click();
        QMessageBox box(&dlg);
        box.open();
        QVERIFY(finished.wait(30000));
        QCOMPARE(dlg.outcome(), vl::UpdateEnd::Completed);
        QVERIFY(dlg.findChild<QWidget*>(QStringLiteral("Frame8"))->isVisible());
        QSignalSpy tick(dlg.findChild<QTimer*>(QStringLiteral("Timer2")), &QTimer::timeout);
        QVERIFY(tick.wait(5000));
        QVERIFY(dlg.isVisible());
        box.accept();
        QTRY_VERIFY_WITH_TIMEOUT(!dlg.isVisible(), 5000);
    }

    void everyStateTextFits() {
        vl::Config cfg;
        vl::DataFiles files(paths());
        Actualizar dlg(paths(), cfg, files);
        auto* l = dlg.findChild<QLabel*>(QStringLiteral("Label14_0"));
        for (int s = 0; s <= 12; ++s) {
            l->setText(QString::fromStdString(vl::estadoInet(s)));
            QVERIFY2(l->wordWrap() ? l->heightForWidth(l->width()) <= l->height()
                                   : l->sizeHint().width() <= l->width(),
                     qPrintable(l->text()));
        }
    }

    void refusedConnectionReportsAndCloses() {
        vl::Config cfg;
        vl::DataFiles files(paths());
        vl::UpdateOptions o;
        o.serviceUrl = vltest::ServiceDouble::refusedUrl();
        Actualizar dlg(paths(), cfg, files, o);
        QSignalSpy finished(&dlg, &Actualizar::runFinished);
        dlg.show();
        QVERIFY(finished.wait(30000));
        QCOMPARE(dlg.outcome(), vl::UpdateEnd::Failed);
        QVERIFY(!dlg.isVisible());
        const QStringList shown = vl::ui::Dialogs::shownTexts();
        QVERIFY(shown.contains(QStringLiteral("No se puede conectar con el servidor")));
        QVERIFY(shown.contains(QStringLiteral("No ha podido descargar el archivo Maestro")));
    }
};

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    Q_INIT_RESOURCE(assets);
    ActualizarTest t;
    return QTest::qExec(&t, argc, argv);
}

#include "test_actualizar.moc"
