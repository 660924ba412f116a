#include "ui/app.h"

#include <QApplication>
#include <QDialog>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QLoggingCategory>
#include <QTranslator>
#include <QScreen>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <utility>

#include "core/runlog.h"
#include "core/text.h"
#include "outbox/closingcall.h"
#include "outbox/lock.h"
#include "outbox/outbox.h"
#include "ui/assets.h"
#include "ui/dialogs.h"
#include "ui/okup.h"
#include "ui/mainwindow.h"
#include "ui/pageview.h"

// Resources are initialised outside any namespace.
static void initTranslationResources() {
#ifdef _WIN32
    Q_INIT_RESOURCE(translations);
#endif
}

namespace vl::ui {

void prepareBrowserEngine() {
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    // The engine draws without the GPU (below), so its frames only need copying to the
    // window: Qt Quick's software renderer does that without building a GL context and
    // compiling its shaders for each window, which on a terminal without a graphics driver
    // took a good part of each first page. QT_QUICK_BACKEND set outside wins.
    if (!qEnvironmentVariableIsSet("QT_QUICK_BACKEND")) qputenv("QT_QUICK_BACKEND", "software");
    // The browser's own words (a file field's button, its "no file" note) follow the default
    // locale and its language flag, whatever the system's language.
    QLocale::setDefault(QLocale(QLocale::Spanish, QLocale::Spain));
    // The engine's start-up report (its context, GL type, init parameters) tells a pharmacist
    // nothing; its warnings and errors still reach stderr. The user's QT_LOGGING_RULES win.
    if (!qEnvironmentVariableIsSet("QT_LOGGING_RULES"))
        QLoggingCategory::setFilterRules(QStringLiteral("qt.webenginecontext.debug=false\n"
                                                        "qt.webenginecontext.info=false"));
    QByteArray flags = qgetenv("QTWEBENGINE_CHROMIUM_FLAGS");
    // Local pages only: no background traffic, no GPU needed on a counter terminal.
    for (const char* f : {"--disable-background-networking", "--disable-component-update",
                          "--disable-gpu", "--no-first-run", "--lang=es"})
        if (!flags.contains(f)) flags += QByteArray(" ") + f;
    // Chromium's own notes and warnings stay out too, its errors in, unless told otherwise.
    if (!flags.contains("--log-level")) flags += " --log-level=2";
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", flags.trimmed());
}

bool installSpanishTranslations(QApplication& app) {
    auto* qt = new QTranslator(&app);
    initTranslationResources();
    // Installed with Qt, beside the program where Qt is deployed with it, or inside it (Windows).
    for (const QString& dir : {QLibraryInfo::path(QLibraryInfo::TranslationsPath),
                               QCoreApplication::applicationDirPath() + QStringLiteral("/translations"),
                               QStringLiteral(":/translations")})
        if (qt->load(QLocale(QLocale::Spanish, QLocale::Spain), QStringLiteral("qtbase"),
                     QStringLiteral("_"), dir))
            return QCoreApplication::installTranslator(qt);
    delete qt;
    return false;
}

namespace {
std::function<void(const char*, long long)> markSink;
}

void setStartupMarkSink(std::function<void(const char*, long long)> sink) {
    markSink = std::move(sink);
}

void markStartup(const char* name) {
    // Read at each mark: a window process takes each call's setting for that call.
    if (!qEnvironmentVariableIsSet("VELANTIA_MEDIR_ARRANQUE")) return;
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    if (markSink) {
        markSink(name, static_cast<long long>(ns.count()));
        return;
    }
    std::printf("%s %lld\n", name, static_cast<long long>(ns.count()));
    std::fflush(stdout);
}

namespace {

int screenHeightPx() {
    const QScreen* s = QGuiApplication::primaryScreen();
    return s ? s->geometry().height() : 768;
}

} // namespace

int reportClosingFailure(const Paths& paths, const std::string& error,
                         const std::string& terminalDigit) {
    Dialogs::message(nullptr, QString::fromStdString(fromCp1252(error)), QStringLiteral("Velantia"),
                     QMessageBox::Ok, QMessageBox::Critical);
    finish(paths, terminalDigit);
    return 1;
}

bool runClosingCall(const Paths& paths, const QString& commandLine, int& exitCode) {
    ClosingOutcome o =
        closingCallWithoutWindows(paths, toCp1252(commandLine.toStdString()), screenHeightPx());
    exitCode = 0;
    switch (o.kind) {
    case ClosingOutcome::NoMove:
        return false;
    case ClosingOutcome::Done:
        return true;
    case ClosingOutcome::Failed:
        exitCode = reportClosingFailure(paths, o.error, o.st.run.terminalDigit);
        return true;
    case ClosingOutcome::Busy:
        break;
    }
    // Another terminal is writing the outbox or sending: wait for it, then move ours.
    // The answers are loaded first, or the move would find nothing to write.
    const std::string digit = o.st.run.terminalDigit;
    SurveySession session;
    OKUP busy(paths, digit, [&] {
        const StartupSyncResult r = completeStartupSync(paths, o.st.run, o.st.cfg, session);
        if (!r.closing.error.empty()) {
            // The answers stay on this terminal: the caller must not read it as done.
            exitCode = 1;
            Dialogs::message(nullptr, QString::fromStdString(fromCp1252(r.closing.error)),
                             QStringLiteral("Velantia"), QMessageBox::Ok, QMessageBox::Critical);
        }
    });
    // Escape and "Sí": the program ends as it stands; the lock may be a sending terminal's.
    if (busy.exec() != QDialog::Accepted) {
        if (busy.failed()) {
            finish(paths, digit);
            exitCode = 1;
            return true;
        }
        runlog::log("Cierre sin grabar: se terminó sin esperar a que se liberase Ocupado; las "
                    "respuestas siguen en este terminal");
        return true;
    }
    finish(paths, digit);
    return true;
}

namespace {

// Runs `then` once, when the window's first page has loaded, or at the end of the deferred start
// when it has no page to load.
void onFirstPage(Velantia& window, std::function<void()> then) {
    auto once = std::make_shared<std::function<void()>>(std::move(then));
    const auto run = [once] {
        if (*once) std::exchange(*once, nullptr)();
    };
    QObject::connect(window.browser(), &PageView::loadFinished, &window,
                     [run](bool) { run(); }, Qt::SingleShotConnection);
    QObject::connect(&window, &Velantia::deferredStartFinished, &window,
                     [&window, run] {
                         if (!window.browser()->loadRequested()) run();
                     },
                     Qt::SingleShotConnection);
}

} // namespace

void screenshotWhenShown(QDialog& dialog, bool close) {
    const QString shot = qEnvironmentVariable("VELANTIA_SCREENSHOT");
    if (shot.isEmpty()) return;
    // Started before exec() shows it, as the page's picture waits for it to paint.
    QTimer::singleShot(700, &dialog, [&dialog, shot, close] {
        if (dialog.grab().save(shot))
            qInfo("%s", qPrintable(QStringLiteral("Captura guardada en %1")
                                       .arg(QFileInfo(shot).absoluteFilePath())));
        if (close) dialog.reject();
    });
}

void watchFirstPage(Velantia& window, const std::function<void(const QString&)>& say) {
    // VELANTIA_SCREENSHOT=<file>: a picture of the window once the first page has loaded, then
    // the run ends (runs without a display use it). A run for another window pictures that one.
    const QString shot = qEnvironmentVariable("VELANTIA_SCREENSHOT");
    if (!shot.isEmpty() && !window.runsCommandWindow()) {
        onFirstPage(window, [&window, shot, say] {
            // Give the page a moment to paint before grabbing it.
            QTimer::singleShot(700, &window, [&window, shot, say] {
                if (window.grab().save(shot))
                    say(QStringLiteral("Captura guardada en %1")
                            .arg(QFileInfo(shot).absoluteFilePath()));
                // A screenshot run ends by itself, as Escape would end it.
                window.close();
            });
        });
    }
    if (qEnvironmentVariableIsSet("VELANTIA_MEDIR_ARRANQUE")) {
        // A timed start ends once the first page has loaded, as Escape would end it.
        QObject::connect(&window, &Velantia::deferredStartFinished, &window,
                         [] { markStartup("paso_diferido"); });
        onFirstPage(window, [&window] {
            markStartup("primera_pagina");
            window.close();
        });
    }
}

int runVelantia(QApplication& app, const Paths& paths, const QString& commandLine) {
    // A closing call never shows the main window and makes no browser.
    if (parseCommandLine(toCp1252(commandLine.toStdString())).closingCall) {
        int exitCode = 0;
        if (runClosingCall(paths, commandLine, exitCode)) return exitCode;
    }
    Velantia window(paths, commandLine);
    if (window.startFailed()) return 1;
    markStartup("ventana");
    // Start-up has made the htm folder; the first page loads after the deferred start.
    installPageAssets(paths);
    watchFirstPage(window, [](const QString& text) { qInfo("%s", qPrintable(text)); });
    QObject::connect(&window, &Velantia::ended, &app, [](int code) { QCoreApplication::exit(code); });
    return app.exec();
}

} // namespace vl::ui
