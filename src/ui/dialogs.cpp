#include "ui/dialogs.h"

#include <QInputDialog>
#include <QScreen>
#include <algorithm>
#include <deque>

#include "core/runlog.h"
#include "platform/message.h"

namespace vl::ui {

namespace {

struct Pending {
    std::deque<QMessageBox::StandardButton> answers;
    std::deque<QString> inputs;
    QStringList shown;
    bool scripted = false;
};

Pending& pending() {
    static Pending p;
    return p;
}

} // namespace

QMessageBox::StandardButton Dialogs::message(QWidget* parent, const QString& text,
                                             const QString& title,
                                             QMessageBox::StandardButtons buttons,
                                             QMessageBox::Icon icon,
                                             QMessageBox::StandardButton defaultButton) {
    // What the pharmacist is told goes to the run log as well; a question with the answer given.
    if (icon != QMessageBox::Question) runlog::log("Mensaje: " + text.toStdString());
    const auto answered = [&](QMessageBox::StandardButton a) {
        if (icon == QMessageBox::Question)
            runlog::log("Pregunta: " + text.toStdString() + "; respuesta: " +
                        (a == QMessageBox::Yes   ? "Sí"
                         : a == QMessageBox::No  ? "No"
                         : a == QMessageBox::Ok  ? "Aceptar"
                                                 : "Cancelar"));
        return a;
    };
    // Unattended, a box's own default; without one the answer that changes nothing (No).
    const QMessageBox::StandardButton fallback =
        defaultButton != QMessageBox::NoButton ? defaultButton
        : buttons.testFlag(QMessageBox::No)    ? QMessageBox::No
                                               : QMessageBox::Ok;
    auto& p = pending();
    p.shown << text;
    if (p.scripted) {
        if (p.answers.empty()) return answered(fallback);
        const auto a = p.answers.front();
        p.answers.pop_front();
        return answered(a);
    }
    // An unattended run (VELANTIA_MENSAJES) gets the text in that file and the box's default.
    if (!qEnvironmentVariableIsEmpty("VELANTIA_MENSAJES")) {
        showMessage(title.toStdString(), text.toStdString());
        return answered(fallback);
    }
    return answered(static_cast<QMessageBox::StandardButton>(
        makeBox(parent, text, title, buttons, icon, defaultButton)->exec()));
}

std::unique_ptr<QMessageBox> Dialogs::makeBox(QWidget* parent, const QString& text,
                                              const QString& title,
                                              QMessageBox::StandardButtons buttons,
                                              QMessageBox::Icon icon,
                                              QMessageBox::StandardButton defaultButton) {
    auto box = std::make_unique<QMessageBox>(icon, title, text, buttons, parent);
    if (defaultButton != QMessageBox::NoButton) box->setDefaultButton(defaultButton);
    // Lines that fit the box stay whole: the box would otherwise break them at half the
    // screen's width, even inside a word such as "farmacéutic(o/a)". Longer lines wrap, since
    // the box grows no wider than its own limit and a whole line beyond it would be cut off.
    const QFontMetrics fm(box->font());
    const QScreen* screen = box->screen();
    const int screenWidth = screen ? screen->availableGeometry().width() : 800;
    // QMessageBox's widest, less its icon and margins.
    const int widest = screenWidth <= 1024 ? screenWidth : std::min(screenWidth - 480, 1000);
    const int room = widest - 120;
    QString html;
    for (const QString& line : text.split(QLatin1Char('\n'))) {
        html += fm.horizontalAdvance(line) <= room
                    ? QStringLiteral("<p style='margin:0; white-space:pre'>")
                    : QStringLiteral("<p style='margin:0'>");
        html += line.isEmpty() ? QStringLiteral("&nbsp;") : line.toHtmlEscaped();
        html += QStringLiteral("</p>");
    }
    box->setTextFormat(Qt::RichText);
    box->setText(html);
    return box;
}

QString Dialogs::input(QWidget* parent, const QString& prompt, const QString& title) {
    auto& p = pending();
    p.shown << prompt;
    if (p.scripted) {
        if (p.inputs.empty()) return {};
        const QString t = p.inputs.front();
        p.inputs.pop_front();
        return t;
    }
    if (!qEnvironmentVariableIsEmpty("VELANTIA_MENSAJES")) {
        showMessage(title.toStdString(), prompt.toStdString());
        return {};
    }
    bool ok = false;
    const QString t = QInputDialog::getText(parent, title, prompt, QLineEdit::Normal, {}, &ok);
    return ok ? t : QString();
}

void Dialogs::preAnswer(QMessageBox::StandardButton answer) {
    pending().scripted = true;
    pending().answers.push_back(answer);
}

void Dialogs::preInput(const QString& text) {
    pending().scripted = true;
    pending().inputs.push_back(text);
}

QStringList Dialogs::shownTexts() { return pending().shown; }

void Dialogs::reset() {
    pending() = Pending{};
    pending().scripted = true; // once a test has touched the boxes, none may block it
}

} // namespace vl::ui
