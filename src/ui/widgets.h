// Small widget helpers: labels that act as links or buttons, and named controls.
#pragma once

#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QWidget>
#include <type_traits>

namespace vl::ui {

constexpr int TwipsPerPixel = 15;
constexpr int px(int twips) {
    return twips / TwipsPerPixel;
}

// Gives a control the name tests and tools find it by, and the name a screen reader says.
template <typename W> W* named(W* w, const QString& name, const QString& spoken = {}) {
    w->setObjectName(name);
    if constexpr (std::is_base_of_v<QWidget, W>)
        if (!spoken.isEmpty()) w->setAccessibleName(spoken);
    return w;
}

// A label that behaves as a link or a button: the mouse clicks it, and from the keyboard it
// takes the focus with Tab and answers Space and Enter.
class LinkLabel : public QLabel {
    Q_OBJECT
  public:
    explicit LinkLabel(const QString& text, QWidget* parent = nullptr) : QLabel(text, parent) {
        setCursor(Qt::PointingHandCursor);
        setFocusPolicy(Qt::StrongFocus);
        setAccessibleName(text);
    }
  signals:
    void clicked();

  protected:
    void mouseReleaseEvent(QMouseEvent* e) override {
        if (e->button() == Qt::LeftButton && isEnabled() &&
            rect().contains(e->position().toPoint()))
            emit clicked();
        QLabel::mouseReleaseEvent(e);
    }
    void keyPressEvent(QKeyEvent* e) override {
        if (e->key() == Qt::Key_Space || e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) {
            if (isEnabled()) emit clicked();
            return;
        }
        QLabel::keyPressEvent(e);
    }
};

// Buttons' Alt shortcuts click at once, before any key typed after them, and Escape with a list
// open only closes the list (once per program).
void installShortcutRules();

// Link style with a visible focus mark for keyboard users.
inline QString linkStyle(const QString& extra = {}) {
    // The border is always there, so that the focus does not change the label's size.
    return QStringLiteral("QLabel{color:#336633;text-decoration:underline;"
                          "border:1px solid transparent;%1}"
                          "QLabel:focus{border:1px dotted #336633;}")
        .arg(extra);
}

} // namespace vl::ui
