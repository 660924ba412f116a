#include "ui/pageview.h"

#include <QDateTime>
#include <QDir>
#include <QPrinter>
#include <QPrinterInfo>
#include <QWebEnginePage>
#include <QWebEngineSettings>
#include <atomic>

#include "ui/dialogs.h"

namespace vl::ui {

PageView::PageView(QWidget* parent) : QWebEngineView(parent) {
    auto* s = settings();
    // The generated pages carry no charset and are written in Windows-1252.
    s->setDefaultTextEncoding(QStringLiteral("windows-1252"));
    s->setAttribute(QWebEngineSettings::LocalContentCanAccessFileUrls, true);
    // Our pages need no script; item texts arrive from the network with markup, and a script
    // among them must not run with access to the local files.
    s->setAttribute(QWebEngineSettings::JavascriptEnabled, false);
    s->setAttribute(QWebEngineSettings::PrintElementBackgrounds, true);
    connect(this, &QWebEngineView::loadProgress, this,
            [this](int p) { emit progressChange(p, 100); });
    connect(this, &QWebEngineView::printFinished, this, [this](bool ok) {
        emit printDone(ok, printTarget_);
        printer_.reset();
    });
}

PageView::~PageView() = default;

void PageView::navigate(const QString& url) { load(QUrl(url)); }

QString PageView::locationUrl() const { return url().toString(); }

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
                             QStringLiteral("Velantia"), QMessageBox::Ok,
                             QMessageBox::Warning);
            return false;
        }
        printer_ = std::make_unique<QPrinter>(info, QPrinter::HighResolution);
        printTarget_ = info.printerName();
    }
    printer_->setCopyCount(1);
    print(printer_.get());
    return true;
}

void PageView::pageText(const std::function<void(const QString&)>& done) {
    page()->toPlainText([done](const QString& t) { done(t); });
}

} // namespace vl::ui
