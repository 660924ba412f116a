#include "ui/app.h"

#include <QApplication>
#include <QFileInfo>
#include <QScreen>
#include <QTimer>
#include <QWebEngineView>

#include "core/text.h"
#include "outbox/lock.h"
#include "outbox/outbox.h"
#include "ui/assets.h"
#include "ui/dialogs.h"
#include "ui/okup.h"
#include "ui/mainwindow.h"
#include "ui/pageview.h"

namespace vl::ui {

void prepareBrowserEngine() {
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QByteArray flags = qgetenv("QTWEBENGINE_CHROMIUM_FLAGS");
    // Local pages only: no background traffic, no GPU needed on a counter terminal.
    for (const char* f : {"--disable-background-networking", "--disable-component-update",
                          "--disable-gpu", "--no-first-run"})
        if (!flags.contains(f)) flags += QByteArray(" ") + f;
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", flags.trimmed());
}

namespace {

int screenHeightPx() {
    const QScreen* s = QGuiApplication::primaryScreen();
    return s ? s->geometry().height() : 768;
}

void reportClosingFailure(const StartupSyncResult& r) {
    if (r.closingMoveRan && !r.closing.ok)
        Dialogs::message(nullptr, QString::fromStdString(fromCp1252(r.closing.error)),
                         QStringLiteral("Velantia"), QMessageBox::Ok, QMessageBox::Critical);
}

} // namespace

bool runClosingCall(const Paths& paths, const QString& commandLine, int& exitCode) {
    StartupState st = prepareStartup(paths, toCp1252(commandLine.toStdString()), screenHeightPx());
    if (!st.statusWritten) return false; // the window reports the missing folder
    const std::string digit = st.run.terminalDigit;
    SurveySession session;
    exitCode = 0;

    const LockAttempt attempt = tryAcquireForClosing(paths, digit);
    if (!attempt.acquired) {
        // Another terminal is writing the outbox or sending: wait for it, then move ours.
        // The answers are loaded first, or the move would find nothing to write.
        OKUP busy(paths, digit, [&] { reportClosingFailure(completeStartupSync(paths, st.run, st.cfg, session)); });
        busy.exec();
        finish(paths, digit);
        return true;
    }
    const StartupSyncResult r = completeStartupSync(paths, st.run, st.cfg, session);
    if (!r.closingMoveRan) return false; // no usable reference: an ordinary start follows
    reportClosingFailure(r);
    finish(paths, digit);
    exitCode = r.closing.ok ? 0 : 1;
    return true;
}

int runVelantia(QApplication& app, const Paths& paths, const QString& commandLine) {
    // A closing call never shows the main window and makes no browser.
    if (parseCommandLine(toCp1252(commandLine.toStdString())).closingCall) {
        int exitCode = 0;
        if (runClosingCall(paths, commandLine, exitCode)) return exitCode;
    }
    Velantia window(paths, commandLine);
    if (window.startFailed()) return 1;
    // Start-up has made the htm folder; the first page loads after the deferred start.
    installPageAssets(paths);

    // VELANTIA_SCREENSHOT=<file>: a picture of the window once the first page has loaded, then
    // the program ends (runs without a display use it).
    const QString shot = qEnvironmentVariable("VELANTIA_SCREENSHOT");
    if (!shot.isEmpty()) {
        QObject::connect(window.browser(), &QWebEngineView::loadFinished, &window,
                         [&window, shot](bool) {
                             // Give the page a moment to paint before grabbing it.
                             QTimer::singleShot(700, &window, [&window, shot] {
                                 if (window.grab().save(shot))
                                     qInfo("Captura guardada en %s",
                                           qPrintable(QFileInfo(shot).absoluteFilePath()));
                                 // A screenshot run ends by itself, as Escape would end it.
                                 window.close();
                             });
                         },
                         Qt::SingleShotConnection);
    }
    return app.exec();
}

} // namespace vl::ui
