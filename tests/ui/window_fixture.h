// Shared by the main window's tests: a drive root copied from the demo data, the window started
// on it, and the pharmacist's ways of touching its controls by their names.
#pragma once

#include <QSignalSpy>
#include <QTest>
#include <filesystem>
#include <memory>

#include "support/tempdir.h"
#include "ui/mainwindow.h"
#include "ui/pageview.h"

namespace vltest {

namespace fs = std::filesystem;

// The demo's drive root under `sub` of a fresh folder.
struct DemoRoot {
    TempDir dir;
    fs::path root;
    explicit DemoRoot(const std::string& sub = "raiz") : root(dir.path() / sub) {
        fs::create_directories(root);
        fs::copy(fs::path(VELANTIA_SOURCE_DIR) / "demo/root", root, fs::copy_options::recursive);
    }
    vl::Paths paths() const { return vl::Paths(root); }
    fs::path product(const std::string& rel) const { return paths().product(rel); }
};

// A window started with `line`, after its deferred start and its first page load.
inline std::unique_ptr<vl::ui::Velantia> startWindow(const vl::Paths& paths, const QString& line) {
    auto w = std::make_unique<vl::ui::Velantia>(paths, line);
    QSignalSpy loaded(w->browser(), &QWebEngineView::loadFinished);
    QSignalSpy deferred(w.get(), &vl::ui::Velantia::deferredStartFinished);
    if (!w->deferredStartDone()) deferred.wait(10000);
    if (loaded.isEmpty()) loaded.wait(15000);
    return w;
}

template <typename T = QWidget> T* control(QWidget* w, const QString& name) {
    T* c = w->findChild<T*>(name);
    if (!c) qFatal("no control %s", qPrintable(name));
    return c;
}

// Clicks a button or link as the mouse does.
inline void click(QWidget* w, const QString& name) {
    QWidget* c = control(w, name);
    QTest::mouseClick(c, Qt::LeftButton, {}, c->rect().center());
}

} // namespace vltest
