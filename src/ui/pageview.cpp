#include "ui/pageview.h"

#include <QAbstractTextDocumentLayout>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QPrinter>
#include <QPrinterInfo>
#include <QRegularExpression>
#include <QTextDocument>
#include <atomic>
#include <memory>

#include "core/text.h"
#include "platform/fileio.h"
#include "ui/dialogs.h"

namespace vl::ui {

namespace {

// The sheet's margin on every side, on every sheet.
constexpr qreal MarginMm = 15;
// The pages size their texts relative to the document's font: body text (size 1) at 0.7 of it,
// headings and titles (size 2) at 0.8, and a size an item's own markup sets inside them gives
// way to theirs. From this one they print at 11.2 and 12.8 points, which a patient reads
// without effort; the page's file stays as it is shown.
constexpr qreal BasePt = 16;

void cannotPrint(QWidget* parent, const QString& why) {
    Dialogs::message(parent, why, QStringLiteral("Velantia"), QMessageBox::Ok,
                     QMessageBox::Warning);
}

} // namespace

QString textDocumentHtml(QString text) {
    // The pages name their images with backslashes, which only a browser forgives.
    static const QRegularExpression src(QStringLiteral("src='[^']*'"));
    for (auto it = src.globalMatch(text); it.hasNext();) {
        const auto m = it.next();
        text.replace(m.capturedStart(), m.capturedLength(),
                     m.captured().replace(QLatin1Char('\\'), QLatin1Char('/')));
    }
    // Cells outside a table, as the pages have them, are no table to a browser either.
    static const QRegularExpression cell(QStringLiteral("</?td[^>]*>"),
                                         QRegularExpression::CaseInsensitiveOption);
    return text.remove(cell);
}

void PageView::navigate(const QString& url) {
    loadRequested_ = true;
    load(QUrl(url));
}

void PageView::showFile(const std::filesystem::path& file) {
    loadRequested_ = true;
    const std::u8string utf8 = std::filesystem::absolute(file).lexically_normal().u8string();
    load(QUrl::fromLocalFile(
        QString::fromUtf8(reinterpret_cast<const char*>(utf8.data()), qsizetype(utf8.size()))));
}

QString PageView::locationUrl() const {
    return url().toString();
}

bool PageView::printSilently() {
    const std::filesystem::path shown(url().toLocalFile().toStdU16String());
    const auto bytes = readFileBytes(shown);
    if (!bytes) {
        cannotPrint(window(), QStringLiteral("No se ha podido leer la página para imprimirla."));
        return false;
    }
    return printPage(*bytes, shown.parent_path());
}

bool PageView::printPage(const std::string& html, const std::filesystem::path& folder) {
    std::unique_ptr<QPrinter> printer;
    QString target;
    const QByteArray dir = qgetenv("VELANTIA_PRINT_DIR");
    if (!dir.isEmpty()) {
        static std::atomic<int> serial{0};
        printer = std::make_unique<QPrinter>(QPrinter::HighResolution);
        printer->setOutputFormat(QPrinter::PdfFormat);
        target = QDir(QString::fromLocal8Bit(dir))
                     .filePath(QStringLiteral("velantia-%1-%2.pdf")
                                   .arg(QDateTime::currentDateTime().toString(
                                       QStringLiteral("yyyyMMdd-hhmmss-zzz")))
                                   .arg(serial++));
        printer->setOutputFileName(target);
    } else {
        const QPrinterInfo info = QPrinterInfo::defaultPrinter();
        if (info.isNull()) {
            cannotPrint(window(), QStringLiteral("No hay ninguna impresora predeterminada "
                                                 "instalada en este equipo. No se ha podido "
                                                 "imprimir."));
            return false;
        }
        printer = std::make_unique<QPrinter>(info, QPrinter::HighResolution);
        target = info.printerName();
    }
    printer->setCopyCount(1);
    // Text and images painted as such (a small job, searchable text), laid out inside the same
    // margins on every sheet; a line never splits between two sheets.
    printer->setFullPage(false);
    printer->setPageMargins(QMarginsF(MarginMm, MarginMm, MarginMm, MarginMm),
                            QPageLayout::Millimeter);
    QTextDocument doc;
    doc.documentLayout()->setPaintDevice(printer.get());
    doc.setBaseUrl(QUrl::fromLocalFile(QString::fromStdU16String((folder / "").u16string())));
    QFont base = doc.defaultFont();
    base.setPointSizeF(BasePt);
    doc.setDefaultFont(base);
    doc.setHtml(textDocumentHtml(QString::fromStdString(fromCp1252(html))));
    doc.setDocumentMargin(0);
    doc.setPageSize(QSizeF(printer->width(), printer->height()));
    doc.print(printer.get());
    const bool ok = printer->printerState() != QPrinter::Error &&
                    (dir.isEmpty() || QFileInfo(target).size() > 0);
    if (!ok) cannotPrint(window(), QStringLiteral("No se ha podido imprimir en %1.").arg(target));
    emit printDone(ok, target);
    return ok;
}

} // namespace vl::ui
