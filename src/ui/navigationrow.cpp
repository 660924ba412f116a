#include "ui/navigationrow.h"

#include <QHBoxLayout>
#include <QPushButton>

#include "infopage/navigation.h"
#include "ui/widgets.h"

namespace vl::ui {

NavigationRow::NavigationRow(QWidget* parent) : QFrame(parent) {
    setObjectName(QStringLiteral("Frame2"));
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 2, 0, 2);
    const char* captions[4] = {"&Siguiente +", "&Anterior -", "&Imprimir", "&Cancelar"};
    for (int i = 0; i < 4; ++i) {
        Command2_[i] = named(new QPushButton(QString::fromUtf8(captions[i]), this),
                             QStringLiteral("Command2_%1").arg(i));
        Command2_[i]->setMinimumWidth(100);
    }
    Label13_ = named(new LinkLabel(QStringLiteral("Imp.inform."), this), QStringLiteral("Label13"),
                     QString::fromUtf8("Imprimir la información completa"));
    Label13_->setStyleSheet(linkStyle());
    row->addWidget(Command2_[0]);
    row->addWidget(Command2_[1]);
    row->addWidget(Command2_[2]);
    row->addWidget(Label13_);
    row->addStretch(1);
    row->addWidget(Command2_[3]);
    setPrinting(false, false);
    setTabOrder(Command2_[2], Label13_);
    setTabOrder(Label13_, Command2_[3]);

    connect(Command2_[0], &QPushButton::clicked, this, &NavigationRow::nextChosen);
    connect(Command2_[1], &QPushButton::clicked, this, &NavigationRow::previousChosen);
    connect(Command2_[2], &QPushButton::clicked, this, &NavigationRow::handoutPrintChosen);
    connect(Command2_[3], &QPushButton::clicked, this, &NavigationRow::cancelChosen);
    connect(Label13_, &LinkLabel::clicked, this, &NavigationRow::completePrintChosen);
}

void NavigationRow::setNavigation(const NavState& nav) {
    Command2_[0]->setEnabled(nav.nextEnabled);
    Command2_[1]->setEnabled(nav.prevEnabled);
}

bool NavigationRow::nextEnabled() const {
    return Command2_[0]->isEnabled();
}
bool NavigationRow::previousEnabled() const {
    return Command2_[1]->isEnabled();
}
void NavigationRow::focusNext() {
    Command2_[0]->setFocus();
}
void NavigationRow::focusPrevious() {
    Command2_[1]->setFocus();
}

void NavigationRow::focusFrom(const NavState& nav) {
    if (nav.focus == 0) focusNext();
    if (nav.focus == 1) focusPrevious();
}

void NavigationRow::setPrinting(bool handout, bool completePage) {
    Command2_[2]->setEnabled(handout);
    // Hidden rather than greyed, as it always was, but its place is kept: the row does not jump.
    QSizePolicy keep = Label13_->sizePolicy();
    keep.setRetainSizeWhenHidden(true);
    Label13_->setSizePolicy(keep);
    Label13_->setVisible(completePage);
}

QWidget* NavigationRow::lastInTabOrder() const {
    return Command2_[3];
}

void NavigationRow::disableAll() {
    for (int i = 0; i < 3; ++i)
        Command2_[i]->setEnabled(false);
}

} // namespace vl::ui
