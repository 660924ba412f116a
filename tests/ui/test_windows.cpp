// The windows' wiring, on the demo data in a folder named with "#" and "%", the send and the
// update against the local service double: what the handlers decide is tested with the logic,
// here only that controls reach them and their results show.
#ifndef VELANTIA_TEXT_PAGES
#include <QWebEngineHistory>
#endif
#include <QtTest>
#include <QtWidgets>

#include <csignal>
#include <future>

#include "core/handoff.h"
#include "core/runlog.h"
#include "core/text.h"
#include "infopage/navigation.h"
#include "outbox/closingcall.h"
#include "outbox/outbox.h"
#include "send/sendpage.h"
#include "support/service_double.h"
#include "survey/recording.h"
#include "ui/actualizar.h"
#include "ui/app.h"
#include "ui/assets.h"
#include "ui/dialogs.h"
#include "ui/mainwindow.h"
#include "ui/okup.h"
#include "ui/pagearea.h"
#include "ui/pageview.h"
#include "ui/vlconfig.h"
#include "ui/windowserver.h"
#include "platform/detached.h"
#include "platform/localchannel.h"

using namespace vltest;
namespace fs = std::filesystem;
using vl::ui::Actualizar;
using vl::ui::Dialogs;
using vl::ui::Velantia;

namespace {

template <typename T = QWidget> T* control(QWidget* w, const QString& name) {
    T* c = w->findChild<T*>(name);
    if (!c) qFatal("no control %s", qPrintable(name));
    return c;
}

const QString Demo = QStringLiteral("-00012340+692514+683907");

// Steps split by "|". Doing: ">X" clicks X, "^kX" types key k in X (without X, in the window),
// "X@n" picks entry n of list X, "X:t" types t in X, "?t" has t typed in the next input box.
// Checking, waiting a while for it: "+X" shown and enabled, "!X" greyed, "~X" hidden, "*X"
// focused, "X=t" X shows t (a page: a file ending in t), "'t" the last message holds t;
// "#a,b" the medicines shown since the last "#".
void play(QWidget* w, const QString& script) {
    QStringList shown; // since the last "#"
    QObject scope;
    if (auto* main = qobject_cast<Velantia*>(w))
        QObject::connect(main, &Velantia::medicineShown, &scope, [&](auto code) { shown << code; });
    for (const QString& s : script.split(u'|', Qt::SkipEmptyParts)) {
        const qsizetype at = s.indexOf(QRegularExpression("[=:@]"));
        const QChar op = s[0], sep = at > 0 && op.isLetter() ? s[at] : QChar();
        const QString arg = s.mid(1), name = s.left(at), value = s.mid(at + 1);
        QWidget* c =
            op == u'>' ? control(w, arg) : w->findChild<QWidget*>(op.isLetter() ? name : arg);
        if (op == u'>') QTest::mouseClick(c, Qt::LeftButton, {}, c->rect().center());
        if (op == u'^')
            QTest::keyClick(arg.size() > 1 ? control(w, arg.mid(1)) : w, arg[0].toLatin1());
        if (op == u'?') Dialogs::preInput(arg);
        for (int i = -1; sep == u'@' && i < value.toInt(); ++i) // a choice made in the list
            QTest::keyClick(c, i < 0 ? Qt::Key_Home : Qt::Key_Down);
        if (sep == u':')
            c->setProperty(c->property("currentText").isValid() ? "currentText" : "text", value);
        if (op == u'#') QCOMPARE(std::exchange(shown, {}).join(u','), arg);
        QString got; // what the control or the last message shows, a page its file
        const auto holds = [&] {
            c = w->findChild<QWidget*>(op.isLetter() ? name : arg); // perhaps made meanwhile
            const QStringList said = Dialogs::shownTexts();
            QVariant v;
            for (const char* p : {"currentText", "displayText", "checked", "url", "text"})
                if (c && !v.isValid()) v = c->property(p);
            const bool page = v.typeId() == QMetaType::QUrl;
            got = op == u'\'' ? said.value(said.size() - 1)
                  : page      ? v.toUrl().toLocalFile()
                              : v.toString();
            return op == u'\''  ? got.contains(arg)
                   : !c         ? false
                   : op == u'+' ? c->isVisible() && c->isEnabled()
                   : op == u'!' ? !c->isEnabled()
                   : op == u'~' ? !c->isVisible()
                   : op == u'*' ? c->hasFocus()
                   : page       ? got.endsWith(value)
                                : got == value;
        };
        if (sep == u'=' || QStringLiteral("+!~*'").contains(op))
            QTRY_VERIFY2_WITH_TIMEOUT(holds(), qPrintable(s + " but " + got), 20000);
    }
}

// Near a thousand characters: wider than any screen tried.
const QString LongAnswer =
    QString::fromUtf8("No, pero se le explica para qué sirve y cómo tomarlo ").repeated(18);

// `questions` questions in groups of `perGroup`, three answers each, the first a fourth one that
// is LongAnswer (Windows-1252).
std::string survey(int questions, int perGroup) {
    std::string s;
    for (int q = 0; q < questions; ++q)
        s += (q % perGroup ? "" : "E" + std::to_string(100 + q) + " Grupo\r\n") + "P" +
             std::to_string(100 + q) +
             (q % 3 == 2 ? " \xBFSabe el paciente para qu\xE9 sirve este medicamento? "
                         : " \xBFSabe para qu\xE9 es? ") +
             std::to_string(q + 1) + "\r\nR101 S\xED\r\nR102 No, se le informa\r\nR103sNo\r\n" +
             (q ? "" : "R104 " + vl::toCp1252(LongAnswer.toStdString()) + "\r\n");
    return s;
}

// The caption shows whole. A push button may be narrower than its style would make it ("<"),
// never narrower than its text.
bool fits(QWidget* c) {
    auto* l = qobject_cast<QLabel*>(c);
    if (l && l->text().isEmpty()) return true;
    if (l && l->wordWrap()) return c->height() >= c->heightForWidth(c->width());
    if (auto* b = qobject_cast<QPushButton*>(c))
        return c->height() >= c->sizeHint().height() &&
               c->width() >= c->fontMetrics().horizontalAdvance(b->text().remove(u'&')) + 8;
    return c->width() >= c->sizeHint().width() && c->height() >= c->sizeHint().height();
}

// No overlaps, no cut captions, names for a screen reader; `lowest` gets the lowest control's
// bottom edge.
void expectControlsLaidOut(QWidget* w, int& lowest) {
    QList<QPair<QWidget*, QRect>> shown;
    for (QWidget* c : w->findChildren<QWidget*>()) {
        const bool isControl = qobject_cast<QLabel*>(c) || qobject_cast<QAbstractButton*>(c) ||
                               qobject_cast<QComboBox*>(c) || qobject_cast<QProgressBar*>(c);
        if (!c->isVisible() || c->objectName().isEmpty() || c->objectName().startsWith(u"qt_") ||
            !(isControl || c->focusPolicy() & Qt::TabFocus))
            continue;
        QAccessibleInterface* a = QAccessible::queryAccessibleInterface(c);
        QVERIFY2(a && !a->text(QAccessible::Name).isEmpty(), qPrintable(c->objectName()));
        // Where it can be seen: cut by every parent (a scrolled panel).
        QRect r(c->mapTo(w, QPoint(0, 0)), c->size());
        for (QWidget* p = c->parentWidget(); p != w; p = p->parentWidget())
            r &= QRect(p->mapTo(w, QPoint(0, 0)), p->size());
        if (!isControl || r.isEmpty()) continue;
        QVERIFY2(w->rect().contains(r) && fits(c), qPrintable(c->objectName() + " is cut"));
        lowest = std::max(lowest, r.bottom());
        for (const auto& [other, o] : shown)
            QVERIFY2(!r.intersects(o), qPrintable(c->objectName() + " on " + other->objectName()));
        shown.append({c, r});
    }
}

// The main window laid out: its controls, room for the page, no empty band.
void expectLaidOut(QWidget* w, int outerHeight) {
    QCOMPARE(w->frameGeometry().height(), outerHeight);
    QVERIFY(w->frameGeometry().width() <= w->screen()->geometry().width());
    QVERIFY(control(w, "Wb")->height() >= vl::ui::PageArea::MinimumHeight);
    int lowest = 0;
    expectControlsLaidOut(w, lowest);
    QVERIFY2(lowest >= w->height() - 12, qPrintable(QString::number(w->height() - lowest)));
}

// Command lines with the steps of `play`; rows without steps try survey shapes, heights, fonts.
const struct Start {
    const char *name, *line, *script;
    int questions = -1, perGroup = 1, px = 600, fontTenths = 10; // -1: the demo's survey
} Starts[] = {
    {"terminal 0", "-00012340+692514+683907",
     "Label6=00012340|Label2=Medicamento 1/2|Label14=PVP:     2,87|+Label5_0|+Label5_1|+Label5_2|"
     "+Command2_0|+Command2_2|+Label13|+Kgrabar|+Pgrabar|!Command2_1|!Kborrar|~TEST|"
     "Wb=htm0/Informa.htm|*RESP_2"},
    {"terminal 1", "-00012341+692514", "~Label5_0|~Label5_1|~Label5_2|!Command2_0|!Command2_1"},
    // A code typed by hand shows its page, the counter stays; the link works from the keys.
    {"no medicines", "",
     "+TEST|!Kgrabar|!Kborrar|!Command2_0|!Command2_2|!Pgrabar|~Label13|~Frame1|Wb=htm/vacia.htm|"
     "?725631|^ TEST|#725631|Label2=Medicamento 0/0"},
    // A code of the wrong length shows nothing: nothing may be printed or erased over it.
    {"wrong length", "-00012340+692514+69251",
     "^+|Label2=Medicamento 2/2|!Command2_2|!Kborrar|~Label13"},
    {"reference not a number", "-ABCDEFG0+692514", "!Kgrabar|!Kborrar|!Todo|!Pgrabar"},
    {"navigation", "-00012340+692514+683907+712480",
     "^+|Label2=Medicamento 2/3|#683907|>Command2_0|#712480|>Command1|#683907|>Command3|#712480|"
     "^-|#683907|>Command2_1|Label2=Medicamento 1/3|#692514|^-|#|!Command2_1"},
    {"no questions, 1024 px", "-00012340+692514+683907", "", 0, 1, 1024},
    {"1 group, 480 px, font x1.5", "-00012340+692514+683907", "", 6, 6, 480, 15},
    {"2 groups, font x1.5", "-00012340+692514+683907", "", 6, 3, 600, 15},
    {"3 groups, 480 px", "-00012340+692514+683907", "", 20, 7, 480},
    {"3 groups, 1024 px, font x1.5", "-00012340+692514+683907", "", 20, 7, 1024, 15},
};

} // namespace

class WindowsTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TempDir> dir_; // prints go here, the drive root below it
    QFont font_ = QApplication::font();

    vl::Paths paths() const { return vl::Paths(dir_->path() / "farmacia #2 100%"); }
    fs::path product(const std::string& rel) const { return paths().product(rel); }

    // The window after its deferred start and its first page load.
    std::unique_ptr<Velantia> start(const QString& line) {
        auto w = std::make_unique<Velantia>(paths(), line);
        QSignalSpy loaded(w->browser(), &vl::ui::PageView::loadFinished);
        QSignalSpy deferred(w.get(), &Velantia::deferredStartFinished);
        if (!w->deferredStartDone()) deferred.wait(10000);
        if (loaded.isEmpty()) loaded.wait(15000);
        return w;
    }

  private slots:
    void init() {
        dir_ = std::make_unique<TempDir>();
        fs::copy(fs::path(VELANTIA_SOURCE_DIR) / "demo/root", paths().root(),
                 fs::copy_options::recursive);
        qputenv("VELANTIA_PRINT_DIR", QByteArray::fromStdString(dir_->path().string()));
        Dialogs::reset();
        QApplication::setFont(font_);
    }

    void startsLaidOutAndWired_data() {
        QTest::addColumn<int>("row");
        for (const Start& r : Starts)
            QTest::newRow(r.name) << int(&r - Starts);
    }

    void startsLaidOutAndWired() {
        QFETCH(int, row);
        const Start& r = Starts[row];
        QFont font = font_;
        font.setPointSizeF(font_.pointSizeF() * r.fontTenths / 10);
        QApplication::setFont(font);
        if (r.questions >= 0)
            writeBytes(product("datos/Encuesta.txt"), survey(r.questions, r.perGroup));
        writeBytes(product("config/datos.txt"), "\"28001234\"\r\n\"" + std::to_string(r.px) +
                                                    "\"\r\n0\r\n\"7 - Semanal\"\r\n\"8\"\r\n"
                                                    "\"demo\"\r\n");
        writeBytes(product("Ocupado"), "0"); // left behind by terminal 0: its start frees it
        auto w = start(r.line);
        QApplication::processEvents();
        QCOMPARE(readBytes(product("Ocupado")),
                 std::string(QString(r.line).mid(8, 1) == "0" ? "*" : "0"));
        auto* frame = control(w.get(), "Frame1"); // without the survey the window ends higher
        expectLaidOut(w.get(), frame->isVisible() ? r.px : w->frameGeometry().height());
        QVERIFY(w->width() <= 64 * r.fontTenths); // long questions wrap instead of widening it
        if (r.questions > 0) { // the long answer: whole in its tooltip and in the open list
            auto* list = control<QComboBox>(w.get(), "RESP_2");
            list->setCurrentIndex(3);
            QCOMPARE(list->toolTip() + list->itemData(3, Qt::ToolTipRole).toString(),
                     LongAnswer + LongAnswer);
            list->showPopup();
            const QRect item = list->view()->visualRect(list->model()->index(3, 0));
            QTRY_VERIFY(list->view()->isVisible());
            QVERIFY(item.height() >= list->fontMetrics()
                                         .boundingRect(item.adjusted(0, 0, -12, 1 << 20),
                                                       Qt::TextWordWrap, LongAnswer)
                                         .height());
            list->hidePopup();
        }
        play(w.get(), r.script);

        const int full = w->height(), page = control(w.get(), "Wb")->height();
        const int gone = frame->isVisible() ? frame->height() + w->layout()->spacing() : 0;
        play(w.get(), ">Check1|~Frame1");
        QCOMPARE(control(w.get(), "Wb")->height(), page);
        QCOMPARE(w->height(), full - gone);
        expectLaidOut(w.get(), w->frameGeometry().height());
        QCOMPARE(readBytes(product("config/encuesta.for")), std::string("0\r\n"));
        play(w.get(), ">Check1");
        QCOMPARE(w->height(), full);
    }

    void recordsAppliesToAllAndRestores() {
        const fs::path ref = product("referencias/00012340.ref");
        const auto field = [&](int record, int at, int size) {
            return readBytes(ref).substr((record - 1) * 365 + at, size);
        };
        {
            auto w = start(Demo);
            // Only a choice made in the list changes an answer; the wheel scrolls the panel.
            auto* list = control<QComboBox>(w.get(), "RESP_2");
            const QPoint at = list->rect().center();
            QWheelEvent wheel(at, list->mapToGlobal(at), {}, {0, 120}, Qt::NoButton, {},
                              Qt::NoScrollPhase, false);
            QApplication::sendEvent(list, &wheel);
            play(w.get(), "Sele_2=104|RESP_2@0|Sele_2=101");
            // Alt+G records at once, before a key typed after it can show the next medicine.
            QTest::keyClick(w.get(), Qt::Key_G, Qt::AltModifier);
            QCOMPARE(field(1, 167, 4), "101 ");
            play(w.get(), "!Pgrabar|+Kborrar");
            // Each medicine once, then the current one again: never twice at the end.
            play(w.get(), ">Todo|#692514,683907,692514");
            QCOMPARE(field(2, 6, 359), field(1, 6, 359));
        }
        vl::runlog::open(paths(), "0"); // a start without 683907 leaves its answers out
        start("-00012340+692514");
        vl::runlog::close();
        QVERIFY(vl::fromCp1252(vl::runlog::readLog(product("registro0.log")))
                    .ends_with("] Dispensación 00012340: quitado de referencias\\00012340.ref: 1 "
                               "medicamento grabado que no está en la llamada (683907)\r\n"));
        play(start(Demo).get(), "Sele_2=101|>Kborrar|+Pgrabar|!Todo");
        QCOMPARE(field(1, 167, 4), "    ");
        // A reference file that refuses writes: nothing is shown as recorded, the file is named.
        const std::string before = readBytes(ref);
        ReadOnly file(ref), folder(ref.parent_path());
        if (!file.holds()) return; // root under Wine writes it all the same
        play(start(Demo).get(), ">Kgrabar|+Pgrabar|!Kborrar|'00012340.ref");
        QCOMPARE(readBytes(ref), before);
    }

    // A closing call of this terminal, another dispensing's or this one's, moves the recorded
    // answers and removes the file: a refused Grabar, or the next medicine shown, turns the panel
    // to the closed state. Navigation and printing go on; no file is made again.
    void closedMeanwhileStopsRecording() {
        const fs::path ref = product("referencias/00012340.ref");
        for (const char* call : {"TK-00012540+725631", "TK-00012340+692514+683907"}) {
            Dialogs::reset();
            auto w = start(Demo);
            play(w.get(), "RESP_2@0|>Kgrabar|!Pgrabar|+Kborrar|~Cerrada");
            QCOMPARE(vl::closingCallWithoutWindows(paths(), call, 768).kind,
                     vl::ClosingOutcome::Done);
            const std::string outbox = readBytes(product("Respuesta.tsv"));
#ifdef _WIN32
            // The window still has it open, which Windows does not delete from under it: it is
            // emptied instead, so nothing is moved twice.
            QVERIFY(!fs::exists(ref) || fs::file_size(ref) == 0);
#else
            QVERIFY(!fs::exists(ref));
#endif
            const bool other = QString(call).contains("12540");
            play(w.get(), QString(other ? ">Kgrabar|'12340 ya se ha cerrado|+Cerrada|" : "") +
                              "^+|#683907|+Cerrada|~Pgrabar|!Kgrabar|!Kborrar|!Todo|!RESP_2|"
                              "+Command2_1|+Command2_2|^-|#692514|!Kborrar|+Command2_0");
            QCOMPARE(Dialogs::shownTexts().size(), other ? 1 : 0);
            expectLaidOut(w.get(), w->frameGeometry().height());
            QCOMPARE(readBytes(product("Respuesta.tsv")), outbox);
            QVERIFY(!fs::exists(ref));
        }
    }

    // The handout shown at Imprimir prints at once, "+" right after or not: searchable, inside
    // 15 mm on every sheet, body text at 11 points or more (also where an item's markup makes
    // it smaller), headings at 13 or more, no line cut at a sheet break. A failed print is said;
    // the complete page prints after "Sí" only.
    void printsTheHandoutAndTheCompletePage() {
        // Longer than a sheet; its own markup makes two words smaller.
        std::string lines = "<span style='font-size:6pt'>Diminuta</span> "
                            "<span style='font-size:9px'>P\xEDxeles</span><br>";
        for (int i = 100; i < 220; ++i)
            lines += "L\xEDnea " + std::to_string(i) + "<br>";
        writeBytes(product("datos/textos/001632.txt"), "\"Control\"\r\n\"" + lines + "\"\r\n");
        auto w = start("-00012340+692514+683907");
        vl::ui::installPageAssets(paths()); // the images of the complete page
        QSignalSpy printed(w->browser(), &vl::ui::PageView::printDone);
        QTest::keyClick(w.get(), Qt::Key_I, Qt::AltModifier); // as at once as a click
        play(w.get(), "^+|#683907");
        QCOMPARE(printed.count(), 1);
        const QString pdf = printed.first().at(1).toString();
        // The text poppler finds inside 15 mm (42.5 points) of each A4 sheet's edges.
        const std::string host = vltest::hostPath(pdf.toStdU16String());
        const fs::path found = dir_->path() / "texto.txt";
        vltest::writeBytes(found, "");
        QCOMPARE(vltest::hostRun("pdftotext", {"-r", "72", "-x", "42", "-y", "42", "-W", "511",
                                               "-H", "758", host, vltest::hostPath(found)}),
                 0);
        const QString text = QString::fromStdString(readBytes(found));
        QVERIFY2(text.contains("Contraindicado en el embarazo") &&
                     text.contains("No debe tomarse") && text.contains("controlar la tensi") &&
                     !text.contains("Somnolencia") && text.count(u'\f') == 3 &&
                     QFileInfo(pdf).size() < 100000,
                 qPrintable(text));
        for (int i = 100; i < 220; ++i) // every line once: none lost, cut or outside a margin
            QVERIFY2(text.count(QString::fromUtf8("Línea %1").arg(i)) == 1, qPrintable(text));
        // Sizes in whole points as poppler rounds them.
        QCOMPARE(vltest::hostRun("pdftohtml", {"-xml", "-i", "-zoom", "1", host,
                                               vltest::hostPath(dir_->path()) + "/fuentes"}),
                 0);
        const QString xml = QString::fromStdString(readBytes(dir_->path() / "fuentes.xml"));
        QMap<QString, int> size;
        static const QRegularExpression fontSize(R"x(<fontspec id="(\d+)" size="(\d+)")x"),
            run(R"x(<text [^>]*font="(\d+)">(.*)</text>)x"), tag("<[^>]*>"),
            heading("^(Información al paciente|692514 ENALTEN|Contraindicado en|Control$)");
        for (auto it = fontSize.globalMatch(xml); it.hasNext();) {
            const auto m = it.next();
            size[m.captured(1)] = m.captured(2).toInt();
        }
        int headings = 0, runs = 0;
        for (auto it = run.globalMatch(xml); it.hasNext();) {
            const auto m = it.next();
            const QString t = m.captured(2).remove(tag).trimmed();
            const bool isHeading = heading.match(t).hasMatch();
            headings += isHeading;
            runs += !t.isEmpty();
            QVERIFY2(t.isEmpty() || size[m.captured(1)] >= (isHeading ? 13 : 11), qPrintable(t));
        }
        QVERIFY(headings == 4 && runs > 120);
        const QString sheet = QString::fromStdString((dir_->path() / "hoja").string());
        qputenv("VELANTIA_PRINT_DIR", QByteArray::fromStdString(sheet.toStdString() + "/no"));
        play(w.get(), ">Command2_2|'No se ha podido imprimir");
        qputenv("VELANTIA_PRINT_DIR", QByteArray::fromStdString(dir_->path().string()));
        Dialogs::preAnswer(QMessageBox::No);
        play(w.get(), "Wb=Informa.htm|>Label13|'Se va a imprimir toda");
        QVERIFY(w->browser()->printSilently()); // "No" left nothing printing
        QCOMPARE(printed.count(), 3);
        Dialogs::preAnswer(QMessageBox::Yes);
        play(w.get(), ">Label13");
        QCOMPARE(printed.count(), 4);
    }

    // Lines that fit stay whole (the box breaks them, even inside a word); wider ones wrap.
    void messageBoxesSpeakSpanishAndWrap() {
        QVERIFY(vl::ui::installSpanishTranslations(*qApp));
        QString wide = "compruebe que la carpeta existe";
        while (QFontMetrics(QApplication::font()).horizontalAdvance(wide) < 900)
            wide += " y que se puede escribir en ella";
        const QString question = QString::fromUtf8(vl::FullPrintQuestion);
        for (const QString& t : {question, "Corta.\n" + wide}) {
            auto box = Dialogs::makeBox(nullptr, t, "Velantia", QMessageBox::Yes | QMessageBox::No,
                                        QMessageBox::Question, QMessageBox::No);
            box->show();
            auto* label = box->findChild<QLabel*>("qt_msgbox_label");
            QVERIFY(label->minimumSizeHint().width() <= label->width());
            QCOMPARE(box->button(QMessageBox::Yes)->text(), QString::fromUtf8("&Sí"));
            if (t != question) continue; // six lines, none broken at the box's width
            QVERIFY(label->width() >= label->fontMetrics().horizontalAdvance(QString::fromUtf8(
                                          "Parte de la información puede ser de uso reservado al "
                                          "farmacéutic(o/a).")));
            QVERIFY(label->height() < 9 * label->fontMetrics().height());
        }
    }

    // Of the check boxes only the price box turns off; a height beyond the screen saves nothing.
    void settingsWindow() {
        vl::Config cfg;
        vl::loadDatosTxt(product("config/datos.txt"), cfg);
        fs::remove(product("config/datos.txt"));
        vl::ui::VLconfig dlg(paths(), cfg, 768);
        dlg.show();
        play(&dlg, "Text1_0=28001234|Text1_1=600|Text1_2=8|Text1_3=****|Combo1=7 - Semanal|"
                   "Combo2=1 No Permanente|>Check2_0|>Check2_1|>Check2_3|>Check2_2|>Check2_2|"
                   "Check2_0=true|Check2_1=true|Check2_3=true|Check2_2=false|Text1_1:769|"
                   ">Command1|+Command1|Text1_1:600px|Combo1:10 días|Combo2:0 Permanente ADSL|"
                   "Text1_3:cl,ave ñ€Ω|>Command1|'carácter «Ω»|*Text1_3|Text1_3:demo|"
                   "Combo1:7 Ω|>Command1|'La frecuencia contiene el carácter «Ω»|*Combo1|"
                   "Combo1:10 días|"
                   ">Command1|~Command1");
        QCOMPARE(readBytes(product("config/datos.txt")),
                 "\"28001234\"\r\n\"600px\"\r\n0\r\n\"10 d\xED"
                 "as\"\r\n\"8\"\r\n\"demo\"\r\n");
        QCOMPARE(readBytes(paths().root() / "quiroles/tipoconect"), "0\r\n");
        QCOMPARE(cfg.alto_ventana, 600.0f);

        vl::runlog::open(paths(), "3");
        vl::runlog::log("Envío de 90 bytes: aceptado");
        play(&dlg, ">VerRegistro");
        vl::runlog::close();
        auto* log = control<QPlainTextEdit>(&dlg, "Registro");
        QVERIFY(log->isReadOnly() && log->textCursor().atEnd());
        QVERIFY(log->toPlainText().contains(QString::fromUtf8("] Envío de 90 bytes: aceptado\n")));
    }

    // Started for the run log (the menu's «Ver registro»), only the log viewer shows, on this
    // run's registro.log, and the run ends when it closes.
    void logCommandShowsOnlyTheLog() {
        Velantia w(paths(), QStringLiteral("registro"));
        QSignalSpy ended(&w, &Velantia::ended);
        QString seen;
        QTimer poll;
        connect(&poll, &QTimer::timeout, [&] {
            auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            if (!d) return;
            seen = d->objectName() + "|" + control<QComboBox>(d, "Registros")->currentText() +
                   (w.isVisible() ? "|main window shown" : "");
            d->reject();
        });
        poll.start(20);
        QVERIFY(ended.wait(20000));
        QCOMPARE(seen, QStringLiteral("LogViewer|registro.log"));
    }

    // The busy window waits out Escape and "No"; Escape and "Sí" end as things stand: the "0" of
    // a sending terminal stays, though this terminal's "A" counts as 0 too.
    void closingCall() {
        int exitCode = -1;
        QVERIFY(!vl::ui::runClosingCall(paths(), "TK+692514", exitCode));
        const struct {
            const char *line, *lock;
            int escape; // the answer to "Está seguro...", 0: the lock is free
            const char *lockAfter, *status;
        } rows[] = {{"TK-00012342+692514", "*", 0, "*", "F"},
                    {"TK-00012344+692514", "3", QMessageBox::No, "*", "F"},
                    {"TK-0001234A+692514", "0", QMessageBox::Yes, "0", "I"}};
        for (const auto& r : rows) {
            writeBytes(product("Ocupado"), r.lock);
            if (r.escape) Dialogs::preAnswer(QMessageBox::StandardButton(r.escape));
            QTimer::singleShot(0, [&] {
                if (!r.escape) return;
                play(QApplication::activeModalWidget(),
                     "Terminal=Ocupado por el terminal " + QString(r.lock) + "|^\x1b|'Está seg");
                if (r.escape == QMessageBox::No) writeBytes(product("Ocupado"), "*");
            });
            QVERIFY(vl::ui::runClosingCall(paths(), r.line, exitCode));
            QCOMPARE(exitCode, 0);
            QCOMPARE(readBytes(product("Ocupado")), r.lockAfter);
            QCOMPARE(readBytes(product("final" + vl::parseCommandLine(r.line).terminalDigit)),
                     r.status);
        }
        // Another program holding Ocupado.lck is named as such, never as a terminal, and waited
        // for only as long as the launcher would (here not at all): told, logged, answers kept.
        writeBytes(product("Ocupado"), "*");
        writeBytes(product("referencias/00012345.ref"), std::string(365 * 50, ' '));
        QProcess holder;
        holder.start("python3", {"-c", "import fcntl,sys\nf=open(sys.argv[1],'a+')\n"
                                       "fcntl.lockf(f,fcntl.LOCK_EX,1,0)\nprint('held',flush=True)\n"
                                       "sys.stdin.read()",
                                 QString::fromStdString(product("Ocupado.lck").string())});
        QVERIFY(holder.waitForReadyRead(10000));
        const auto limit = std::exchange(vl::ui::OKUP::inUseLimit, std::chrono::milliseconds(0));
        Dialogs::preAnswer(QMessageBox::Ok);
        vl::runlog::open(paths(), "5");
        QVERIFY(vl::ui::runClosingCall(paths(), "TK-00012345+692514", exitCode));
        vl::runlog::close();
        vl::ui::OKUP::inUseLimit = limit;
        holder.closeWriteChannel();
        holder.waitForFinished();
        QCOMPARE(exitCode, 1);
        const std::string log = vl::fromCp1252(readBytes(product("registro5.log")));
        QVERIFY2(log.find("Ocupado.lck lo está usando otro programa") != std::string::npos,
                 log.c_str());
        QVERIFY(log.find("Ocupado por el terminal") == std::string::npos);
        QVERIFY(fs::exists(product("referencias/00012345.ref")));
    }

    // Each outcome of a send reaches its page or message (each page differs from the one before
    // it, so the check waits for the new one). No verdict: the pharmacist says, and "Enviado"
    // removes what went out, not a later line.
    void sendOutcomesReachTheirPageOrMessage() {
        vl::ui::installPageAssets(paths());
        ServiceDouble service;
        qputenv("VELANTIA_CA_BUNDLE", QByteArray::fromStdString(service.caPath().string()));
        auto w = start(QStringLiteral("-00012340+692514"));
        const std::string line = "1\t692514\t28001234\t20261206\t101\r\n",
                          later = "2\t683907\t28001234\t20261206\t101\r\n";
        const struct {
            const char *mode, *lock, *script, *outbox = nullptr; // mode "": nobody listens
        } rows[] = {
            {"refuse", "*", "Wb=vl-error/index.html|'ERROR=12\n\nLas respuestas siguen"},
            {"ok", "*", "Wb=vl-exito/index.html"},
            {"", "*", "Wb=vl-error/index.html|'No se puede conectar con el servidor.\n"},
            {"ok", "3",
             "'OCUPADO POR EL TERMINAL 3\n\nIntente enviar la información de nuevo\no revise el "
             "terminal 3"},
            {"ok", "*", "'No hay respuestas pendientes de enviar.", "123456789"},
            {"ok", "/", "'No se puede escribir en el fichero de bloqueo "}, // Ocupado a folder
            {"noverdict", "*", "WB3=vl-manual/index.html|+Frame5"},
        };
        for (const auto& r : rows) {
            writeBytes(product("Respuesta.tsv"), r.outbox ? r.outbox : vl::OutboxHeader + line);
            fs::remove_all(product("Ocupado"));
            if (*r.lock == '/') fs::create_directory(product("Ocupado"));
            writeBytes(product("Ocupado"), r.lock);
            const std::string url = *r.mode ? service.url() : ServiceDouble::refusedUrl();
            qputenv("VELANTIA_SERVICE_URL", QByteArray::fromStdString(url));
            service.setMode(*r.mode ? r.mode : "ok");
            play(w.get(), QStringLiteral(">Label5_1|") + r.script);
        }
        QVERIFY(fs::exists(product("htm/enviar.html"))); // kept for a send by hand
        // A click and the accessibility Toggle action do the same.
        for (const bool click : {true, false}) {
            if (!click) {
                writeBytes(product("Respuesta.tsv"), vl::OutboxHeader + line);
                play(w.get(), ">Label5_1|+Frame5");
            }
            writeBytes(product("Respuesta.tsv"), vl::OutboxHeader + line + later);
            QAccessibleInterface* box =
                QAccessible::queryAccessibleInterface(control(w.get(), "Check2"));
            click ? play(w.get(), ">Check2")
                  : box->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
            play(w.get(), "~Frame5");
            QCOMPARE(readBytes(product("Respuesta.tsv")), vl::OutboxHeader + later);
        }
        qunsetenv("VELANTIA_SERVICE_URL");
        qunsetenv("VELANTIA_CA_BUNDLE");
    }

    // Completed: the last conversion names its file, the transfer's phase is gone, and the window
    // closes itself; failed: the messages show and it closes. Cancelled at once, the end still
    // shows, and a box still open keeps the window for its OK.
    void updateEndsAndClosesItself() {
        ServiceDouble service({.zips = fs::path(VELANTIA_SOURCE_DIR) / "demo/service"});
        for (const std::string& url : {service.url(), ServiceDouble::refusedUrl(), std::string()}) {
            TempDir dir;
            vl::Config cfg;
            vl::DataFiles files{vl::Paths(dir.path())};
            Actualizar dlg(vl::Paths(dir.path()), cfg, files, {url, {2, service.caPath()}});
            Dialogs::reset();
            QSignalSpy finished(&dlg, &Actualizar::runFinished);
            QPointer<QMessageBox> box; // owned by the window
            dlg.show();
            if (url.empty()) {
                dlg.Label23_Click();
                (box = new QMessageBox(&dlg))->open();
            }
            QVERIFY(finished.wait(30000));
            if (url == ServiceDouble::refusedUrl()) {
                QCOMPARE(dlg.outcome(), vl::UpdateEnd::Failed);
                QVERIFY(!dlg.isVisible() &&
                        Dialogs::shownTexts().size() == 2); // texts: the logic's
                continue;
            }
            QCOMPARE(dlg.outcome(), vl::UpdateEnd::Completed);
            play(&dlg, QString("Label13=Actualización completada|") +
                           (url.empty() ? "+Frame8" : "Label14_0=precios.xml|Label14_2="));
            if (url.empty()) {
                QSignalSpy tick(dlg.findChild<QTimer*>(QStringLiteral("Timer2")), &QTimer::timeout);
                QVERIFY(tick.wait(5000) && dlg.isVisible());
                box->accept();
            }
            QTRY_VERIFY_WITH_TIMEOUT(!dlg.isVisible(), 5000);
        }
    }

    // While a request waits, at the usual and a larger font: the window laid out with the
    // longest state; Enter, Return and Space, on the window or on «Cerrar», cancel nothing;
    // Escape asks first; clicks on «Cerrar» cancel with one box.
    void updateWindowLaidOutAndKeysDoNotCancel() {
        ServiceDouble service;
        service.setMode("delay", "12", 60);
        for (const int tenths : {10, 15}) {
            QFont font = font_;
            font.setPointSizeF(font_.pointSizeF() * tenths / 10);
            QApplication::setFont(font);
            TempDir dir;
            vl::Config cfg;
            vl::DataFiles files{vl::Paths(dir.path())};
            Actualizar dlg(vl::Paths(dir.path()), cfg, files,
                           {service.url(), {10, service.caPath()}});
            Dialogs::reset();
            QSignalSpy finished(&dlg, &Actualizar::runFinished);
            dlg.show();
            play(&dlg, "Label14_2=Buscando información|+Label23");
            control<QLabel>(&dlg, "Label14_0")->setText(QString::fromStdString(vl::estadoInet(12)));
            QApplication::processEvents();
            int lowest = 0;
            expectControlsLaidOut(&dlg, lowest);
            QWidget* cerrar = control(&dlg, "Label23");
            for (QWidget* to : {static_cast<QWidget*>(&dlg), cerrar})
                for (const auto key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Space})
                    QTest::keyClick(to, key);
            Dialogs::preAnswer(QMessageBox::No);
            QTest::keyClick(&dlg, Qt::Key_Escape);
            play(&dlg, "'¿Desea cancelar|Label23=Cerrar|>Label23|>Label23|Label23=Espere");
            QCOMPARE(Dialogs::shownTexts().filter("CANCELADA").size(), 1);
            QVERIFY(finished.wait(30000));
        }
    }

    // A script inside a page (an item text may carry markup from the service) never runs in the
    // embedded browser, while the page shows: the script or the image's handler would change the
    // title. Also run on its own as ui_test_pageview_hostile.
    void scriptsInAPageDoNotRun() {
        const auto page = dir_->write(
            "Informa.htm", "<html><head><title>original</title></head><body><script>document.title="
                           "'ejecutado';</script><p>Aviso</p><img src=x onerror=\"document.title="
                           "'onerror'\"></body></html>");
        vl::ui::PageView view;
        QSignalSpy loaded(&view, &vl::ui::PageView::loadFinished);
        view.navigate(QUrl::fromLocalFile(QString::fromStdString(page.string())).toString());
        QVERIFY(loaded.wait(15000) && loaded.first().first().toBool());
        QCOMPARE(view.title(), QStringLiteral("original"));
    }

    // The text view (no browser engine) shows the page's alert items one under another with
    // their images, as the browser lays them out, and sends the upload page's form as the
    // browser would: every field, the chosen file, the service's answer shown at its address.
    void textViewStacksItemsAndSendsTheForm() {
#ifndef VELANTIA_TEXT_PAGES
        QSKIP("the browser lays out and sends pages itself");
#else
        fs::create_directories(product("htm"));
        vl::ui::installPageAssets(paths());
        auto w = start(Demo);
        auto* view = w->browser();
        QList<int> tops;
        for (QTextBlock b = view->document()->begin(); b.isValid(); b = b.next())
            for (auto f = b.begin(); !f.atEnd(); ++f)
                if (const QString name = f.fragment().charFormat().toImageFormat().name();
                    QRegularExpression("(Red|Yelow|Green)\\.jpg$").match(name).hasMatch()) {
                    const QUrl url = view->document()->baseUrl().resolved(QUrl(name));
                    QVERIFY2(!view->document()->resource(QTextDocument::ImageResource, url).isNull(),
                             qPrintable(url.toString()));
                    QTextCursor c(view->document());
                    c.setPosition(f.fragment().position());
                    tops << view->cursorRect(c).top();
                }
        QCOMPARE(tops.size(), 3);
        QVERIFY2(tops[0] < tops[1] && tops[1] < tops[2], qPrintable(QString::number(tops[1])));

        ServiceDouble service;
        qputenv("VELANTIA_CA_BUNDLE", QByteArray::fromStdString(service.caPath().string()));
        vl::Config cfg;
        cfg.n_farmacia = "28001234";
        cfg.clave = "a&b";
        QVERIFY(vl::writeUploadPage(paths(), cfg, service.url()));
        const fs::path file = dir_->write("Respuesta.tsv", "1\t692514\r\n");
        QSignalSpy loaded(view, &vl::ui::PageView::loadFinished);
        view->showFile(product("Htm\\enviar.html"));
        QVERIFY(loaded.wait(5000));
        control<QLineEdit>(view, "fichero2")->setText(QString::fromStdString(file.string()));
        QTest::mouseClick(control(view, "enviarFormulario"), Qt::LeftButton);
        QVERIFY(loaded.wait(20000));
        QCOMPARE(view->locationUrl(), QString::fromStdString(service.url()));
        QString text;
        view->pageText([&](const QString& t) { text = t; });
        QVERIFY2(text.contains("ERROR=0"), qPrintable(text));
        const auto up = service.recordedUploads();
        QCOMPARE(up.size(), size_t(1));
        QStringList sent;
        for (const auto& part : up[0].parts)
            sent << QString::fromStdString(part.name + "=" + part.value);
        QCOMPARE(sent.join(u'|'), QStringLiteral("n_farmacia=28001234|fichero=respuesta|"
                                                 "tipo_fichero=1|fecha_ultima=20061105|"
                                                 "codigo_empresa=%1|clave=a&b|fichero2=1\t692514\r\n")
                                      .arg(QString::fromStdString(cfg.codigo_empresa)));
        qunsetenv("VELANTIA_CA_BUNDLE");
#endif
    }

    // The engine's start-up report stays out of stderr; the user's Chromium flags stay. A timed
    // start whose codes are all empty has no page to wait for, and still ends.
    void browserEngineChatterStaysOut() {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("VELANTIA_ROOT", QString::fromStdString(paths().root().string()));
        env.insert("VELANTIA_SCREENSHOT",
                   QString::fromStdString((dir_->path() / "v.png").string()));
        p.setProcessEnvironment(env);
        p.start(VELANTIA_VENTANAS, {"-00012340+692514"});
        QVERIFY(p.waitForFinished(60000) && p.exitCode() == 0);
        const QString err = QString::fromUtf8(p.readAllStandardError());
        QVERIFY2(!err.contains("Init Parameters") && !err.contains("webenginecontext"),
                 qPrintable(err));
        env.remove("VELANTIA_SCREENSHOT");
        env.insert("VELANTIA_MEDIR_ARRANQUE", "1");
        p.setProcessEnvironment(env);
        p.start(VELANTIA_VENTANAS, {"-00012340+++"});
        QVERIFY(p.waitForFinished(60000) && p.exitCode() == 0);
        QVERIFY(p.readAllStandardOutput().contains("primera_pagina"));
        const QByteArray flags = qgetenv("QTWEBENGINE_CHROMIUM_FLAGS"); // as this test was started
        QVERIFY(flags.contains("--no-sandbox") && flags.contains("--log-level=2"));
    }

    // The window a call handed to the window process opens, once active (its shortcuts work
    // only then, and a loaded machine activates it a while after it shows); null when none shows.
    static Velantia* servedWindow() {
        for (int i = 0; i < 300; ++i, QTest::qWait(50))
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* v = qobject_cast<Velantia*>(w);
                    v && v->isVisible() && v->deferredStartDone() && v->isActiveWindow())
                    return v;
        return nullptr;
    }

    // The window process, here in the test: each dispensing handed to it shows its own page,
    // count and answers, nothing of the one before; the launcher hears the fresh start's code.
    // Calls it cannot take (busy, another version, nobody there) and a hang are told apart.
    void windowProcessServesEachDispensingAsItsOwn() {
        using Outcome = vl::handoff::Outcome;
        using namespace std::chrono_literals;
        vl::ui::WindowServer server(paths());
        QSignalSpy ready(&server, &vl::ui::WindowServer::ready);
        server.start();
        QVERIFY(ready.wait(30000));
        {   // a second one for the same folder steps aside, leaving the address to the first
            vl::ui::WindowServer second(paths());
            QSignalSpy refused(&second, &vl::ui::WindowServer::notNeeded);
            second.start();
            QVERIFY(refused.wait(5000));
        }
        const std::string address = vl::windowServerAddress(paths().root());
        const std::string self = vl::handoff::programIdentity(
            fs::path(QCoreApplication::applicationFilePath().toStdString()));
        // Asked from this thread, the server cannot answer: it is silent, as a hung one is.
        QCOMPARE(int(vl::handoff::probe(address, self, 200ms).kind),
                 int(vl::handoff::Probe::Silent));
        QCOMPARE(int(vl::handoff::probe(address + "-nadie", self).kind),
                 int(vl::handoff::Probe::Nobody));
        QCOMPARE(vl::lockFileHolder(vl::windowServerPlace(paths().root()).lock),
                 vl::currentProcessId());
        const auto call = [&](std::string line, std::string identity = {},
                              std::chrono::milliseconds silent = vl::handoff::SilentLimit) {
            return std::async(std::launch::async, [=] {
                return vl::handoff::serve(address, identity.empty() ? self : identity,
                                          {line, {}, {}}, {}, vl::handoff::AnswerWithin, silent);
            });
        };
        const auto outcome = [](std::future<Outcome>& f) {
            for (int i = 0; i < 400 && f.wait_for(0s) != std::future_status::ready; ++i)
                QTest::qWait(50);
            return f.wait_for(0s) == std::future_status::ready ? f.get() : Outcome{};
        };
        const std::string demoSurvey = readBytes(product("datos/Encuesta.txt"));
        const struct {
            const char *line, *code, *script;
            std::string survey; // written before the call, as an update would
        } calls[] = {
            {"-00012340+692514+683907", "692514",
             "Label6=00012340|Label2=Medicamento 1/2|+Pgrabar|!Kborrar|RESP_2@0|>Kgrabar|"
             "!Pgrabar|+Kborrar|^+|Label2=Medicamento 2/2", {}},
            // Same terminal, other codes: none of the first one's count, answers or position.
            // An update changed the survey while the next window waited, built ahead.
            {"-00012540+725631", "725631",
             "Label6=00012540|Label2=Medicamento 1/1|+Pgrabar|!Kborrar|!Command2_0|!Command2_1|"
             "*RESP_2|TIT_2=\u00BFSabe para qu\u00E9 es? 1",
             survey(1, 1)},
            // The first again: its answers come back from its file.
            {"-00012340+692514+683907", "692514", "Label2=Medicamento 1/2|!Pgrabar|+Kborrar",
             demoSurvey},
        };
        for (const auto& c : calls) {
            if (!c.survey.empty()) {
                // The next window is built once the last one has ended.
                QTRY_VERIFY(std::ranges::any_of(QApplication::topLevelWidgets(), [](QWidget* w) {
                    auto* v = qobject_cast<Velantia*>(w);
                    return v && v->isHidden() && !v->deferredStartDone();
                }));
                writeBytes(product("datos/Encuesta.txt"), c.survey);
            }
            auto served = call(c.line);
            Velantia* w = servedWindow();
            QVERIFY2(w, c.line);
            QVERIFY(readBytes(product("htm0/Informa.htm")).find(c.code) != std::string::npos);
            // Its page may have served the window before: nothing of that one, nor the blank
            // page it waited on, to go back to.
#ifdef VELANTIA_TEXT_PAGES
            QTRY_VERIFY(w->browser()->url().isLocalFile() && !w->browser()->isBackwardAvailable());
#else
            const QWebEngineHistory* pages = w->browser()->history();
            QTRY_VERIFY(pages->currentItem().url().isLocalFile() && pages->count() == 1);
#endif
            QCOMPARE(readBytes(product("final0")), "I");
            play(w, c.script);
            if (c.line == calls[1].line) { // two calls at once: the second starts afresh
                auto second = call("-00012341+692514");
                QVERIFY(outcome(second).why.find("otra dispensación") != std::string::npos);
            }
            QTest::keyClick(w, Qt::Key_Escape);
            const Outcome o = outcome(served);
            QCOMPARE(int(o.kind), int(Outcome::Served));
            QCOMPARE(o.exitCode, 0);
            QCOMPARE(readBytes(product("final0")), "F");
        }
        QVERIFY(vl::runlog::readLog(product("registro0.log"))
                    .find("Inicio: velantia-ventanas (ventana preparada) -00012540+725631") !=
                std::string::npos);
        auto other = call("-00012340+692514", "otra");
        QVERIFY(outcome(other).why.find("otra versión") != std::string::npos);
        QVERIFY(vl::handoff::serve(address + "-nadie", self, {"-00012340+692514", {}, {}}).why ==
                "no hay ventana preparada");

        // A launcher that goes away while its window shows a message: the message is dismissed
        // and the window finishes, nothing of it left open for the next dispensing.
        {
            auto channel = vl::LocalChannel::connect(address, 2000ms);
            QVERIFY(channel);
            // Sent from another thread: a pipe with no buffer takes it only as this one reads.
            auto f = std::async(std::launch::async, [&] {
                std::string line;
                return channel->send(vl::handoff::helloLine(self) +
                                     vl::handoff::encode({calls[0].line, {}, {}})) &&
                       channel->readLine(line, 5000ms) == vl::LocalChannel::Read::Line &&
                       line.starts_with("ACEPTADO") && channel->send("ADELANTE\n");
            });
            for (int i = 0; i < 100 && f.wait_for(0s) != std::future_status::ready; ++i)
                QTest::qWait(50);
            QVERIFY(f.get());
            Velantia* w = servedWindow();
            QVERIFY(w);
            bool shown = false, leftOpen = false;
            QTimer::singleShot(0, w, [&] {
                QMessageBox box(QMessageBox::Warning, "Velantia", "abierto", QMessageBox::Ok, w);
                QPointer<QMessageBox> open(&box);
                QTimer::singleShot(300, [&] {
                    shown = box.isVisible();
                    channel.reset();
                });
                QTimer::singleShot(10000, [&leftOpen, open] {
                    if (open) leftOpen = true, open->reject();
                });
                box.exec();
            });
            QTRY_VERIFY_WITH_TIMEOUT(!server.serving(), 15000);
            QVERIFY(shown && !leftOpen);
            QCOMPARE(readBytes(product("final0")), "F");
        }

        // A window process that stops answering: the launcher gives up, and once it is gone the
        // window finishes as Escape would.
        auto hung = call(calls[0].line, {}, 1500ms);
        QVERIFY(servedWindow());
        hung.wait(); // no events: no heartbeat
        const Outcome h = hung.get();
        QCOMPARE(int(h.kind), int(Outcome::Hung));
        QCOMPARE(h.pid, vl::currentProcessId());
        QTRY_VERIFY(!server.serving());
        QCOMPARE(readBytes(product("final0")), "F");
    }

    // Through the launcher program: a dispensing handed over the local channel to the window
    // process (here, in the test, as the window program beside the launcher), its answers
    // recorded there, and the launcher's closing call moving them into the outbox.
    void launcherDispensingEndToEnd() {
        const fs::path bin = dir_->path() / "programa", self =
            QCoreApplication::applicationFilePath().toStdU16String();
        const fs::path launcher = bin / fs::path(VELANTIA_LAUNCHER).filename(),
                       windows = bin / fs::path(VELANTIA_VENTANAS).filename();
        fs::create_directories(bin);
        fs::copy_file(VELANTIA_LAUNCHER, launcher);
        fs::copy_file(self, windows); // the same size and time: the same program to the launcher
        fs::last_write_time(windows, fs::last_write_time(self));
        vl::ui::WindowServer server(paths());
        QSignalSpy ready(&server, &vl::ui::WindowServer::ready);
        server.start();
        QVERIFY(ready.wait(30000));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("VELANTIA_ROOT", QString::fromStdString(paths().root().string()));
        env.insert("VELANTIA_MENSAJES", QString::fromStdString((dir_->path() / "m.txt").string()));
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(QString::fromStdU16String(launcher.u16string()), {Demo});
        Velantia* w = servedWindow();
        QVERIFY(w);
        play(w, "Label2=Medicamento 1/2|RESP_2@0|>Kgrabar|!Pgrabar|^+|Label2=Medicamento 2/2|"
                "RESP_2@1|>Kgrabar|!Pgrabar");
        QTest::keyClick(w, Qt::Key_Escape);
        QTRY_VERIFY_WITH_TIMEOUT(p.state() == QProcess::NotRunning, 30000);
        QCOMPARE(p.exitCode(), 0);
        QCOMPARE(readBytes(product("final0")), "F");
        p.start(QString::fromStdU16String(launcher.u16string()), {"TK-00012340+692514+683907"});
        QVERIFY(p.waitForFinished(60000));
        QCOMPARE(p.exitCode(), 0);
        QVERIFY(!fs::exists(product("referencias/00012340.ref")));
        const std::string outbox = readBytes(product("Respuesta.tsv"));
        QVERIFY2(outbox.find("\t692514\t28001234\t") != std::string::npos &&
                     outbox.find("\t683907\t28001234\t") != std::string::npos,
                 outbox.c_str());
    }

    // From outside: the launcher starts the window process ahead once, hands it a dispensing,
    // ends with an error and a log line when it dies mid-dispensing, and starts afresh once it
    // has gone (here: its program file was replaced).
    void launcherStartsAheadAndFallsBack() {
        using namespace std::chrono_literals;
        const fs::path bin = dir_->path() / "programa";
        fs::create_directories(bin);
        for (const char* f : {VELANTIA_LAUNCHER, VELANTIA_VENTANAS})
            fs::copy_file(f, bin / fs::path(f).filename());
        const fs::path windows = bin / fs::path(VELANTIA_VENTANAS).filename();
        const auto log = [&] { return vl::runlog::readLog(product("registro0.log")); };
        const auto launch = [&](const QString& line, const QString& shot = {}) {
            auto p = std::make_unique<QProcess>();
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("VELANTIA_ROOT", QString::fromStdString(paths().root().string()));
            env.insert("VELANTIA_MENSAJES", QString::fromStdString((dir_->path() / "m.txt").string()));
            if (!shot.isEmpty()) env.insert("VELANTIA_SCREENSHOT", shot);
            env.insert("VELANTIA_PRECARGA_INACTIVIDAD", "120"); // a failed test leaves none for long
            env.insert("VELANTIA_PRECARGA_SILENCIO", "1"); // a silent one given up after 1 s
            p->setProcessEnvironment(env);
            p->start(QString::fromStdString((bin / fs::path(VELANTIA_LAUNCHER).filename()).string()),
                     {line});
            return p;
        };
        const auto ends = [](QProcess& p) {
            p.waitForFinished(90000);
            return p.exitCode();
        };
        const std::string address = vl::windowServerAddress(paths().root());
        const auto pid = [&] {
            return vl::handoff::ping(address, vl::handoff::programIdentity(windows)).value_or(0);
        };
        QCOMPARE(ends(*launch("PRECARGAR")), 0);
        const auto first = pid();
        QVERIFY(first > 0);
        QCOMPARE(ends(*launch("precargar")), 0);
        QCOMPARE(pid(), first);
        const QString shot = QString::fromStdString((dir_->path() / "c.png").string());
        auto served = launch("-00012340+692514", shot);
        QCOMPARE(ends(*served), 0);
        QVERIFY(QFileInfo::exists(shot));
        QVERIFY(served->readAllStandardError().contains("Captura guardada en"));
        QVERIFY(log().find("(ventana preparada) -00012340+692514") != std::string::npos);

        auto open = launch("-00012340+683907");
        QTRY_VERIFY_WITH_TIMEOUT(log().find("(ventana preparada) -00012340+683907") !=
                                     std::string::npos, 30000);
        vl::killProcess(first);
        QCOMPARE(ends(*open), 1);
        QVERIFY(log().find("sin acabar la dispensaci") != std::string::npos);
        QCOMPARE(readBytes(product("final0")), "F");
        QVERIFY(readBytes(dir_->path() / "m.txt").find("inesperada") != std::string::npos);

        // Its lock file stays, naming an id that now belongs to another process (this one): that
        // process holds no lock, and a new window process starts at once.
        writeBytes(vl::windowServerPlace(paths().root()).lock,
                   std::to_string(QCoreApplication::applicationPid()) + "\n");
        QCOMPARE(ends(*launch("PRECARGAR")), 0);
        auto second = pid();
        QVERIFY(second > 0 && second != first);
#ifdef Q_OS_UNIX
        // One that hangs makes way for a new one once it has been silent as long as a hung
        // dispensing may be.
        ::kill(pid_t(second), SIGSTOP);
        QCOMPARE(ends(*launch("PRECARGAR")), 0);
        QVERIFY(!vl::processAlive(second));
        const auto idleLog = [&] { return vl::runlog::readLog(product("registro.log")); };
        QVERIFY(idleLog().find(") no contesta desde hace 1 s: se cierra y se prepara otra") !=
                std::string::npos);
        second = pid();
        QVERIFY(second > 0 && second != first);
        // Ended by the system (logout, shutdown) while idle: a line in the log, and neither its
        // socket nor its lock left behind.
        const vl::WindowServerPlace place = vl::windowServerPlace(paths().root());
        ::kill(pid_t(second), SIGTERM);
        QTRY_VERIFY_WITH_TIMEOUT(!vl::processAlive(second), 10000);
        QVERIFY(idleLog().find("termina (el sistema ha pedido que termine)") != std::string::npos);
        QVERIFY(!fs::exists(place.address) && !fs::exists(place.lock));
#ifndef VELANTIA_TEXT_PAGES // a text view has no engine to load: it is ready at once
        // One stopped while it loads the engine is given up as soon, and another one started.
        auto starting = launch("PRECARGAR");
        using Probe = vl::handoff::Probe;
        Probe loading;
        const auto until = std::chrono::steady_clock::now() + 30s;
        while (loading.kind != Probe::Preparing && std::chrono::steady_clock::now() < until)
            loading = vl::handoff::probe(address, vl::handoff::programIdentity(windows), 100ms);
        QVERIFY(loading.kind == Probe::Preparing && loading.pid > 0);
        ::kill(pid_t(loading.pid), SIGSTOP);
        QCOMPARE(ends(*starting), 0);
        QVERIFY(!vl::processAlive(loading.pid));
        second = pid();
        QVERIFY(second > 0 && second != loading.pid);
#endif
#endif
#ifdef _WIN32
        // Windows changes no running program: an update renames it and puts the new one in
        // its place.
        fs::rename(windows, bin / "anterior.exe");
        fs::copy_file(bin / "anterior.exe", windows);
#endif
        fs::last_write_time(windows, fs::last_write_time(windows) + std::chrono::seconds(5));
        QTRY_VERIFY_WITH_TIMEOUT(!vl::processAlive(second), 20000);
        QCOMPARE(ends(*launch("-00012341+692514", shot)), 0);
        const std::string fresh = vl::runlog::readLog(product("registro1.log"));
        QVERIFY2(fresh.find("Arranque completo: ") != std::string::npos, fresh.c_str());
#ifdef Q_OS_UNIX
        // A window program that cannot start is told as soon as it has ended.
        writeBytes(windows, "#!/bin/sh\nexit 3\n");
        fs::permissions(windows, fs::perms::owner_all);
        QCOMPARE(ends(*launch("PRECARGAR")), 1);
        QVERIFY(readBytes(dir_->path() / "m.txt").find("al arrancar") != std::string::npos);
#endif
    }

    // Escape finishes, once an open answer list has had its own. Last: the application is told
    // to leave its loop, so no other loop runs.
    void escapeFinishes() {
        auto w = start(Demo);
        auto* list = control<QComboBox>(w.get(), "RESP_2");
        list->showPopup(); // an open list takes the first Escape, as the window system sends it
        QVERIFY(QApplication::activePopupWidget());
        QTest::keyClick(w->windowHandle(), Qt::Key_Escape);
        QVERIFY(!QApplication::activePopupWidget());
        QCOMPARE(readBytes(product("final0")), "I");
        w->activateWindow(); // the offscreen platform does not give the window back by itself
        QTRY_COMPARE(QApplication::activeWindow(), w.get());
        QTest::keyClick(w->windowHandle(), Qt::Key_Escape);
        QCOMPARE(readBytes(product("final0")), "F");
    }
};

int main(int argc, char** argv) {
    // A desktop's width, taller than any window tried, with frames: outer height is not inner.
#ifdef Q_OS_WIN
    // The platform's options are split at colons: a name without its drive, here.
    QTemporaryFile config(QStringLiteral("pantalla-XXXXXX.json"));
#else
    QTemporaryFile config;
#endif
    config.open();
    config.write(R"({"windowFrameMargins": true, "screens": [{"width": 1280, "height": 1100}]})");
    config.close();
    qputenv("QT_QPA_PLATFORM",
            "offscreen:configfile=" + QDir::current().relativeFilePath(config.fileName()).toLocal8Bit());
    vl::ui::prepareBrowserEngine();
    QApplication app(argc, argv);
    Q_INIT_RESOURCE(assets);
    WindowsTest t;
    return QTest::qExec(&t, argc, argv);
}

#include "test_windows.moc"
