#include "ui/widgets.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QShortcutEvent>

namespace vl::ui {

namespace {

// Qt shows a button's Alt shortcut as a press for 100 ms and clicks only then: a key typed
// meanwhile ("+" after Alt+G) would act first, and the answers or the handout of the next
// medicine would be the ones recorded or printed. Here the click comes at once.
// An open answer list closes on Escape and lets the window's Escape shortcut run as well: the
// dispensing would end, dropping the answers chosen. Here that press only closes the list.
class ShortcutRules : public QObject {
  public:
    using QObject::QObject;

  protected:
    bool eventFilter(QObject* o, QEvent* e) override {
        if (e->type() == QEvent::ShortcutOverride) {
            QWidget* popup = QApplication::activePopupWidget();
            if (!popup || static_cast<QKeyEvent*>(e)->key() != Qt::Key_Escape) return false;
            if (auto* list = qobject_cast<QComboBox*>(popup->parentWidget()))
                list->hidePopup();
            else
                popup->close();
            e->accept(); // no shortcut
            return true;
        }
        if (e->type() != QEvent::Shortcut) return false;
        auto* b = qobject_cast<QAbstractButton*>(o);
        if (!b || static_cast<QShortcutEvent*>(e)->isAmbiguous()) return false;
        if (b->isEnabled() && b->isVisible()) b->click();
        return true;
    }
};

} // namespace

void installShortcutRules() {
    static QObject* filter = nullptr;
    if (filter || !qApp) return;
    filter = new ShortcutRules(qApp);
    qApp->installEventFilter(filter);
}

} // namespace vl::ui
