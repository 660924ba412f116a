// The browser engine alone: a bare QWebEngineView loading one local page, with the same
// Chromium flags as the program. Prints the steady-clock nanoseconds (CLOCK_MONOTONIC) at which
// the page finished loading, so bench/run compares it with Velantia's own start.
//
//   velantia-webview-minimo FICHERO.htm
#include <QApplication>
#include <QUrl>
#include <QWebEngineSettings>
#include <QWebEngineView>
#include <chrono>
#include <cstdio>

#include "ui/app.h"

int main(int argc, char* argv[]) {
    vl::ui::prepareBrowserEngine();
    QApplication app(argc, argv);
    if (argc != 2) return 2;
    QWebEngineView view;
    view.settings()->setDefaultTextEncoding(QStringLiteral("windows-1252"));
    view.resize(640, 400);
    QObject::connect(&view, &QWebEngineView::loadFinished, &app, [](bool ok) {
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
        std::printf("cargada %lld %d\n", static_cast<long long>(ns), ok ? 1 : 0);
        std::fflush(stdout);
        QApplication::quit();
    });
    view.show();
    view.load(QUrl::fromLocalFile(QString::fromLocal8Bit(argv[1])));
    return app.exec();
}
