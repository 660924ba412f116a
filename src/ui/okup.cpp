#include "ui/okup.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QTimer>
#include <QVBoxLayout>
#include <chrono>

#include "core/runlog.h"
#include "core/text.h"
#include "outbox/lock.h"
#include "outbox/outbox.h"
#include "platform/fileio.h"
#include "ui/dialogs.h"

namespace vl::ui {

OKUP::OKUP(const Paths& paths, std::string terminalDigit, std::function<void()> closingMove,
           QWidget* parent)
    : QDialog(parent), paths_(paths), digit_(std::move(terminalDigit)),
      closingMove_(std::move(closingMove)) {
    setObjectName(QStringLiteral("OKUP"));
    setWindowTitle(QStringLiteral("Velantia"));
    setModal(true);

    auto* logo = new QLabel(this);
    logo->setObjectName(QStringLiteral("Image1"));
    logo->setPixmap(QPixmap(QStringLiteral(":/assets/logo.png")));
    // Only a free lock shows «Grabando encuesta...»; the first look may take a moment.
    Terminal_ = new QLabel(QStringLiteral("Ocupado"), this);
    Terminal_->setObjectName(QStringLiteral("Terminal"));
    Terminal_->setStyleSheet(QStringLiteral("color:#800080;font-weight:bold;font-size:8.25pt;"));
    auto small = [this](const char* text, const QString& name) {
        auto* l = new QLabel(QString::fromUtf8(text), this);
        l->setObjectName(name);
        l->setWordWrap(true);
        l->setStyleSheet(QStringLiteral("font-size:6.75pt;"));
        return l;
    };
    auto* right = new QVBoxLayout;
    right->addWidget(Terminal_);
    right->addWidget(small("Compruebe si este terminal está grabando o actualizando en Velantia.",
                           QStringLiteral("Label1_0")));
    right->addWidget(small("Cuando finalice su tarea, este continuará.", QStringLiteral("Label1_1")));
    right->addWidget(small("Si no se libera automáticamente, entre a Velantia desde el Terminal "
                           "que la bloquea.",
                           QStringLiteral("Label2")));
    auto* top = new QHBoxLayout(this);
    top->addWidget(logo, 0, Qt::AlignTop);
    top->addLayout(right);
    // The wrapped lines decide the height, whatever the font.
    setFixedSize(420, top->totalHeightForWidth(420));

    Timer2_ = new QTimer(this);
    Timer2_->setObjectName(QStringLiteral("Timer2"));
    Timer2_->setInterval(10); // the first look comes at once
    connect(Timer2_, &QTimer::timeout, this, &OKUP::Timer2_Tick);
    Timer2_->start();
}

void OKUP::Timer2_Tick() {
    Timer2_->setInterval(1000);
    clearFileInUse();
    const LockAttempt a = tryAcquireForClosing(paths_, digit_);
    if (a.unwritable) return fail(lockNotWritableMessage(paths_, a));
    if (!a.acquired) {
        // Another program holding the lock's files is waited for as long as the launcher would.
        if (const std::filesystem::path held = lastFileInUse(); !held.empty()) {
            const auto now = std::chrono::steady_clock::now();
            if (inUseSince_ == std::chrono::steady_clock::time_point{}) inUseSince_ = now;
            Terminal_->setText(QStringLiteral("Ocupado por otro programa"));
            if (now - inUseSince_ >= inUseLimit)
                fail(heldOpenOr({}));
            return;
        }
        inUseSince_ = {};
        Terminal_->setText(a.found >= '0' && a.found <= '9'
                               ? QStringLiteral("Ocupado por el terminal ") + QChar::fromLatin1(a.found)
                               : QStringLiteral("Ocupado"));
        return;
    }
    Terminal_->setText(QStringLiteral("Grabando encuesta..."));
    Terminal_->repaint();
    Timer2_->stop();
    moved_ = true;
    if (closingMove_) closingMove_();
    accept();
}

// Waiting would never end: told, logged, and the window closes with the answers kept.
void OKUP::fail(const std::string& cp1252) {
    Timer2_->stop();
    failed_ = true;
    runlog::log("Cierre: ERROR: " + fromCp1252(cp1252));
    Dialogs::message(this, QString::fromStdString(fromCp1252(cp1252)), QStringLiteral("Velantia"),
                     QMessageBox::Ok, QMessageBox::Critical);
    reject();
}

void OKUP::keyPressEvent(QKeyEvent* e) {
    if (e->key() != Qt::Key_Escape) return; // other keys do nothing
    const auto answer = Dialogs::message(
        this, QString::fromUtf8("Está seguro de finalizar sin grabar la encuesta"),
        QStringLiteral("Ocupado por otro terminal"), QMessageBox::Yes | QMessageBox::No,
        QMessageBox::Question);
    if (answer == QMessageBox::Yes) {
        Timer2_->stop();
        reject();
    }
}

} // namespace vl::ui
