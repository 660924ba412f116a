#include "ui/headerbar.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>

#include "ui/widgets.h"

namespace vl::ui {

HeaderBar::HeaderBar(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("cabecera"));
    auto* image1 = named(new QLabel(this), QStringLiteral("Image1"), QStringLiteral("Velantia"));
    image1->setPixmap(QPixmap(QStringLiteral(":/assets/logo.png")));
    image1->setFixedSize(100, 50);
    image1->setScaledContents(true);
    auto* label1 = named(new QLabel(QStringLiteral("Velantia"), this), QStringLiteral("Label1"));
    label1->setStyleSheet(QStringLiteral("font-weight:bold;color:#336633;"));
    Label6_ = named(new QLabel(this), QStringLiteral("Label6"),
                    QString::fromUtf8("Referencia de la dispensación"));
    TEST_ =
        named(new LinkLabel(QString::fromUtf8("Consultar código"), this), QStringLiteral("TEST"));
    TEST_->setStyleSheet(linkStyle());
    TEST_->hide();
    connect(TEST_, &LinkLabel::clicked, this, &HeaderBar::codeQueryChosen);

    // Label3 has no role of its own; it is kept, empty and hidden, for the tools that look it up.
    named(new QLabel(this), QStringLiteral("Label3"))->hide();

    Label2_ = named(new QLabel(QStringLiteral("Medicamento 0/0"), this), QStringLiteral("Label2"));
    auto* label4 =
        named(new QLabel(QStringLiteral("ESCape Cancelar"), this), QStringLiteral("Label4"));
    label4->setStyleSheet(QStringLiteral("color:#666666;"));
    Label14_ = named(new QLabel(this), QStringLiteral("Label14"), QStringLiteral("Precio"));
    Label14_->setStyleSheet(QStringLiteral("font-weight:bold;"));
    Label15_ = named(new LinkLabel(QStringLiteral("Ayuda"), this), QStringLiteral("Label15"));
    Label15_->setStyleSheet(linkStyle());
    connect(Label15_, &LinkLabel::clicked, this, &HeaderBar::helpChosen);
    Check1_ =
        named(new QCheckBox(this), QStringLiteral("Check1"), QStringLiteral("Mostrar la encuesta"));
    Check1_->setChecked(true);
    Check1_->setToolTip(QStringLiteral("Mostrar la encuesta"));
    connect(Check1_, &QCheckBox::clicked, this, &HeaderBar::surveySwitchToggled);

    auto* commands = new QHBoxLayout;
    commands->setSpacing(6);
    const char* captions[3] = {"Actualizar", "Enviar", "Configurar"};
    for (int i = 0; i < 3; ++i) {
        Label5_[i] = named(new LinkLabel(QString::fromLatin1(captions[i]), this),
                           QStringLiteral("Label5_%1").arg(i));
        Label5_[i]->setAlignment(Qt::AlignCenter);
        Label5_[i]->setStyleSheet(
            QStringLiteral("QLabel{font-weight:bold;color:#800080;background:#ffc0cb;"
                           "padding:2px 8px;border:1px solid transparent;}"
                           "QLabel:focus{border:1px dotted #800080;}"));
        commands->addWidget(Label5_[i]);
        const auto command = static_cast<Command>(i);
        connect(Label5_[i], &LinkLabel::clicked, this,
                [this, command] { emit commandChosen(command); });
    }

    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setHorizontalSpacing(12);
    grid->setVerticalSpacing(2);
    grid->addWidget(image1, 0, 0, 3, 1, Qt::AlignTop);
    grid->addWidget(Label6_, 0, 1);
    grid->addWidget(TEST_, 0, 2);
    grid->addLayout(commands, 0, 3, 1, 3, Qt::AlignRight);
    grid->addWidget(label1, 1, 1);
    grid->addWidget(Label2_, 2, 1);
    grid->addWidget(label4, 2, 2);
    grid->addWidget(Label14_, 2, 3);
    grid->addWidget(Label15_, 2, 4, Qt::AlignRight);
    grid->addWidget(Check1_, 2, 5);
    grid->setColumnStretch(3, 1);

    // Left to right, top row first.
    setTabOrder(TEST_, Label5_[0]);
    setTabOrder(Label5_[0], Label5_[1]);
    setTabOrder(Label5_[1], Label5_[2]);
    setTabOrder(Label5_[2], Label15_);
    setTabOrder(Label15_, Check1_);
}

void HeaderBar::setReference(const QString& reference) {
    Label6_->setText(reference);
}
void HeaderBar::setPosition(const QString& counter) {
    Label2_->setText(counter);
}
void HeaderBar::setPrice(const QString& price) {
    Label14_->setText(price);
}
void HeaderBar::setSurveySwitch(bool on) {
    Check1_->setChecked(on);
}
bool HeaderBar::surveySwitch() const {
    return Check1_->isChecked();
}
void HeaderBar::offerCodeQuery() {
    TEST_->show();
}

void HeaderBar::hideCommands() {
    for (auto* l : Label5_)
        l->hide();
}

} // namespace vl::ui
