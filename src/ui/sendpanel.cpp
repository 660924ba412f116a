#include "ui/sendpanel.h"

#include <QApplication>
#include <QCheckBox>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QSignalBlocker>
#include <QTimer>
#include <thread>

#include "core/text.h"
#include "outbox/lock.h"
#include "outbox/outbox.h"
#include "send/sendpage.h"
#include "ui/dialogs.h"
#include "ui/pagearea.h"
#include "ui/pageview.h"
#include "ui/widgets.h"

namespace vl::ui {

namespace {

QString q(const std::string& cp1252) {
    return QString::fromStdString(fromCp1252(cp1252));
}

} // namespace

SendPanel::SendPanel(const Paths& paths, const Config& cfg, PageArea* pages, QWidget* parent)
    : QWidget(parent), paths_(paths), cfg_(cfg), pages_(pages) {
    setObjectName(QStringLiteral("envio"));

    Frame4_ = named(new QFrame(this), QStringLiteral("Frame4"));
    Frame4_->setFrameShape(QFrame::Box);
    auto* label10 = named(new QLabel(QString::fromUtf8("El envio de información se iniciará "
                                                       "automáticamnete. ESPERE..."),
                                     Frame4_),
                          QStringLiteral("Label10"));
    auto* label8 = named(new QLabel(QString::fromUtf8("Si la barra de progreso permance vacía, "
                                                      "pulse de nuevo en "),
                                    Frame4_),
                         QStringLiteral("Label8"));
    auto* label12 = named(new LinkLabel(QStringLiteral("Enviar"), Frame4_),
                          QStringLiteral("Label12"), QStringLiteral("Enviar de nuevo"));
    label12->setStyleSheet(linkStyle());
    auto* label11 =
        named(new QLabel(QStringLiteral("o intente hacer el envio de forma manual"), Frame4_),
              QStringLiteral("Label11"));
    auto* label9 = named(new LinkLabel(QStringLiteral("Pulse AQUI para envio manual"), Frame4_),
                         QStringLiteral("Label9"));
    label9->setStyleSheet(linkStyle());
    PBW_ = named(new QProgressBar(Frame4_), QStringLiteral("PBW"),
                 QString::fromUtf8("Progreso del envío"));
    PBW_->setRange(0, 100);
    auto* g = new QGridLayout(Frame4_);
    g->addWidget(label10, 0, 0, 1, 3);
    g->addWidget(label8, 1, 0);
    g->addWidget(label12, 1, 1);
    g->addWidget(label11, 2, 0);
    g->addWidget(label9, 2, 1);
    g->addWidget(PBW_, 3, 0, 1, 3);
    g->setColumnStretch(2, 1);

    Frame5_ = named(new QFrame(this), QStringLiteral("Frame5"));
    Frame5_->setFrameShape(QFrame::Box);
    Check2_ = named(new QCheckBox(QStringLiteral("Enviado"), Frame5_), QStringLiteral("Check2"));
    Check3_ = named(new QCheckBox(QStringLiteral("NO enviado"), Frame5_), QStringLiteral("Check3"));
    auto* h = new QHBoxLayout(Frame5_);
    h->addWidget(Check2_);
    h->addWidget(Check3_);
    h->addStretch(1);

    // Holds the text of the service's last answer page.
    named(new QPlainTextEdit(this), QStringLiteral("Text2"))->hide();
    Timer2_ = named(new QTimer(this), QStringLiteral("Timer2"));
    Timer2_->setInterval(1000);
    named(new QTimer(this), QStringLiteral("Timer3")); // the upload needs no form filling

    auto* v = new QVBoxLayout(this);
    v->setContentsMargins(0, 0, 0, 0);
    v->addWidget(Frame4_);
    v->addWidget(Frame5_);
    setPanels(false, false);

    connect(label12, &LinkLabel::clicked, this, &SendPanel::start);
    connect(label9, &LinkLabel::clicked, this, &SendPanel::continueByHand);
    // toggled, not clicked: a tick through the accessibility Toggle action emits only that.
    // The program's own changes of the boxes are made with their signals blocked.
    connect(Check2_, &QCheckBox::toggled, this, &SendPanel::confirmSent);
    connect(Check3_, &QCheckBox::toggled, this, &SendPanel::reportNotSent);
    connect(Timer2_, &QTimer::timeout, this, &SendPanel::watchForAnswer);
    connect(pages_->page(), &PageView::progressChange, this, &SendPanel::showBrowserProgress);
}

void SendPanel::setPanels(bool progress, bool confirmation) {
    Frame4_->setVisible(progress);
    Frame5_->setVisible(confirmation);
    setVisible(progress || confirmation);
    emit heightChanged();
}

void SendPanel::hideConfirmation() {
    pages_->hideSendingPage();
}

void SendPanel::showBrowserProgress(int progress, int progressMax) {
    if (Frame4_->isVisible() && progressMax > 0 && progress >= 0 && progress <= progressMax)
        PBW_->setValue(static_cast<int>(static_cast<float>(progress) * 100.0f /
                                        static_cast<float>(progressMax)));
}

void SendPanel::start() {
    if (nothingToSend(paths_)) {
        Dialogs::message(window(), QStringLiteral("No hay respuestas pendientes de enviar."));
        return;
    }
    if (sending_) return; // one upload at a time: a second one could send the answers twice
    std::string refused = settingsRefuseSend(paths_, cfg_);
    if (!refused.empty() || !takeLockForSend(paths_, refused).acquired) {
        Dialogs::message(window(), q(refused));
        return;
    }
    PBW_->setValue(0);
    PBW_->show();
    pages_->hideSendingPage();
    setPanels(true, false);
    const std::string url = serviceUrl();
    // The page stays at hand for a send by hand (Label9).
    writeUploadPage(paths_, cfg_, url);
    pages_->page()->showFile(paths_.product("Htm\\enviar.html"));

    sending_ = true;
    QPointer<SendPanel> self(this);
    std::thread([self, paths = paths_, cfg = cfg_, url] {
        const SendResult r = uploadAndSettle(paths, cfg, url, [self](int percent) {
            QMetaObject::invokeMethod(qApp, [self, percent] {
                if (self && self->Frame4_->isVisible()) self->PBW_->setValue(percent);
            });
        });
        QMetaObject::invokeMethod(qApp, [self, r] {
            if (self) self->uploadFinished(r);
        });
    }).detach();
}

void SendPanel::uploadFinished(const SendResult& r) {
    sending_ = false;
    setPanels(false, false);
    if (!r.transferOk) {
        // The outbox stayed as it was and the lock is free again.
        pages_->page()->showFile(paths_.product("htm\\vl-error\\index.html"));
        Dialogs::message(window(),
                         q(r.error) + QString::fromUtf8("\n\nLas respuestas siguen pendientes de "
                                                        "enviar."),
                         QStringLiteral("Velantia"), QMessageBox::Ok, QMessageBox::Warning);
        emit sendFinished();
        return;
    }
    Timer2_->stop();
    lastSent_ = r.sent;
    lastStamp_ = r.stampAtSend;
    showVerdict(r.verdict, r.answerText);
}

void SendPanel::showVerdict(SendVerdict verdict, const std::string& answerText) {
    switch (verdict) {
    case SendVerdict::Accepted:
        pages_->page()->showFile(paths_.product("htm\\vl-exito\\index.html"));
        break;
    case SendVerdict::Refused:
        pages_->page()->showFile(paths_.product("htm\\vl-error\\index.html"));
        // The service's own words say why (ERROR=05: the pharmacy is not registered).
        Dialogs::message(window(), q(refusalMessage(answerText)), QStringLiteral("Velantia"),
                         QMessageBox::Ok, QMessageBox::Warning);
        break;
    case SendVerdict::NoVerdict: {
        const QSignalBlocker quiet2(Check2_), quiet3(Check3_);
        Check2_->setChecked(false);
        Check3_->setChecked(false);
        pages_->showSendingPage(paths_.product("htm\\vl-manual\\index.html"));
        setPanels(false, true);
        break;
    }
    }
    emit sendFinished();
}

void SendPanel::continueByHand() {
    // The upload page stays in view for a send by hand; Timer2 watches for the answer.
    setPanels(false, false);
    Timer2_->start();
}

void SendPanel::watchForAnswer() {
    const QString at = pages_->page()->locationUrl();
    if (!at.contains(QStringLiteral("velantia"))) return;
    if (at.startsWith(QStringLiteral("file:"))) return; // still our own page
    Timer2_->stop();
    QPointer<SendPanel> self(this);
    pages_->page()->pageText([self](const QString& t) {
        // A send by hand: what went out is not known.
        if (!self) return;
        self->lastSent_.reset();
        const std::string text = toCp1252(t.simplified().toStdString());
        self->showVerdict(settleAnswer(self->paths_, {text, verdictOf(text), {}, {}}, std::nullopt), text);
    });
}

void SendPanel::confirmSent() {
    const SentTick t = confirmSentByHand(paths_, lastSent_, lastStamp_);
    if (!t.message.empty())
        Dialogs::message(window(), q(t.message), QStringLiteral("Velantia"), QMessageBox::Ok,
                         QMessageBox::Warning);
    if (t.askAgain) {
        const QSignalBlocker quiet(Check2_);
        Check2_->setChecked(false);
        return;
    }
    setPanels(false, false);
    pages_->hideSendingPage();
}

void SendPanel::reportNotSent() {
    setPanels(false, false);
    pages_->hideSendingPage();
}

} // namespace vl::ui
