// The main window driven as the pharmacist drives it, on a copy of the demo data.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>
#include <filesystem>
#include <memory>

#include "support/tempdir.h"
#include "survey/recording.h"
#include "ui/app.h"
#include "ui/dialogs.h"
#include "ui/mainwindow.h"
#include "ui/pageview.h"

namespace fs = std::filesystem;
using vl::ui::Velantia;

namespace {

std::string record(const fs::path& file, int n) {
    const std::string all = vltest::readBytes(file);
    return all.substr(static_cast<std::size_t>(n - 1) * 365, 365);
}

} // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

    std::unique_ptr<vltest::TempDir> dir_;
    std::unique_ptr<vltest::TempDir> prints_;

    vl::Paths paths() const { return vl::Paths(dir_->path()); }
    fs::path product(const std::string& rel) const { return paths().product(rel); }

    // A window started with `line`, after its deferred start and its first page load.
    std::unique_ptr<Velantia> start(const QString& line) {
        auto w = std::make_unique<Velantia>(paths(), line);
        QSignalSpy loaded(w->browser(), &QWebEngineView::loadFinished);
        QSignalSpy deferred(w.get(), &Velantia::deferredStartFinished);
        if (!w->deferredStartDone()) deferred.wait(10000);
        if (loaded.isEmpty()) loaded.wait(15000);
        return w;
    }

    template <typename T>
    T* child(Velantia* w, const char* name) {
        return w->findChild<T*>(QString::fromLatin1(name));
    }

private slots:
    void init() {
        dir_ = std::make_unique<vltest::TempDir>();
        prints_ = std::make_unique<vltest::TempDir>();
        fs::copy(fs::path(VELANTIA_SOURCE_DIR) / "demo/root", dir_->path(),
                 fs::copy_options::recursive);
        qputenv("VELANTIA_PRINT_DIR", QByteArray::fromStdString(prints_->path().string()));
        vl::ui::Dialogs::reset();
    }

    void cleanup() {
        dir_.reset();
        prints_.reset();
    }

    void opensSizedCentredWithReference() {
        auto w = start(QStringLiteral("-00012340+692514+683907"));
        const QSize screen = QGuiApplication::primaryScreen()->geometry().size();
        QCOMPARE(w->width(), 640);
        // The demo configures 600 pixels, never more than the screen.
        QCOMPARE(w->height(), std::min(600, screen.height()));
        QCOMPARE(w->x(), (screen.width() - w->width()) / 2);
        QCOMPARE(w->y(), (screen.height() - w->height()) / 2);
        QCOMPARE(child<QLabel>(w.get(), "Label6")->text(), QStringLiteral("00012340"));
        QCOMPARE(child<QLabel>(w.get(), "Label2")->text(), QStringLiteral("Medicamento 1/2"));
        for (const char* n : {"Label5_0", "Label5_1", "Label5_2"})
            QVERIFY(!child<QLabel>(w.get(), n)->isHidden());
        QVERIFY(child<QPushButton>(w.get(), "Command2_0")->isEnabled());
        QVERIFY(!child<QPushButton>(w.get(), "Command2_1")->isEnabled());
        QCOMPARE(child<QLabel>(w.get(), "Label14")->text(), QString::fromUtf8("PVP:     2,87"));
        QVERIFY(w->browser()->locationUrl().endsWith(QStringLiteral("htm0/Informa.htm")));
        QCOMPARE(vltest::readBytes(product("final0")), std::string("I"));
        QVERIFY(!child<QLabel>(w.get(), "TEST")->isVisible());
    }

    void terminalOneToNineHidesTopButtons() {
        auto w = start(QStringLiteral("-00012341+692514"));
        for (const char* n : {"Label5_0", "Label5_1", "Label5_2"})
            QVERIFY(child<QLabel>(w.get(), n)->isHidden());
        QVERIFY(!child<QPushButton>(w.get(), "Command2_0")->isEnabled());
        QVERIFY(!child<QPushButton>(w.get(), "Command2_1")->isEnabled());
        QVERIFY(fs::exists(product("htm1/Informa.htm")));
    }

    void navigatesWithButtonsAndKeys() {
        auto w = start(QStringLiteral("-00012340+692514+683907+712480"));
        auto* next = child<QPushButton>(w.get(), "Command2_0");
        auto* prev = child<QPushButton>(w.get(), "Command2_1");
        auto* label2 = child<QLabel>(w.get(), "Label2");
        QSignalSpy shown(w.get(), &Velantia::medicineShown);

        QTest::keyClick(w.get(), Qt::Key_Plus);
        QCOMPARE(shown.takeFirst().at(0).toString(), QStringLiteral("683907"));
        QCOMPARE(label2->text(), QStringLiteral("Medicamento 2/3"));
        QVERIFY(next->isEnabled() && prev->isEnabled());
        QVERIFY(vltest::readBytes(product("htm0/Informa.htm")).find("683907 DORMIVAL") !=
                std::string::npos);

        next->click();
        QCOMPARE(label2->text(), QStringLiteral("Medicamento 3/3"));
        QVERIFY(!next->isEnabled());
        // At the end: nothing moves, only the buttons and the counter are set again.
        w->Command2_Click(0);
        QCOMPARE(label2->text(), QStringLiteral("Medicamento 3/3"));
        QCOMPARE(shown.count(), 1);

        QTest::keyClick(w.get(), Qt::Key_Minus);
        QTest::keyClick(w.get(), Qt::Key_Minus);
        QCOMPARE(label2->text(), QStringLiteral("Medicamento 1/3"));
        QVERIFY(!prev->isEnabled());
        QVERIFY(next->isEnabled());

        // A code typed by hand shows its page; the counter stays.
        vl::ui::Dialogs::preInput(QStringLiteral("725631"));
        w->TEST_Click();
        QCOMPARE(shown.last().at(0).toString(), QStringLiteral("725631"));
        QCOMPARE(label2->text(), QStringLiteral("Medicamento 1/3"));
        QVERIFY(!child<QLabel>(w.get(), "Label13")->isVisible());
    }

    void unknownCodeNeverShowsThePreviousMedicine() {
        auto w = start(QStringLiteral("-00012340+692514+999999"));
        w->Command2_Click(0);
        const std::string page = vltest::readBytes(product("htm0/Informa.htm"));
        QVERIFY(page.find("692514") == std::string::npos);
        QVERIFY(page.find("999999") != std::string::npos);
        QVERIFY(!child<QPushButton>(w.get(), "Command2_2")->isEnabled());
        QVERIFY(child<QLabel>(w.get(), "Label14")->text().isEmpty());
    }

    void printsPatientPageThenReturns() {
        auto w = start(QStringLiteral("-00012340+692514"));
        auto* print = child<QPushButton>(w.get(), "Command2_2");
        QVERIFY(print->isEnabled());
        print->click();
        QTRY_VERIFY_WITH_TIMEOUT(!QDir(QString::fromStdString(prints_->path().string()))
                                      .entryList({QStringLiteral("*.pdf")})
                                      .isEmpty(),
                                 20000);
        QTRY_VERIFY_WITH_TIMEOUT(
            w->browser()->locationUrl().endsWith(QStringLiteral("Informa.htm")), 10000);
    }

    void completePagePrintsOnlyAfterYes() {
        auto w = start(QStringLiteral("-00012340+692514"));
        const QDir out(QString::fromStdString(prints_->path().string()));
        vl::ui::Dialogs::preAnswer(QMessageBox::No);
        w->Label13_Click();
        QVERIFY(vl::ui::Dialogs::shownTexts().last().startsWith(
            QString::fromUtf8("Se va a imprimir toda la información")));
        QVERIFY(out.entryList({QStringLiteral("*.pdf")}).isEmpty());
        vl::ui::Dialogs::preAnswer(QMessageBox::Yes);
        QSignalSpy printed(w->browser(), &vl::ui::PageView::printDone);
        w->Label13_Click();
        QTRY_COMPARE_WITH_TIMEOUT(out.entryList({QStringLiteral("*.pdf")}).size(), 1, 20000);
        QVERIFY(w->browser()->locationUrl().endsWith(QStringLiteral("Informa.htm")));
        // The file appears when painting starts: the window may only go once it has ended.
        QTRY_COMPARE_WITH_TIMEOUT(printed.count(), 1, 20000);
    }

    void recordsAndRestoresAfterRestart() {
        const fs::path ref = product("referencias/00012340.ref");
        {
            auto w = start(QStringLiteral("-00012340+692514+683907"));
            QCOMPARE(vltest::readBytes(ref), std::string(50 * 365, '\0'));
            auto* pgrabar = child<QLabel>(w.get(), "Pgrabar");
            auto* borrar = child<QPushButton>(w.get(), "Kborrar");
            QVERIFY(pgrabar->isEnabled());
            QVERIFY(!borrar->isEnabled());

            auto* resp2 = child<QComboBox>(w.get(), "RESP_2");
            QCOMPARE(resp2->currentIndex(), 3); // the default answer
            w->RESP_Click(2, 0);
            QCOMPARE(child<QLabel>(w.get(), "Sele_2")->text(), QStringLiteral("101"));
            child<QPushButton>(w.get(), "Kgrabar")->click();

            std::string expected(365, '\0');
            auto put = [&](std::size_t at, const std::string& v) { expected.replace(at, v.size(), v); };
            put(0, "692514");
            put(6, "1  ");
            const char* ord[] = {"0  ", "2  ", "2  ", "0  ", "0  ", "2  "};
            const char* ans[] = {"101 ", "113 ", "123 ", "201 ", "211 ", "223 "};
            const int rows[] = {2, 3, 4, 6, 7, 8};
            for (int i = 0; i < 6; ++i) {
                put(6 + 3 * rows[i], ord[i]);
                put(159 + 4 * rows[i], ans[i]);
            }
            put(363, "\n\r");
            QCOMPARE(record(ref, 1), expected);
            QVERIFY(!pgrabar->isEnabled());
            QVERIFY(borrar->isEnabled());
            QVERIFY(child<QPushButton>(w.get(), "Todo")->isEnabled());

            // Applying to the whole treatment records the second medicine the same way.
            child<QPushButton>(w.get(), "Todo")->click();
            std::string second = expected;
            second.replace(0, 6, "683907");
            QCOMPARE(record(ref, 2), second);
            QCOMPARE(child<QLabel>(w.get(), "Label2")->text(), QStringLiteral("Medicamento 1/2"));
        }
        // Same reference again: the answers come back.
        auto w = start(QStringLiteral("-00012340+692514+683907"));
        QCOMPARE(child<QComboBox>(w.get(), "RESP_2")->currentIndex(), 0);
        QCOMPARE(child<QLabel>(w.get(), "Sele_2")->text(), QStringLiteral("101"));
        QVERIFY(!child<QLabel>(w.get(), "Pgrabar")->isEnabled());

        // Erasing keeps the code, blanks the flag and the question rows.
        child<QPushButton>(w.get(), "Kborrar")->click();
        const std::string erased = record(ref, 1);
        QCOMPARE(erased.substr(0, 9), std::string("692514   "));
        QCOMPARE(erased.substr(159 + 4 * 2, 4), std::string("    "));
        QCOMPARE(erased.substr(363), std::string("\n\r"));
        QVERIFY(child<QLabel>(w.get(), "Pgrabar")->isEnabled());
        QVERIFY(!child<QPushButton>(w.get(), "Todo")->isEnabled());
    }

    // A reference file that refuses writes: nothing is shown as recorded and the file is named.
    void readOnlyReferenceFileRecordsNothing() {
        const fs::path ref = product("referencias/00012340.ref");
        vl::RunState st = vl::parseCommandLine("-00012340+692514+683907");
        fs::create_directories(ref.parent_path());
        QVERIFY(vl::SurveySession().synchronise(st, paths()));
        QVERIFY(vl::SurveySession().synchronise(st, paths())); // records in this order
        const std::string before = vltest::readBytes(ref);
        vltest::ReadOnly file(ref), folder(ref.parent_path());
        auto w = start(QStringLiteral("-00012340+692514+683907"));
        child<QPushButton>(w.get(), "Kgrabar")->click();
        QVERIFY(vl::ui::Dialogs::shownTexts().last().contains(QStringLiteral("00012340.ref")));
        QVERIFY(child<QLabel>(w.get(), "Pgrabar")->isEnabled());
        QVERIFY(!child<QPushButton>(w.get(), "Kborrar")->isEnabled());
        QCOMPARE(vltest::readBytes(ref), before);
    }

    void emptyCommandLineOffersTheQuery() {
        auto w = start(QString());
        QVERIFY(child<QLabel>(w.get(), "TEST")->isVisible());
        QVERIFY(!child<QPushButton>(w.get(), "Kgrabar")->isEnabled());
        QVERIFY(!child<QPushButton>(w.get(), "Kborrar")->isEnabled());
        QVERIFY(!child<QPushButton>(w.get(), "Command2_2")->isEnabled());
        QVERIFY(w->browser()->locationUrl().endsWith(QStringLiteral("htm/vacia.htm")));
        // Collapsed: the survey panel lies below the lower edge.
        QCOMPARE(w->height(), w->collapsedHeightTw() / 15);
    }

    void referenceThatIsNotANumberCannotRecord() {
        auto w = start(QStringLiteral("-ABCDEFG0+692514"));
        QVERIFY(!child<QPushButton>(w.get(), "Kgrabar")->isEnabled());
        QVERIFY(!child<QPushButton>(w.get(), "Todo")->isEnabled());
        QVERIFY(!fs::exists(product("referencias/ABCDEFG0.ref")));
    }

    void surveySwitchCollapsesAndRestores() {
        auto w = start(QStringLiteral("-00012340+692514+683907"));
        auto* check = child<QCheckBox>(w.get(), "Check1");
        const int full = w->height();
        check->click();
        QCOMPARE(w->height(), w->collapsedHeightTw() / 15);
        QCOMPARE(vltest::readBytes(product("config/encuesta.for")), std::string("0\r\n"));
        check->click();
        QCOMPARE(w->height(), full);
        QCOMPARE(vltest::readBytes(product("config/encuesta.for")), std::string("1\r\n"));
    }

    void escapeFinishesAndFreesOwnLock() {
        vltest::writeBytes(product("Ocupado"), "0");
        auto w = start(QStringLiteral("-00012340+692514"));
        // Start-up frees a lock this terminal left behind.
        QCOMPARE(vltest::readBytes(product("Ocupado")), std::string("*"));
        vltest::writeBytes(product("Ocupado"), "0"); // a send of this terminal under way
        QTest::keyClick(w.get(), Qt::Key_Escape);
        QCOMPARE(vltest::readBytes(product("final0")), std::string("F"));
        QCOMPARE(vltest::readBytes(product("Ocupado")), std::string("*"));
    }
};

int main(int argc, char** argv) {
    vl::ui::prepareBrowserEngine();
    QApplication app(argc, argv);
    Q_INIT_RESOURCE(assets);
    MainWindowTest t;
    return QTest::qExec(&t, argc, argv);
}

#include "test_mainwindow.moc"
