#include "ui/surveyview.h"

#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QListView>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QStylePainter>
#include <QStyledItemDelegate>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <algorithm>

#include "core/text.h"
#include "ui/widgets.h"

namespace vl::ui {

namespace {

QString q(const std::string& cp1252) {
    return QString::fromStdString(fromCp1252(cp1252));
}

// In the open list an answer too long for one line wraps at the list's width, so every answer
// reads whole however narrow the screen.
class WrappedAnswer : public QStyledItemDelegate {
  public:
    explicit WrappedAnswer(QComboBox* list) : QStyledItemDelegate(list), list_(list) {}

    QSize sizeHint(const QStyleOptionViewItem& o, const QModelIndex& i) const override {
        const QSize line = QStyledItemDelegate::sizeHint(o, i);
        const int room = std::max(list_->view()->viewport()->width(), list_->width()) - 12;
        const QRect text = o.fontMetrics.boundingRect(QRect(0, 0, std::max(room, 40), 1 << 20),
                                                      Qt::TextWordWrap, i.data().toString());
        return {line.width(), line.height() + std::max(0, text.height() - o.fontMetrics.height())};
    }
    void paint(QPainter* p, const QStyleOptionViewItem& o, const QModelIndex& i) const override {
        QStyleOptionViewItem wrapped(o);
        wrapped.features |= QStyleOptionViewItem::WrapText;
        wrapped.textElideMode = Qt::ElideNone;
        QStyledItemDelegate::paint(p, wrapped, i);
    }

  private:
    QComboBox* list_;
};

// An answer changes only by a choice made in the list: the wheel scrolls the panel instead of
// turning the answer under the pointer. A long answer never widens the window: the closed list
// shows as much as its column holds, elided, and the whole text in its tooltip.
class AnswerList : public QComboBox {
  public:
    explicit AnswerList(QWidget* parent) : QComboBox(parent) {
        setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
        setMinimumContentsLength(12);
        setItemDelegate(new WrappedAnswer(this));
        if (auto* list = qobject_cast<QListView*>(view())) {
            list->setResizeMode(QListView::Adjust); // heights follow the list's width
            list->setUniformItemSizes(false);
        }
        view()->setTextElideMode(Qt::ElideNone);
        connect(this, &QComboBox::currentIndexChanged, this, [this] { setToolTip(currentText()); });
    }

  protected:
    void wheelEvent(QWheelEvent* e) override { e->ignore(); }
    void paintEvent(QPaintEvent*) override {
        QStylePainter p(this);
        QStyleOptionComboBox opt;
        initStyleOption(&opt);
        p.drawComplexControl(QStyle::CC_ComboBox, opt);
        const QRect field =
            style()->subControlRect(QStyle::CC_ComboBox, &opt, QStyle::SC_ComboBoxEditField, this);
        opt.currentText =
            fontMetrics().elidedText(opt.currentText, Qt::ElideRight, field.width() - 2);
        p.drawControl(QStyle::CE_ComboBoxLabel, opt);
    }
};

void whiteBackground(QWidget* w) {
    QPalette p = w->palette();
    p.setColor(QPalette::Window, Qt::white);
    w->setPalette(p);
    w->setAutoFillBackground(true);
}

} // namespace

SurveyView::SurveyView(QWidget* parent) : QFrame(parent) {
    setObjectName(QStringLiteral("Frame1"));
    whiteBackground(this);

    // Row element 0 of each array is the hidden template, kept for the tools that look it up.
    RESP_[0] = named(new AnswerList(this), QStringLiteral("RESP_0"));
    RESP_[0]->addItem(QStringLiteral("Combo1"));
    TIT_[0] = named(new QLabel(this), QStringLiteral("TIT_0"));
    Sele_[0] = named(new QLabel(this), QStringLiteral("Sele_0"));
    Orden_[0] = named(new QLabel(QStringLiteral("orden"), this), QStringLiteral("Orden_0"));
    named(new QRadioButton(QStringLiteral("Option1"), this), QStringLiteral("Option1"));
    for (QWidget* w : findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        w->hide();

    rowsArea_ = new QWidget;
    rowsArea_->setObjectName(QStringLiteral("filas"));
    whiteBackground(rowsArea_);
    rowsGrid_ = new QGridLayout(rowsArea_);
    rowsGrid_->setContentsMargins(6, 4, 6, 4);
    rowsGrid_->setHorizontalSpacing(8);
    rowsGrid_->setVerticalSpacing(2);
    scroll_ = new QScrollArea(this);
    scroll_->setObjectName(QStringLiteral("desplazamiento"));
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll_->setWidgetResizable(true);
    scroll_->setWidget(rowsArea_);
    scroll_->setFocusPolicy(Qt::NoFocus); // its lists take the focus; it would show none
    scroll_->setMinimumHeight(1); // the panel's height is set from its rows, not the scroll bars
    whiteBackground(scroll_->viewport());

    Todo_ = named(new QPushButton(QStringLiteral("Aplicar a &Todo el tratamiento"), this),
                  QStringLiteral("Todo"), QStringLiteral("Aplicar a todo el tratamiento"));
    Todo_->setEnabled(false);
    Kborrar_ = named(new QPushButton(QStringLiteral("&Borrar"), this), QStringLiteral("Kborrar"));
    Kborrar_->setEnabled(false); // nothing recorded to erase until a medicine says otherwise
    Kgrabar_ = named(new QPushButton(QStringLiteral("&Grabar"), this), QStringLiteral("Kgrabar"));
    Command1_ = named(new QPushButton(QStringLiteral("<"), this), QStringLiteral("Command1"),
                      QStringLiteral("Medicamento anterior"));
    Command3_ = named(new QPushButton(QStringLiteral(">"), this), QStringLiteral("Command3"),
                      QStringLiteral("Medicamento siguiente"));
    for (auto* arrow : {Command1_, Command3_})
        arrow->setFixedWidth(arrow->sizeHint().height() + 8);
    Pgrabar_ =
        named(new QLabel(QStringLiteral("PENDIENTE DE GRABAR"), this), QStringLiteral("Pgrabar"));
    Pgrabar_->setStyleSheet(QStringLiteral("QLabel{color:red;font-weight:bold;}"
                                           "QLabel:disabled{color:#c0c0c0;}"));

    // Three short lines beside the two rows of buttons: the panel keeps its width and height.
    Cerrada_ = named(new QLabel(QString::fromUtf8("Dispensación cerrada:\nsus respuestas "
                                                  "grabadas\nya se han pasado al envío"),
                                this),
                     QStringLiteral("Cerrada"));
    Cerrada_->setStyleSheet(QStringLiteral("QLabel{color:red;font-weight:bold;}"));
    Cerrada_->hide();

    buttons_ = new QWidget(this);
    buttons_->setObjectName(QStringLiteral("botones"));
    auto* g = new QGridLayout(buttons_);
    g->setContentsMargins(6, 2, 6, 4);
    g->setHorizontalSpacing(6);
    g->setVerticalSpacing(2);
    g->addWidget(Todo_, 0, 1, 1, 4);
    g->addWidget(Pgrabar_, 1, 0);
    g->addWidget(Cerrada_, 0, 0, 2, 1);
    g->addWidget(Kborrar_, 1, 1);
    g->addWidget(Command1_, 1, 2);
    g->addWidget(Kgrabar_, 1, 3);
    g->addWidget(Command3_, 1, 4);

    auto* v = new QVBoxLayout(this);
    v->setContentsMargins(0, 0, 0, 0);
    v->setSpacing(0);
    v->addWidget(scroll_, 1);
    v->addWidget(buttons_);

    connect(Todo_, &QPushButton::clicked, this, &SurveyView::applyToAllChosen);
    connect(Kborrar_, &QPushButton::clicked, this, &SurveyView::clearChosen);
    connect(Kgrabar_, &QPushButton::clicked, this, &SurveyView::recordChosen);
    connect(Command1_, &QPushButton::clicked, this, &SurveyView::previousChosen);
    connect(Command3_, &QPushButton::clicked, this, &SurveyView::nextChosen);
}

void SurveyView::build(const SurveyPanel& panel) {
    Sele_[0]->clear();
    TIT_[0]->clear();
    RESP_[0]->clear();
    std::array<int, 2> nextGridRow{0, 0};
    for (int k = 1; k <= SurveyMaxRows; ++k) {
        const SurveyRow& row = panel.rows[k];
        if (!row.exists) {
            for (QWidget* w : {static_cast<QWidget*>(TIT_[k]), static_cast<QWidget*>(RESP_[k]),
                               static_cast<QWidget*>(Sele_[k]), static_cast<QWidget*>(Orden_[k])})
                delete w;
            TIT_[k] = nullptr;
            RESP_[k] = nullptr;
            Sele_[k] = nullptr;
            Orden_[k] = nullptr;
            continue;
        }
        if (!TIT_[k]) {
            TIT_[k] = named(new QLabel(rowsArea_), QStringLiteral("TIT_%1").arg(k));
            // A long question wraps inside its column instead of widening the window.
            TIT_[k]->setWordWrap(true);
            RESP_[k] = named(new AnswerList(rowsArea_), QStringLiteral("RESP_%1").arg(k));
            Sele_[k] = named(new QLabel(rowsArea_), QStringLiteral("Sele_%1").arg(k));
            Orden_[k] = named(new QLabel(rowsArea_), QStringLiteral("Orden_%1").arg(k));
            Sele_[k]->hide();
            Orden_[k]->hide();
            connect(RESP_[k], qOverload<int>(&QComboBox::activated), this,
                    [this, k](int p) { emit answerChosen(k, p); });
        }
        rowsGrid_->removeWidget(TIT_[k]);
        rowsGrid_->removeWidget(RESP_[k]);
        TIT_[k]->setText(q(row.title));
        QFont f = TIT_[k]->font();
        f.setBold(row.bold);
        TIT_[k]->setFont(f);
        TIT_[k]->setVisible(row.titleShown);
        RESP_[k]->clear();
        for (const auto& a : row.answers) {
            RESP_[k]->addItem(q(a));
            RESP_[k]->setItemData(RESP_[k]->count() - 1, q(a), Qt::ToolTipRole);
        }
        RESP_[k]->setAccessibleName(q(row.title));
        TIT_[k]->setBuddy(RESP_[k]);
        RESP_[k]->setVisible(row.listShown);
        if (!row.titleShown && !row.listShown) continue; // a row that shows nothing takes no room
        const int column = row.column * 3;
        const int gridRow = nextGridRow[row.column]++;
        if (row.listShown) {
            rowsGrid_->addWidget(TIT_[k], gridRow, column);
            rowsGrid_->addWidget(RESP_[k], gridRow, column + 1);
        } else {
            rowsGrid_->addWidget(TIT_[k], gridRow, column, 1, 2);
        }
    }
    scroll_->setVisible(nextGridRow[0] + nextGridRow[1] > 0);
    // Rows stand at the top; in two columns a little room separates the columns.
    rowsGrid_->setRowStretch(std::max(nextGridRow[0], nextGridRow[1]), 1);
    rowsGrid_->setColumnMinimumWidth(2, panel.twoColumns ? 12 : 0);
    rowsGrid_->setColumnStretch(panel.twoColumns ? 5 : 2, 1);

    // The recording row stands under the second column when there is one.
    auto* g = static_cast<QGridLayout*>(buttons_->layout());
    g->setColumnStretch(0, 0);
    g->setColumnStretch(5, 0);
    g->setColumnStretch(panel.twoColumns ? 0 : 5, 1);
    scroll_->setMinimumWidth(rowsArea_->minimumSizeHint().width() +
                             scroll_->verticalScrollBar()->sizeHint().width());
    showChoices(panel);
}

void SurveyView::showChoices(const SurveyPanel& panel) {
    for (int k = 1; k <= SurveyMaxRows; ++k) {
        if (!RESP_[k]) continue;
        const SurveyRow& row = panel.rows[k];
        const QSignalBlocker block(RESP_[k]);
        RESP_[k]->setCurrentIndex(row.listIndex < RESP_[k]->count() ? row.listIndex : -1);
        RESP_[k]->setToolTip(RESP_[k]->currentText());
        Sele_[k]->setText(q(row.sele));
        Orden_[k]->setText(q(row.orden));
    }
}

void SurveyView::setRecordingControls(const RecordingControls& c) {
    Pgrabar_->setEnabled(c.pgrabarEnabled && !closed_);
    Kgrabar_->setEnabled(c.kgrabarEnabled && !closed_);
    Kborrar_->setEnabled(c.kborrarEnabled && !closed_);
}

void SurveyView::setApplyToAllEnabled(bool on) {
    Todo_->setEnabled(on && !closed_);
}

void SurveyView::showClosed() {
    if (closed_) return;
    closed_ = true;
    setRecordingControls({});
    setApplyToAllEnabled(false);
    // The answers shown can no longer be changed: greyed, they read as what was sent.
    rowsArea_->setEnabled(false);
    Pgrabar_->hide();
    Cerrada_->show();
}

int SurveyView::naturalHeight(int width) const {
    const int inside = width - scroll_->verticalScrollBar()->sizeHint().width();
    const int rows = scroll_->isHidden()                        ? 0
                     : rowsArea_->layout()->hasHeightForWidth() ? rowsArea_->heightForWidth(inside)
                                                                : rowsArea_->sizeHint().height();
    return rows + buttons_->sizeHint().height();
}

int SurveyView::smallestHeight() const {
    const int oneRow = RESP_[0]->sizeHint().height() + 8;
    const int rows = scroll_->isHidden() ? 0 : std::min(rowsArea_->sizeHint().height(), 2 * oneRow);
    return rows + buttons_->sizeHint().height();
}

void SurveyView::focus(FocusTarget target) {
    if (target == FocusTarget::Command1) Command1_->setFocus();
    if (target == FocusTarget::Command3) Command3_->setFocus();
}

void SurveyView::focusRecord() {
    Kgrabar_->setFocus();
}

bool SurveyView::focusFirstList() {
    for (int k = 1; k <= SurveyMaxRows; ++k)
        if (RESP_[k] && !RESP_[k]->isHidden()) {
            RESP_[k]->setFocus();
            return true;
        }
    return false;
}

void SurveyView::chainTabOrder(QWidget* before) {
    QWidget* last = before;
    for (int k = 1; k <= SurveyMaxRows; ++k) {
        if (!RESP_[k] || RESP_[k]->isHidden()) continue;
        setTabOrder(last, RESP_[k]);
        last = RESP_[k];
    }
    for (QWidget* w : {static_cast<QWidget*>(Todo_), static_cast<QWidget*>(Kborrar_),
                       static_cast<QWidget*>(Command1_), static_cast<QWidget*>(Kgrabar_),
                       static_cast<QWidget*>(Command3_)}) {
        setTabOrder(last, w);
        last = w;
    }
}

} // namespace vl::ui
