#include "ui/pageview.h"

#include <QDateTime>
#include <QDir>
#include <QPrinter>
#include <QPrinterInfo>
#include <QWebEnginePage>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineSettings>
#include <atomic>
#include <vector>

#include "ui/dialogs.h"

namespace vl::ui {

namespace {

// The browser paints on the printer from a thread of its own and may still be at it when the
// view goes away or a failed print is reported: such a printer is kept for the rest of the
// process instead of being freed under that thread.
void keepAlive(std::unique_ptr<QPrinter> printer) {
    static auto* kept = new std::vector<QPrinter*>; // deliberately never freed
    kept->push_back(printer.release());
}

} // namespace

PageView::PageView(QWidget* parent) : QWebEngineView(parent) {
    auto* s = settings();
    // The generated pages carry no charset and are written in Windows-1252.
    s->setDefaultTextEncoding(QStringLiteral("windows-1252"));
    s->setAttribute(QWebEngineSettings::LocalContentCanAccessFileUrls, true);
    // Our pages need no script; item texts arrive from the network with markup, and a script
    // among them must not run with access to the local files.
    s->setAttribute(QWebEngineSettings::JavascriptEnabled, false);
    s->setAttribute(QWebEngineSettings::PrintElementBackgrounds, true);
    // The browser prints a page edge to edge (see printSilently): its margins are the page's.
    QWebEngineScript margins;
    margins.setWorldId(QWebEngineScript::ApplicationWorld);
    margins.setInjectionPoint(QWebEngineScript::DocumentReady);
    margins.setSourceCode(QStringLiteral(
        "var s=document.createElement('style');s.textContent='@media print{html{margin:12mm}}';"
        "document.documentElement.appendChild(s);"));
    page()->scripts().insert(margins);
    connect(this, &QWebEngineView::loadProgress, this,
            [this](int p) { emit progressChange(p, 100); });
    connect(this, &QWebEngineView::printFinished, this, [this](bool ok) {
        emit printDone(ok, printTarget_);
        // A successful print has finished painting; a failed one may not have.
        if (ok)
            printer_.reset();
        else
            keepAlive(std::move(printer_));
    });
}

PageView::~PageView() {
    if (printer_) keepAlive(std::move(printer_)); // a print still in progress
}

void PageView::navigate(const QString& url) {
    load(QUrl(url));
}

void PageView::showFile(const std::filesystem::path& file) {
    const std::u8string utf8 = std::filesystem::absolute(file).lexically_normal().u8string();
    load(QUrl::fromLocalFile(
        QString::fromUtf8(reinterpret_cast<const char*>(utf8.data()), qsizetype(utf8.size()))));
}

QString PageView::locationUrl() const {
    return url().toString();
}

bool PageView::printSilently() {
    if (printer_) return false; // one print at a time
    const QByteArray dir = qgetenv("VELANTIA_PRINT_DIR");
    if (!dir.isEmpty()) {
        static std::atomic<int> serial{0};
        printer_ = std::make_unique<QPrinter>(QPrinter::HighResolution);
        printer_->setOutputFormat(QPrinter::PdfFormat);
        printTarget_ = QDir(QString::fromLocal8Bit(dir))
                           .filePath(QStringLiteral("velantia-%1-%2.pdf")
                                         .arg(QDateTime::currentDateTime().toString(
                                             QStringLiteral("yyyyMMdd-hhmmss-zzz")))
                                         .arg(serial++));
        printer_->setOutputFileName(printTarget_);
    } else {
        const QPrinterInfo info = QPrinterInfo::defaultPrinter();
        if (info.isNull()) {
            Dialogs::message(window(),
                             QStringLiteral("No hay ninguna impresora predeterminada instalada en "
                                            "este equipo. No se ha podido imprimir."),
                             QStringLiteral("Velantia"), QMessageBox::Ok, QMessageBox::Warning);
            return false;
        }
        printer_ = std::make_unique<QPrinter>(info, QPrinter::HighResolution);
        printTarget_ = info.printerName();
    }
    printer_->setCopyCount(1);
    // The pages fill the width they get, and most printers cannot print at the paper's edge.
    // The browser lays the page out on the printable area and stretches it over the whole
    // sheet from that area's corner: it gets the whole sheet, and the page brings its margins.
    printer_->setFullPage(true);
    print(printer_.get());
    return true;
}

void PageView::pageText(const std::function<void(const QString&)>& done) {
    page()->toPlainText([done](const QString& t) { done(t); });
}

} // namespace vl::ui
