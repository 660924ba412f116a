#include "ui/widgets.h"

#include <QAbstractButton>
#include <QApplication>
#include <QShortcutEvent>

namespace vl::ui {

namespace {

// Qt shows a button's Alt shortcut as a press for 100 ms and clicks only then: a key typed
// meanwhile ("+" after Alt+G) would act first, and the answers or the handout of the next
// medicine would be the ones recorded or printed. Here the click comes at once.
class ShortcutsClickAtOnce : public QObject {
  public:
    using QObject::QObject;

  protected:
    bool eventFilter(QObject* o, QEvent* e) override {
        if (e->type() != QEvent::Shortcut) return false;
        auto* b = qobject_cast<QAbstractButton*>(o);
        if (!b || static_cast<QShortcutEvent*>(e)->isAmbiguous()) return false;
        if (b->isEnabled() && b->isVisible()) b->click();
        return true;
    }
};

} // namespace

void clickShortcutsAtOnce() {
    static QObject* filter = nullptr;
    if (filter || !qApp) return;
    filter = new ShortcutsClickAtOnce(qApp);
    qApp->installEventFilter(filter);
}

} // namespace vl::ui
