// Small widget helpers: twips geometry and labels that act as buttons.
#pragma once

#include <QLabel>
#include <QMouseEvent>
#include <QWidget>

namespace vl::ui {

constexpr int TwipsPerPixel = 15;
constexpr int px(int twips) { return twips / TwipsPerPixel; }
constexpr int tw(int pixels) { return pixels * TwipsPerPixel; }

inline void placeTw(QWidget* w, int left, int top, int width, int height) {
    w->setGeometry(px(left), px(top), px(width), px(height));
}
inline void moveTw(QWidget* w, int left, int top) { w->move(px(left), px(top)); }

// A label that behaves as a link or a button.
class LinkLabel : public QLabel {
    Q_OBJECT
public:
    explicit LinkLabel(const QString& text, QWidget* parent = nullptr) : QLabel(text, parent) {
        setCursor(Qt::PointingHandCursor);
    }
signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent* e) override {
        if (e->button() == Qt::LeftButton && isEnabled() && rect().contains(e->position().toPoint()))
            emit clicked();
        QLabel::mouseReleaseEvent(e);
    }
};

} // namespace vl::ui
