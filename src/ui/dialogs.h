// Every message box and input box goes through here, so a test can answer it in advance
// instead of blocking on a modal window. With VELANTIA_MENSAJES naming a file, what a box would
// show is added to that file instead and the box's default button is the answer (an input box
// is cancelled), as the launcher does with its messages.
#pragma once

#include <QMessageBox>
#include <QString>
#include <QStringList>
#include <memory>
#include <optional>

class QWidget;

namespace vl::ui {

class Dialogs {
public:
    // Shows a message box; returns the button pressed.
    static QMessageBox::StandardButton message(QWidget* parent, const QString& text,
                                               const QString& title = QStringLiteral("Velantia"),
                                               QMessageBox::StandardButtons buttons = QMessageBox::Ok,
                                               QMessageBox::Icon icon = QMessageBox::NoIcon,
                                               QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);
    // The box message() shows, not yet shown.
    static std::unique_ptr<QMessageBox> makeBox(QWidget* parent, const QString& text,
                                                const QString& title,
                                                QMessageBox::StandardButtons buttons,
                                                QMessageBox::Icon icon,
                                                QMessageBox::StandardButton defaultButton);
    // Input box; an empty text when cancelled.
    static QString input(QWidget* parent, const QString& prompt,
                         const QString& title = QStringLiteral("Velantia"));

    // Tests: queue the answers of the next boxes; every box shown is recorded.
    static void preAnswer(QMessageBox::StandardButton answer);
    static void preInput(const QString& text);
    static QStringList shownTexts();
    static void reset();
};

} // namespace vl::ui
