// The main window's wiring, driven as the pharmacist drives it, on a copy of the demo data. What
// the handlers decide is tested with the logic; here each control must reach its handler.
#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QLayout>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryFile>

#include "infopage/navigation.h"
#include "survey/recording.h"
#include "ui/app.h"
#include "ui/dialogs.h"
#include "window_fixture.h"

using namespace vltest;
using vl::ui::Velantia;

namespace {

std::string record(const fs::path& file, int n) {
    return readBytes(file).substr(static_cast<std::size_t>(n - 1) * 365, 365);
}

QString text(QWidget* w, const char* name) {
    return control<QLabel>(w, QString::fromLatin1(name))->text();
}

bool enabled(QWidget* w, const char* name) {
    return control(w, QString::fromLatin1(name))->isEnabled();
}

// The printed content's distance to each paper edge, in points: the page as poppler paints it.
QMarginsF printMargins(const fs::path& pdfFile) {
    QProcess p;
    p.start(QStringLiteral("pdftoppm"), {QStringLiteral("-r"), QStringLiteral("72"),
                                         QStringLiteral("-gray"), QString::fromStdString(pdfFile)});
    p.waitForFinished();
    const QImage page = QImage::fromData(p.readAllStandardOutput());
    QRect ink;
    for (int y = 0; y < page.height(); ++y)
        for (int x = 0; x < page.width(); ++x)
            if (qGray(page.pixel(x, y)) < 240) ink |= QRect(x, y, 1, 1);
    return {double(ink.left()), double(ink.top()), double(page.width() - 1 - ink.right()),
            double(page.height() - 1 - ink.bottom())};
}

} // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

    std::unique_ptr<DemoRoot> root_;
    std::unique_ptr<TempDir> prints_;

    std::unique_ptr<Velantia> start(const QString& line) {
        return startWindow(root_->paths(), line);
    }
    QStringList pdfs() const {
        return QDir(QString::fromStdString(prints_->path().string()))
            .entryList({QStringLiteral("*.pdf")});
    }

  private slots:
    void init() {
        root_ = std::make_unique<DemoRoot>();
        prints_ = std::make_unique<TempDir>();
        qputenv("VELANTIA_PRINT_DIR", QByteArray::fromStdString(prints_->path().string()));
        vl::ui::Dialogs::reset();
    }

    void opensOnTheFirstMedicine() {
        auto w = start(QStringLiteral("-00012340+692514+683907"));
        const QSize screen = QGuiApplication::primaryScreen()->geometry().size();
        // The demo configures 600 pixels, never more than the screen: the outer height.
        QCOMPARE(w->frameGeometry().height(), std::min(600, screen.height()));
        QCOMPARE(text(w.get(), "Label6"), QStringLiteral("00012340"));
        QCOMPARE(text(w.get(), "Label2"), QStringLiteral("Medicamento 1/2"));
        QCOMPARE(text(w.get(), "Label14"), QString::fromUtf8("PVP:     2,87"));
        for (const char* n : {"Label5_0", "Label5_1", "Label5_2", "Command2_0", "Command2_2",
                              "Label13", "Kgrabar", "Pgrabar"})
            QVERIFY2(control(w.get(), QString::fromLatin1(n))->isVisible() && enabled(w.get(), n),
                     n);
        QVERIFY(!enabled(w.get(), "Command2_1"));
        QVERIFY(!enabled(w.get(), "Kborrar"));
        QVERIFY(!control(w.get(), QStringLiteral("TEST"))->isVisible());
        QVERIFY(w->browser()->locationUrl().endsWith(QStringLiteral("htm0/Informa.htm")));
        QCOMPARE(readBytes(root_->product("final0")), std::string("I"));
    }

    void terminalOneToNineHidesTopCommands() {
        auto w = start(QStringLiteral("-00012341+692514"));
        for (const char* n : {"Label5_0", "Label5_1", "Label5_2"})
            QVERIFY(control(w.get(), QString::fromLatin1(n))->isHidden());
        QVERIFY(!enabled(w.get(), "Command2_0") && !enabled(w.get(), "Command2_1"));
    }

    void navigatesWithButtonsKeysAndQuery() {
        auto w = start(QStringLiteral("-00012340+692514+683907+712480"));
        QVERIFY(qobject_cast<QComboBox*>(w->focusWidget())); // the first answer list, no link
        QSignalSpy shown(w.get(), &Velantia::medicineShown);
        struct Step {
            std::function<void()> act;
            const char* label2;
            const char* code; // shown, or nullptr when nothing moves
        } steps[] = {
            {[&] { QTest::keyClick(w.get(), Qt::Key_Plus); }, "Medicamento 2/3", "683907"},
            {[&] { click(w.get(), QStringLiteral("Command2_0")); }, "Medicamento 3/3", "712480"},
            {[&] { click(w.get(), QStringLiteral("Command1")); }, "Medicamento 2/3", "683907"},
            {[&] { click(w.get(), QStringLiteral("Command3")); }, "Medicamento 3/3", "712480"},
            {[&] { QTest::keyClick(w.get(), Qt::Key_Minus); }, "Medicamento 2/3", "683907"},
            {[&] { click(w.get(), QStringLiteral("Command2_1")); }, "Medicamento 1/3", "692514"},
            {[&] { QTest::keyClick(w.get(), Qt::Key_Minus); }, "Medicamento 1/3", nullptr},
        };
        for (const Step& s : steps) {
            shown.clear();
            s.act();
            QCOMPARE(text(w.get(), "Label2"), QString::fromLatin1(s.label2));
            QCOMPARE(shown.size(), s.code ? 1 : 0);
            if (s.code) QCOMPARE(shown.first().at(0).toString(), QString::fromLatin1(s.code));
        }
        QVERIFY(!enabled(w.get(), "Command2_1"));
    }

    void queryWithoutMedicinesAndCollapsedWindow() {
        auto w = start(QString());
        QVERIFY(control(w.get(), QStringLiteral("TEST"))->isVisible());
        for (const char* n : {"Kgrabar", "Kborrar", "Command2_0", "Command2_2", "Pgrabar"})
            QVERIFY2(!enabled(w.get(), n), n);
        QVERIFY(!control(w.get(), QStringLiteral("Label13"))->isVisible());
        QVERIFY(w->browser()->locationUrl().endsWith(QStringLiteral("htm/vacia.htm")));
        QVERIFY(!control(w.get(), QStringLiteral("Frame1"))->isVisible());
        QSignalSpy shown(w.get(), &Velantia::medicineShown);
        // A code typed by hand shows its page; the counter stays. The link works from the keyboard.
        vl::ui::Dialogs::preInput(QStringLiteral("725631"));
        QTest::keyClick(control(w.get(), QStringLiteral("TEST")), Qt::Key_Space);
        QCOMPARE(shown.size(), 1);
        QCOMPARE(text(w.get(), "Label2"), QStringLiteral("Medicamento 0/0"));
    }

    // A code of the wrong length shows nothing: nothing may be printed or erased over it.
    void codeOfTheWrongLengthOffersNothingToPrint() {
        for (const char* line : {"-00012340+69251", "-00012340+692514+69251"}) {
            auto w = start(QString::fromLatin1(line));
            if (enabled(w.get(), "Command2_0")) click(w.get(), QStringLiteral("Command2_0"));
            QVERIFY(!enabled(w.get(), "Command2_2"));
            QVERIFY(!enabled(w.get(), "Kborrar"));
            QVERIFY(!control(w.get(), QStringLiteral("Label13"))->isVisible());
        }
    }

    void printsTheHandoutAndTheCompletePage() {
        auto w = start(QStringLiteral("-00012340+692514"));
        QSignalSpy printed(w->browser(), &vl::ui::PageView::printDone);
        click(w.get(), QStringLiteral("Command2_2"));
        QTRY_COMPARE_WITH_TIMEOUT(printed.count(), 1, 20000);
        QCOMPARE(pdfs().size(), 1);
        const QMarginsF m = printMargins(prints_->path() / pdfs().first().toStdString());
        QVERIFY(std::min({m.left(), m.top(), m.right(), m.bottom()}) >= 28.3); // 10 mm
        QTRY_VERIFY_WITH_TIMEOUT(
            w->browser()->locationUrl().endsWith(QStringLiteral("Informa.htm")), 10000);

        vl::ui::Dialogs::preAnswer(QMessageBox::No);
        click(w.get(), QStringLiteral("Label13"));
        QVERIFY(vl::ui::Dialogs::shownTexts().last().startsWith(
            QString::fromUtf8("Se va a imprimir toda la información")));
        QCOMPARE(pdfs().size(), 1);
        vl::ui::Dialogs::preAnswer(QMessageBox::Yes);
        click(w.get(), QStringLiteral("Label13"));
        QTRY_COMPARE_WITH_TIMEOUT(printed.count(), 2, 20000);
        QCOMPARE(pdfs().size(), 2);
    }

    void recordsAppliesToAllAndRestores() {
        const fs::path ref = root_->product("referencias/00012340.ref");
        {
            auto w = start(QStringLiteral("-00012340+692514+683907"));
            choose(w.get(), QStringLiteral("RESP_2"), 0);
            QCOMPARE(text(w.get(), "Sele_2"), QStringLiteral("101"));
            click(w.get(), QStringLiteral("Kgrabar"));
            const std::string first = record(ref, 1);
            QCOMPARE(first.substr(0, 9), std::string("6925141  "));
            QCOMPARE(first.substr(159 + 4 * 2, 4), std::string("101 "));
            QVERIFY(!enabled(w.get(), "Pgrabar") && enabled(w.get(), "Kborrar"));

            // Each medicine once, then the current one again: never twice at the end.
            QSignalSpy shown(w.get(), &Velantia::medicineShown);
            click(w.get(), QStringLiteral("Todo"));
            QCOMPARE(shown.size(), 3);
            QCOMPARE(shown.last().at(0).toString(), QStringLiteral("692514"));
            QCOMPARE(record(ref, 2).substr(6), first.substr(6));
        }
        auto w = start(QStringLiteral("-00012340+692514+683907"));
        QCOMPARE(control<QComboBox>(w.get(), QStringLiteral("RESP_2"))->currentIndex(), 0);
        click(w.get(), QStringLiteral("Kborrar"));
        QCOMPARE(record(ref, 1).substr(159 + 4 * 2, 4), std::string("    "));
        QVERIFY(enabled(w.get(), "Pgrabar"));
        QVERIFY(!enabled(w.get(), "Todo"));
    }

    // Only a choice made in the list changes an answer; the wheel scrolls the panel.
    void wheelOverAListChangesNothing() {
        auto w = start(QStringLiteral("-00012340+692514"));
        auto* list = control<QComboBox>(w.get(), QStringLiteral("RESP_2"));
        const QPoint at = list->rect().center();
        QWheelEvent wheel(at, list->mapToGlobal(at), {}, {0, 120}, Qt::NoButton, {},
                          Qt::NoScrollPhase, false);
        QApplication::sendEvent(list, &wheel);
        QCOMPARE(list->currentIndex(), 3);
        QCOMPARE(text(w.get(), "Sele_2"), QStringLiteral("104"));
    }

    // A reference file that refuses writes: nothing is shown as recorded and the file is named.
    void readOnlyReferenceFileRecordsNothing() {
        const fs::path ref = root_->product("referencias/00012340.ref");
        vl::RunState st = vl::parseCommandLine("-00012340+692514+683907");
        fs::create_directories(ref.parent_path());
        QVERIFY(vl::SurveySession().synchronise(st, root_->paths()));
        QVERIFY(vl::SurveySession().synchronise(st, root_->paths())); // records in this order
        const std::string before = readBytes(ref);
        ReadOnly file(ref), folder(ref.parent_path());
        auto w = start(QStringLiteral("-00012340+692514+683907"));
        click(w.get(), QStringLiteral("Kgrabar"));
        QVERIFY(vl::ui::Dialogs::shownTexts().last().contains(QStringLiteral("00012340.ref")));
        QVERIFY(enabled(w.get(), "Pgrabar"));
        QVERIFY(!enabled(w.get(), "Kborrar"));
        QCOMPARE(readBytes(ref), before);
    }

    void referenceThatIsNotANumberCannotRecord() {
        auto w = start(QStringLiteral("-ABCDEFG0+692514"));
        for (const char* n : {"Kgrabar", "Kborrar", "Todo", "Pgrabar"})
            QVERIFY2(!enabled(w.get(), n), n);
        QVERIFY(!fs::exists(root_->product("referencias/ABCDEFG0.ref")));
    }

    void surveySwitchCollapsesAndRestores() {
        auto w = start(QStringLiteral("-00012340+692514+683907"));
        auto* frame1 = control(w.get(), QStringLiteral("Frame1"));
        const int full = w->height();
        click(w.get(), QStringLiteral("Check1"));
        QVERIFY(!frame1->isVisible());
        QCOMPARE(w->height(), full - frame1->height() - w->layout()->spacing());
        QCOMPARE(readBytes(root_->product("config/encuesta.for")), std::string("0\r\n"));
        click(w.get(), QStringLiteral("Check1"));
        QVERIFY(frame1->isVisible());
        QCOMPARE(w->height(), full);
        QCOMPARE(readBytes(root_->product("config/encuesta.for")), std::string("1\r\n"));
    }

    void escapeFinishesAndFreesOwnLock() {
        writeBytes(root_->product("Ocupado"), "0");
        auto w = start(QStringLiteral("-00012340+692514"));
        // Start-up frees a lock this terminal left behind.
        QCOMPARE(readBytes(root_->product("Ocupado")), std::string("*"));
        writeBytes(root_->product("Ocupado"), "0"); // a send of this terminal under way
        QTest::keyClick(control(w.get(), QStringLiteral("RESP_2")), Qt::Key_Escape);
        QCOMPARE(readBytes(root_->product("final0")), std::string("F"));
        QCOMPARE(readBytes(root_->product("Ocupado")), std::string("*"));
    }

    // Page addresses come from the path: "#" and "%" in a folder name are no fragment.
    void folderWithHashAndPercentShowsThePage() {
        root_ = std::make_unique<DemoRoot>("farmacia #2 100%");
        auto w = start(QStringLiteral("-00012340+692514"));
        QTRY_COMPARE_WITH_TIMEOUT(w->browser()->title(), QStringLiteral("Velantia"), 15000);
        QCOMPARE(w->browser()->url().toLocalFile(),
                 QString::fromStdString(root_->product("htm0/Informa.htm").string()));
    }

    void everyControlIsNamedAndReachedByTab() {
        auto w = start(QStringLiteral("-00012340+692514+683907"));
        QSet<QWidget*> reached;
        QWidget* first = control(w.get(), QStringLiteral("Label5_0"));
        for (QWidget* f = first->nextInFocusChain(); f != first; f = f->nextInFocusChain())
            reached.insert(f);
        for (QWidget* c : w->findChildren<QWidget*>()) {
            if (!c->isVisible() || c->objectName().isEmpty() || c->objectName().startsWith(u"qt_"))
                continue;
            QAccessibleInterface* a = QAccessible::queryAccessibleInterface(c);
            QVERIFY2(a && !a->text(QAccessible::Name).isEmpty(), qPrintable(c->objectName()));
            if (c->focusPolicy() & Qt::TabFocus)
                QVERIFY2(reached.contains(c) || c == first, qPrintable(c->objectName()));
        }
    }

    // Qt's own texts in Spanish, and a question whose lines stay whole.
    void messageBoxesSpeakSpanish() {
        QVERIFY(vl::ui::installSpanishTranslations(*qApp));
        auto box = vl::ui::Dialogs::makeBox(
            nullptr, QString::fromUtf8(vl::FullPrintQuestion.data(), vl::FullPrintQuestion.size()),
            QStringLiteral("Velantia"), QMessageBox::Yes | QMessageBox::No, QMessageBox::Question,
            QMessageBox::No);
        QCOMPARE(box->button(QMessageBox::Yes)->text(), QString::fromUtf8("&Sí"));
        box->show();
        auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
        const QString longest =
            QString::fromUtf8("Parte de la información puede ser de uso reservado al "
                              "farmacéutic(o/a).");
        QVERIFY(label->width() >= label->fontMetrics().horizontalAdvance(longest));
        QVERIFY(label->height() < 9 * label->fontMetrics().height()); // six lines, none broken
    }

    // A line longer than the box's own limit, which is below the screen's width only on wide
    // screens, wraps inside the box instead of being cut off at its edge.
    void longLinesWrapInsideTheBox() {
        if (QGuiApplication::primaryScreen()->availableGeometry().width() < 1280) {
            QTemporaryFile screens;
            QVERIFY(screens.open());
            screens.write(R"({"screens": [{"name": "wide", "width": 1280, "height": 1024}]})");
            screens.close();
            QProcess wide;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("QT_QPA_PLATFORM", "offscreen:configfile=" + screens.fileName());
            wide.setProcessEnvironment(env);
            wide.start(QCoreApplication::applicationFilePath(), {"longLinesWrapInsideTheBox"});
            QVERIFY(wide.waitForFinished(120000));
            QVERIFY2(wide.exitCode() == 0, wide.readAll().constData());
            return;
        }
        QString line = QStringLiteral("compruebe que la carpeta existe");
        while (QFontMetrics(QApplication::font()).horizontalAdvance(line) < 900)
            line += QStringLiteral(" y que se puede escribir en ella");
        auto box = vl::ui::Dialogs::makeBox(nullptr, QStringLiteral("Corta.\n") + line,
                                            QStringLiteral("Velantia"), QMessageBox::Ok,
                                            QMessageBox::Critical, QMessageBox::Ok);
        box->show();
        auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
        QVERIFY(label->minimumSizeHint().width() <= label->width());
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
