#include "ui/app.h"

#include <QApplication>
#include <QFileInfo>
#include <QTimer>
#include <QWebEngineView>

#include "ui/assets.h"
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

int runVelantia(QApplication& app, const Paths& paths, const QString& commandLine) {
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
