// Closing calls: the move into the outbox without the main window, and the busy window.
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <memory>

#include "core/dates.h"
#include "outbox/lock.h"
#include "platform/oslock.h"
#include "support/tempdir.h"
#include "ui/app.h"
#include "ui/dialogs.h"
#include "ui/mainwindow.h"
#include "window_fixture.h"
#include "ui/okup.h"

namespace fs = std::filesystem;

class ClosingCallTest : public QObject {
    Q_OBJECT

    std::unique_ptr<vltest::TempDir> dir_;
    vl::Paths paths() const { return vl::Paths(dir_->path()); }
    fs::path product(const std::string& rel) const { return paths().product(rel); }

  private slots:
    void init() {
        dir_ = std::make_unique<vltest::TempDir>();
        fs::copy(fs::path(VELANTIA_SOURCE_DIR) / "demo/root", dir_->path(),
                 fs::copy_options::recursive);
        vl::ui::Dialogs::reset();
    }

    void movesRecordedAnswersAndEnds() {
        {
            vl::ui::Velantia w(paths(), QStringLiteral("-00012342+692514+683907"));
            QSignalSpy deferred(&w, &vl::ui::Velantia::deferredStartFinished);
            QVERIFY(deferred.wait(10000));
            vltest::choose(&w, QStringLiteral("RESP_2"), 1);
            vltest::click(&w, QStringLiteral("Kgrabar"));
        }
        vltest::writeBytes(product("referencias/99999942.ref"), "otra dispensación");
        vltest::writeBytes(product("referencias/00012343.ref"), "otro terminal");

        int exitCode = -1;
        QVERIFY(
            vl::ui::runClosingCall(paths(), QStringLiteral("TK-00012342+692514+683907"), exitCode));
        QCOMPARE(exitCode, 0);
        const std::string today = vl::TodayStamp();
        QCOMPARE(vltest::readBytes(product("Respuesta.tsv")),
                 "resultado_id\tcodigo_nacional\tn_farmacia\tfecha\trespuestas\r\n"
                 "1\t692514\t28001234\t" +
                     today + "\t102,113,123,201,211,223\r\n");
        QCOMPARE(vltest::readBytes(product("NumRegistro")), std::string("1\r\n"));
        QVERIFY(!fs::exists(product("referencias/00012342.ref")));
        QVERIFY(!fs::exists(product("referencias/99999942.ref")));
        QVERIFY(fs::exists(product("referencias/00012343.ref")));
        QCOMPARE(vltest::readBytes(product("Ocupado")), std::string("*"));
        QCOMPARE(vltest::readBytes(product("final2")), std::string("F"));
    }

    void withoutReferenceStartsAsOrdinary() {
        int exitCode = -1;
        QVERIFY(!vl::ui::runClosingCall(paths(), QStringLiteral("TK+692514"), exitCode));
        QVERIFY(!fs::exists(product("Respuesta.tsv")));
    }

    void busyWindowWaitsForTheOtherTerminal() {
        vltest::writeBytes(product("Ocupado"), "3");
        bool moved = false;
        vl::ui::OKUP busy(paths(), "2", [&] { moved = true; });
        busy.show();
        auto* label = busy.findChild<QLabel*>(QStringLiteral("Terminal"));
        QTRY_COMPARE(label->text(), QStringLiteral("Ocupado por el terminal 3"));

        // Escape, then No: it keeps waiting.
        vl::ui::Dialogs::preAnswer(QMessageBox::No);
        QTest::keyClick(&busy, Qt::Key_Escape);
        QVERIFY(busy.isVisible());
        QCOMPARE(vl::ui::Dialogs::shownTexts().last(),
                 QString::fromUtf8("Está seguro de finalizar sin grabar la encuesta"));

        vltest::writeBytes(product("Ocupado"), "*");
        QTRY_VERIFY_WITH_TIMEOUT(moved, 5000);
        QVERIFY(!busy.isVisible());
        QCOMPARE(vltest::readBytes(product("Ocupado")), std::string("2"));
    }

    void busyWindowGoesOnWhenTheHolderHasDied() {
        // Terminal 3 takes the lock, then goes as a killed program goes: its byte stays, its
        // operating-system hold does not.
        QVERIFY(vl::tryAcquireForClosing(paths(), "3").acquired);
        bool moved = false;
        vl::ui::OKUP busy(paths(), "2", [&] { moved = true; });
        busy.show();
        QTRY_COMPARE(busy.findChild<QLabel*>(QStringLiteral("Terminal"))->text(),
                     QStringLiteral("Ocupado por el terminal 3"));
        vl::dropHolds(vl::lockGuardPath(paths()));
        QCOMPARE(vltest::readBytes(product("Ocupado")), std::string("3"));
        QTRY_VERIFY_WITH_TIMEOUT(moved, 5000);
        QVERIFY(!busy.isVisible());
        QCOMPARE(vltest::readBytes(product("Ocupado")), std::string("2"));
        vl::release(paths());
    }

    // Escape and "Sí" end the program as it stands: the "0" of a sending terminal stays, though
    // this terminal's "A" counts as 0 too, and no finish is written.
    void busyWindowEscapeYesGivesUp() {
        vltest::writeBytes(product("Ocupado"), "0");
        vl::ui::Dialogs::preAnswer(QMessageBox::Yes);
        QTimer::singleShot(0, [] {
            auto* busy = QApplication::activeModalWidget();
            QTRY_COMPARE(busy->findChild<QLabel*>(QStringLiteral("Terminal"))->text(),
                         QStringLiteral("Ocupado por el terminal 0"));
            QTest::keyClick(busy, Qt::Key_Escape);
        });
        int exitCode = -1;
        QVERIFY(vl::ui::runClosingCall(paths(), QStringLiteral("TK-0001234A+692514"), exitCode));
        QCOMPARE(vltest::readBytes(product("Ocupado")), std::string("0"));
        QCOMPARE(vltest::readBytes(product("finalA")), std::string("I"));
    }
};

int main(int argc, char** argv) {
    vl::ui::prepareBrowserEngine();
    QApplication app(argc, argv);
    Q_INIT_RESOURCE(assets);
    ClosingCallTest t;
    return QTest::qExec(&t, argc, argv);
}

#include "test_closingcall.moc"
