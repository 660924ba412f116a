// The page view on Qt WebEngine's browser.
#include <QWebEngineHistory>
#include <QWebEnginePage>
#include <QWebEngineSettings>

#include "ui/pageview.h"

namespace vl::ui {

namespace {
std::function<QObject*()> spares;
}

QObject* PageView::makeSparePage(QObject* owner) {
    return new QWebEnginePage(owner);
}

void PageView::blankPage(QObject* page, QObject* context, std::function<void(bool)> done) {
    auto* p = qobject_cast<QWebEnginePage*>(page);
    QObject::connect(
        p, &QWebEnginePage::loadFinished, context,
        [p, done = std::move(done)](bool ok) {
            // Nothing of the last dispensing may come back, not even by going back.
            p->history()->clear();
            p->setZoomFactor(1.0);
            done(ok);
        },
        Qt::SingleShotConnection);
    // Blank, as a fresh window's browser is until its page loads: the window built ahead
    // shows it for a frame, and for good after a code that shows no page. Not setHtml: its
    // data: address is another site, and the information page would then wait for a
    // renderer of its own (about 45 ms more here).
    p->load(QUrl(QStringLiteral("about:blank")));
}

QObject* PageView::keptPage() const {
    return page();
}

void PageView::forgetEarlierPages() {
    history()->clear();
}

void PageView::setSparePages(std::function<QObject*()> take) {
    spares = std::move(take);
}

PageView::PageView(QWidget* parent) : QWebEngineView(parent) {
    if (auto* spare = qobject_cast<QWebEnginePage*>(spares ? spares() : nullptr)) {
        spare->setParent(this);
        setPage(spare);
    }
    auto* s = settings();
    // The generated pages carry no charset and are written in Windows-1252.
    s->setDefaultTextEncoding(QStringLiteral("windows-1252"));
    s->setAttribute(QWebEngineSettings::LocalContentCanAccessFileUrls, true);
    // Our pages need no script; item texts arrive from the network with markup, and a script
    // among them must not run with access to the local files.
    s->setAttribute(QWebEngineSettings::JavascriptEnabled, false);
    connect(this, &QWebEngineView::loadProgress, this,
            [this](int p) { emit progressChange(p, 100); });
}

PageView::~PageView() = default;

void PageView::pageText(const std::function<void(const QString&)>& done) {
    page()->toPlainText([done](const QString& t) { done(t); });
}

} // namespace vl::ui
