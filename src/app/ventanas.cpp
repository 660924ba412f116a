// velantia-ventanas: the program with its windows. The launcher velantia hands every start
// over to it except a closing call that found the lock free.
#include <QApplication>
#include <QDir>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdlib>

#include "core/cmdline.h"
#include "core/paths.h"
#include "core/runlog.h"
#include "core/text.h"
#include "core/version.h"
#include "platform/process.h"
#include "ui/app.h"
#include "ui/windowserver.h"

int main(int argc, char* argv[]) {
    // Answered without a display or the toolkit.
    if (vl::printVersionIfAsked(argc, argv, "velantia-ventanas")) return 0;
    vl::ui::markStartup("ventanas");

    // A closing move the launcher could not complete: only its message is left to show.
    if (const char* failed = std::getenv("VELANTIA_CIERRE_FALLIDO")) {
        const std::string error = failed;
        QApplication app(argc, argv);
        vl::ui::installSpanishTranslations(app);
        QStringList args = QCoreApplication::arguments();
        args.removeFirst();
        const auto run =
            vl::parseCommandLine(vl::toCp1252(args.join(QLatin1Char(' ')).toStdString()));
        const vl::Paths paths(vl::chooseDriveRoot(QCoreApplication::applicationDirPath().toStdString()));
        // The launcher noted the start: this run only shows its message.
        vl::runlog::open(paths, run.terminalDigit);
        const int exitCode = vl::ui::reportClosingFailure(paths, error, run.terminalDigit);
        vl::runlog::end(exitCode);
        return exitCode;
    }

    vl::ui::prepareBrowserEngine();
    QApplication app(argc, argv);
    vl::ui::installSpanishTranslations(app);
    vl::ui::markStartup("aplicacion");
    Q_INIT_RESOURCE(assets);

    // The pharmacy-management program passes one line; rebuild it from the arguments.
    QStringList args = QCoreApplication::arguments();
    args.removeFirst();
    const QString commandLine = args.join(QLatin1Char(' '));

    const vl::Paths paths(vl::chooseDriveRoot(QCoreApplication::applicationDirPath().toStdString()));
    if (commandLine.compare(QStringLiteral("PRECARGAR"), Qt::CaseInsensitive) == 0) {
        // Started ahead: stays hidden and serves the dispensings its launchers hand it.
        vl::runlog::start(paths, "", "velantia-ventanas PRECARGAR");
        QApplication::setQuitOnLastWindowClosed(false);
        vl::ui::WindowServer server(paths);
        int code = 0;
        QObject::connect(&server, &vl::ui::WindowServer::failed, &app, [&code](const QString& why) {
            vl::runlog::log("Ventana preparada: no se puede preparar (" + why.toStdString() + ")");
            code = 1;
            QCoreApplication::exit(1);
        });
        QObject::connect(&server, &vl::ui::WindowServer::notNeeded, &app, [] {
            vl::runlog::log("Ventana preparada: ya hay otra para esta carpeta; esta termina");
            QCoreApplication::exit(0);
        });
        // Logout and shutdown ask it to end: it ends in order, its socket and lock removed.
        if (const int requests = vl::terminationRequests(); requests >= 0) {
            auto* notifier = new QSocketNotifier(requests, QSocketNotifier::Read, &app);
            QObject::connect(notifier, &QSocketNotifier::activated, &server, [&server, notifier] {
                notifier->setEnabled(false);
                server.endOnRequest();
            });
        }
        server.start();
        const int rc = app.exec();
        return vl::runlog::end(code ? code : rc);
    }
    const vl::RunState parsed = vl::parseCommandLine(vl::toCp1252(commandLine.toStdString()));
    vl::runlog::start(paths, parsed.terminalDigit,
                      "velantia-ventanas " + commandLine.toStdString());
    // Only an update run reports a failed update in its exit code: a dispensing's code is what
    // the pharmacy-management program reads, and an update tried from its window does not change
    // it.
    return vl::runlog::end(vl::ui::runVelantia(app, paths, commandLine),
                           parsed.PendingAction == "ACTUALIZAR");
}
