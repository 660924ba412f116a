// The page view as a text view, where no browser engine exists (the MinGW build): it shows the
// pages the program writes and installs, which use only what a text document renders, and the
// upload page's form as controls of its own below the text.
#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QMap>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTextDocumentFragment>
#include <QTextFrame>
#include <QTimer>
#include <algorithm>
#include <thread>
#include <vector>

#include "core/text.h"
#include "net/https.h"
#include "platform/fileio.h"
#include "ui/dialogs.h"
#include "ui/pageview.h"

namespace vl::ui {

namespace {

// Attribute values of one tag, names in lower case, entities resolved.
QMap<QString, QString> attributes(const QString& tag) {
    static const QRegularExpression attr(
        QStringLiteral(R"re(([A-Za-z_][\w-]*)\s*=\s*('[^']*'|"[^"]*"|[^\s>]+))re"));
    QMap<QString, QString> out;
    for (auto it = attr.globalMatch(tag); it.hasNext();) {
        const auto m = it.next();
        QString v = m.captured(2);
        if (v.startsWith(u'\'') || v.startsWith(u'"')) v = v.mid(1, v.size() - 2);
        out.insert(m.captured(1).toLower(), QTextDocumentFragment::fromHtml(v).toPlainText());
    }
    return out;
}

// What a browser takes for the page's encoding: the one it names, else Windows-1252.
QString decodePage(const std::string& bytes) {
    static const QRegularExpression utf8(QStringLiteral("<meta[^>]*charset\\s*=\\s*[\"']?utf-8"),
                                         QRegularExpression::CaseInsensitiveOption);
    if (utf8.match(QString::fromLatin1(bytes.data(), qsizetype(std::min<std::size_t>(bytes.size(), 4096))))
            .hasMatch())
        return textDocumentHtml(QString::fromUtf8(bytes.data(), qsizetype(bytes.size())));
    return textDocumentHtml(QString::fromStdString(fromCp1252(bytes)));
}

} // namespace

struct PageView::Form {
    QString action;
    struct Field {
        QString type, name, value;
        QLineEdit* file = nullptr; // a file field's chosen path
    };
    std::vector<Field> fields;
};

QObject* PageView::makeSparePage(QObject*) {
    return nullptr; // a text view starts nothing ahead
}

void PageView::blankPage(QObject*, QObject*, std::function<void(bool)>) {}

QObject* PageView::keptPage() const {
    return nullptr;
}

void PageView::forgetEarlierPages() {
    clearHistory();
}

void PageView::setSparePages(std::function<QObject*()>) {}

PageView::PageView(QWidget* parent) : QTextBrowser(parent) {
    setOpenLinks(false);
    setFrameShape(QFrame::NoFrame);
    // A browser's page: its default font and colours, not the window's.
    QFont f(QStringLiteral("Times New Roman"));
    f.setStyleHint(QFont::Serif);
    f.setPixelSize(16);
    document()->setDefaultFont(f);
    document()->setDocumentMargin(8);
    setStyleSheet(QStringLiteral("QTextBrowser { background: white; color: black; }"));
    connect(this, &QTextBrowser::anchorClicked, this, [this](const QUrl& link) {
        if (link.path().isEmpty() && link.hasFragment()) {
            scrollToAnchor(link.fragment());
            return;
        }
        loadRequested_ = true;
        load(url_.resolved(link));
    });
}

PageView::~PageView() = default;

void PageView::load(const QUrl& url) {
    emit progressChange(0, 100);
    // As a browser does, the page shows once this call has returned.
    QTimer::singleShot(0, this, [this, url] {
        if (url.isLocalFile()) {
            const auto bytes =
                readFileBytes(std::filesystem::path(url.toLocalFile().toStdU16String()));
            showPage(url, bytes.value_or(std::string()), bytes.has_value());
            return;
        }
        if (url.scheme() != QLatin1String("https") && url.scheme() != QLatin1String("http")) {
            showPage(url, std::string(), url.toString() == QLatin1String("about:blank"));
            return;
        }
        QPointer<PageView> self(this);
        std::thread([self, url] {
            HttpsRequest get;
            get.url = url.toString().toStdString();
            const HttpsResponse r = httpsRequest(get);
            QMetaObject::invokeMethod(qApp, [self, url, r] {
                if (self) self->showPage(url, r.body, r.ok());
            });
        }).detach();
    });
}

void PageView::pageText(const std::function<void(const QString&)>& done) {
    done(toPlainText());
}

void PageView::showPage(const QUrl& url, const std::string& bytes, bool ok) {
    const QString html = decodePage(bytes);
    document()->setBaseUrl(url);
    setHtml(html);
    // The body's own margins, as the browser takes them; else the browser's 8 pixels.
    static const QRegularExpression body(QStringLiteral("<body\\b[^>]*>"),
                                         QRegularExpression::CaseInsensitiveOption);
    const auto margins = attributes(body.match(html).captured());
    QTextFrameFormat root = document()->rootFrame()->frameFormat();
    root.setTopMargin(margins.value(QStringLiteral("topmargin"), QStringLiteral("8")).toInt());
    root.setLeftMargin(margins.value(QStringLiteral("leftmargin"), QStringLiteral("8")).toInt());
    document()->rootFrame()->setFrameFormat(root);
    if (url.hasFragment()) scrollToAnchor(url.fragment());
    showForm(html);
    if (url_ != url) {
        url_ = url;
        emit urlChanged(url_);
    }
    emit progressChange(100, 100);
    emit loadFinished(ok);
}

void PageView::showForm(const QString& html) {
    delete formBar_;
    formBar_ = nullptr;
    form_.reset();
    setViewportMargins(0, 0, 0, 0);
    static const QRegularExpression formTag(
        QStringLiteral("<form\\b[^>]*>(.*?)(</form>|$)"),
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::DotMatchesEverythingOption);
    static const QRegularExpression input(QStringLiteral("<input\\b[^>]*>"),
                                          QRegularExpression::CaseInsensitiveOption);
    const auto m = formTag.match(html);
    if (!m.hasMatch()) return;
    form_ = std::make_shared<Form>();
    form_->action = attributes(m.captured(0).left(m.captured(0).indexOf(u'>') + 1))
                        .value(QStringLiteral("action"));
    formBar_ = new QWidget(this);
    formBar_->setObjectName(QStringLiteral("formulario"));
    auto* row = new QHBoxLayout(formBar_);
    row->setContentsMargins(8, 4, 8, 4);
    for (auto it = input.globalMatch(m.captured(1)); it.hasNext();) {
        const auto a = attributes(it.next().captured());
        Form::Field field{a.value(QStringLiteral("type"), QStringLiteral("text")).toLower(),
                          a.value(QStringLiteral("name")), a.value(QStringLiteral("value"))};
        if (field.type == QLatin1String("file")) {
            field.file = new QLineEdit(formBar_);
            field.file->setObjectName(field.name);
            field.file->setAccessibleName(QStringLiteral("Archivo a enviar"));
            auto* pick = new QPushButton(QStringLiteral("Examinar..."), formBar_);
            connect(pick, &QPushButton::clicked, field.file, [this, edit = field.file] {
                const QString chosen = QFileDialog::getOpenFileName(this, QStringLiteral("Archivo a enviar"));
                if (!chosen.isEmpty()) edit->setText(chosen);
            });
            row->addWidget(field.file, 1);
            row->addWidget(pick);
        } else if (field.type == QLatin1String("submit")) {
            auto* send = new QPushButton(field.value.trimmed(), formBar_);
            send->setObjectName(QStringLiteral("enviarFormulario"));
            connect(send, &QPushButton::clicked, this, &PageView::submitForm);
            row->addWidget(send);
        }
        form_->fields.push_back(field);
    }
    const int h = formBar_->sizeHint().height();
    setViewportMargins(0, 0, 0, h);
    formBar_->setGeometry(0, height() - h, width(), h);
    formBar_->show();
}

void PageView::resizeEvent(QResizeEvent* e) {
    QTextBrowser::resizeEvent(e);
    if (formBar_) {
        const int h = formBar_->sizeHint().height();
        formBar_->setGeometry(0, height() - h, width(), h);
    }
}

void PageView::submitForm() {
    if (!form_ || submitting_) return;
    HttpsRequest request;
    request.url = url_.resolved(QUrl(form_->action)).toString().toStdString();
    const auto part = [&request](const QString& name, std::string value, std::string file = {}) {
        HttpsFormPart p;
        p.name = toCp1252(name.toStdString());
        p.value = std::move(value);
        p.fileName = std::move(file);
        if (!p.fileName.empty()) p.contentType = "application/octet-stream";
        request.form.push_back(std::move(p));
    };
    for (const Form::Field& f : form_->fields) {
        if (f.name.isEmpty() || f.type == QLatin1String("submit")) continue;
        if (!f.file) {
            // Sent in the page's own encoding, as a browser sends it.
            part(f.name, toCp1252(f.value.toStdString()));
            continue;
        }
        const QString path = f.file->text().trimmed();
        const auto bytes = readFileBytes(std::filesystem::path(path.toStdU16String()));
        if (!path.isEmpty() && !bytes) {
            Dialogs::message(window(), QStringLiteral("No se puede leer el archivo %1.").arg(path),
                             QStringLiteral("Velantia"), QMessageBox::Ok, QMessageBox::Warning);
            return;
        }
        if (path.isEmpty()) {
            part(f.name, std::string());
            continue;
        }
        part(f.name, *bytes, QFileInfo(path).fileName().toStdString());
    }
    submitting_ = true;
    emit progressChange(10, 100);
    QPointer<PageView> self(this);
    const QUrl target(QString::fromStdString(request.url));
    std::thread([self, request, target] {
        const HttpsResponse r = httpsRequest(request);
        QMetaObject::invokeMethod(qApp, [self, r, target] {
            if (!self) return;
            self->submitting_ = false;
            if (r.status == 0) {
                // Nothing came back: the form stays for another try.
                emit self->progressChange(100, 100);
                Dialogs::message(self->window(),
                                 QStringLiteral("No se ha podido enviar: %1")
                                     .arg(QString::fromStdString(r.detail)),
                                 QStringLiteral("Velantia"), QMessageBox::Ok, QMessageBox::Warning);
                return;
            }
            self->showPage(target, r.body, r.ok());
        });
    }).detach();
}

} // namespace vl::ui
