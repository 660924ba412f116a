// The navigation row under the page: next, previous, print the handout, print the complete
// page, cancel.
#pragma once

#include <QFrame>
#include <array>

class QPushButton;

namespace vl {
struct NavState;
}

namespace vl::ui {

class LinkLabel;

class NavigationRow : public QFrame {
    Q_OBJECT
  public:
    explicit NavigationRow(QWidget* parent = nullptr);

    void setNavigation(const NavState& nav);
    bool nextEnabled() const;
    bool previousEnabled() const;
    // After a move that greyed out the button pressed, the keyboard goes to the other one.
    void focusFrom(const NavState& nav);
    void focusNext();
    void focusPrevious();
    // Imprimir and "Imp.inform." describe the page written last; both off until there is one.
    void setPrinting(bool handout, bool completePage);
    void disableAll();
    QWidget* lastInTabOrder() const;

  signals:
    void nextChosen();
    void previousChosen();
    void handoutPrintChosen();
    void completePrintChosen();
    void cancelChosen();

  private:
    std::array<QPushButton*, 4> Command2_{};
    LinkLabel* Label13_ = nullptr;
};

} // namespace vl::ui
