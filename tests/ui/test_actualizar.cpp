// The update window against the local service double, with the demo packages.
#include <QApplication>
#include <QLabel>
#include <QSignalSpy>
#include <QTest>
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
        QTRY_VERIFY_WITH_TIMEOUT(!dlg.isVisible(), 5000);
        const fs::path demo = fs::path(VELANTIA_SOURCE_DIR) / "demo/root/quiroles/Velantia/datos";
        for (const char* f : {"Velantia.txt", "Encuesta.txt", "productos.txt"})
            QCOMPARE(vltest::readBytes(product(std::string("datos/") + f)),
                     vltest::readBytes(demo / f));
        QVERIFY(fs::exists(product("recibido/actualizado.rec")));
        QCOMPARE(service.recordedDownloads().size(), std::size_t(3));
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
