#include "ui/vlconfig.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "core/runlog.h"
#include "core/text.h"
#include "settings/settings.h"
#include "ui/dialogs.h"
#include "ui/logviewer.h"
#include "ui/widgets.h"

namespace vl::ui {

namespace {

QString q(const std::string& cp1252) {
    return QString::fromStdString(fromCp1252(cp1252));
}

} // namespace

VLconfig::VLconfig(const Paths& paths, Config& cfg, int screenHeightPx, QWidget* parent)
    : QDialog(parent), paths_(paths), cfg_(cfg), screenHeightPx_(screenHeightPx) {
    setObjectName(QStringLiteral("VLconfig"));
    installShortcutRules();
    setWindowTitle(QString::fromUtf8("Velantia:  Configuración"));
    setModal(true);

    auto* logo = new QLabel(this);
    logo->setObjectName(QStringLiteral("Image1"));
    logo->setPixmap(QPixmap(QStringLiteral(":/assets/logo.png")));
    logo->setAlignment(Qt::AlignTop);

    for (int i = 0; i < 4; ++i) {
        Text1_[i] = new QLineEdit(this);
        Text1_[i]->setObjectName(QStringLiteral("Text1_%1").arg(i));
    }
    Text1_[3]->setEchoMode(QLineEdit::Password);
    // The password shows as "*", as the pharmacists know it, not as the style's dot.
    Text1_[3]->setStyleSheet(QStringLiteral("lineedit-password-character: 42;"));

    auto* farmacia = new QGroupBox(QStringLiteral("Farmacia"), this);
    auto* fl = new QGridLayout(farmacia);
    const char* names[3] = {"Núm.Farmacia", "Cód.Empresa", "Clave"};
    const int fields[3] = {0, 2, 3};
    for (int i = 0; i < 3; ++i) {
        auto* l = new QLabel(QString::fromUtf8(names[i]), farmacia);
        l->setObjectName(QStringLiteral("Label1_%1").arg(i));
        fl->addWidget(l, 0, i);
        fl->addWidget(Text1_[fields[i]], 1, i);
    }

    auto* ventana = new QGroupBox(QStringLiteral("Ventana de trabajo"), this);
    auto* vl2 = new QHBoxLayout(ventana);
    auto* label2 = new QLabel(QString::fromUtf8("Tamaño de la pantalla de Velantia"), ventana);
    label2->setObjectName(QStringLiteral("Label2"));
    Label3_ = new QLabel(ventana);
    Label3_->setObjectName(QStringLiteral("Label3"));
    vl2->addWidget(label2);
    vl2->addWidget(Text1_[1]);
    // Four digits and the box's own margins, at any font.
    Text1_[1]->setMinimumWidth(Text1_[1]->fontMetrics().horizontalAdvance(QStringLiteral("00000")) +
                               12);
    vl2->addWidget(Label3_);

    auto* actualizar = new QGroupBox(QStringLiteral("Actualizar"), this);
    auto* al = new QGridLayout(actualizar);
    auto* label5 = new QLabel(QStringLiteral("Actualizado"), actualizar);
    label5->setObjectName(QStringLiteral("Label5"));
    al->addWidget(label5, 0, 1);
    const char* checks[4] = {"Encuesta", "Alertas de velantia", "Precios de medicamentos",
                             "Enviar respuestas a la encuesta"};
    for (int i = 0; i < 4; ++i) {
        Check2_[i] = new QCheckBox(QString::fromUtf8(checks[i]), actualizar);
        Check2_[i]->setObjectName(QStringLiteral("Check2_%1").arg(i));
        Label6_[i] = new QLabel(QStringLiteral("*"), actualizar);
        Label6_[i]->setObjectName(QStringLiteral("Label6_%1").arg(i));
        al->addWidget(Check2_[i], i + 1, 0);
        al->addWidget(Label6_[i], i + 1, 1);
        connect(Check2_[i], &QCheckBox::clicked, this, [this, i] { Check2_Click(i); });
    }
    auto* label4 = new QLabel(QStringLiteral("Frecuencia"), actualizar);
    label4->setObjectName(QStringLiteral("Label4"));
    Combo1_ = new QComboBox(actualizar);
    Combo1_->setObjectName(QStringLiteral("Combo1"));
    Combo1_->setEditable(true);
    auto* label7 = new QLabel(QString::fromUtf8("Conexión a internet"), actualizar);
    label7->setObjectName(QStringLiteral("Label7"));
    Combo2_ = new QComboBox(actualizar);
    Combo2_->setObjectName(QStringLiteral("Combo2"));
    Combo2_->setEditable(true);
    al->addWidget(label4, 5, 0);
    al->addWidget(Combo1_, 6, 0);
    al->addWidget(label7, 7, 0);
    al->addWidget(Combo2_, 8, 0);

    Command1_ = new QPushButton(QStringLiteral("&Guardar"), this);
    Command1_->setObjectName(QStringLiteral("Command1"));
    connect(Command1_, &QPushButton::clicked, this, &VLconfig::Command1_Click);

    // For the pharmacy's support: what this terminal's runs did.
    auto* verRegistro = new QPushButton(QStringLiteral("Ver registro"), this);
    verRegistro->setObjectName(QStringLiteral("VerRegistro"));
    connect(verRegistro, &QPushButton::clicked, this, &VLconfig::showLog);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(verRegistro);
    bottom->addStretch(1);
    bottom->addWidget(Command1_);

    auto* right = new QVBoxLayout;
    right->addWidget(farmacia);
    right->addWidget(ventana);
    right->addWidget(actualizar);
    right->addLayout(bottom);
    auto* top = new QHBoxLayout(this);
    top->addWidget(logo);
    top->addLayout(right);

    setTabOrder(Text1_[0], Text1_[2]);
    setTabOrder(Text1_[2], Text1_[3]);
    setTabOrder(Text1_[3], Text1_[1]);
    setTabOrder(Text1_[1], Check2_[2]);
    setTabOrder(Check2_[2], Combo1_);
    setTabOrder(Combo1_, Combo2_);
    setTabOrder(Combo2_, Command1_);
    for (int i : {0, 1, 3}) Check2_[i]->setFocusPolicy(Qt::NoFocus);

    // Load: everything from the settings in memory, never from the file.
    Label3_->setText(QString::fromStdString(admittedRangeText(screenHeightPx_)));
    const SettingsForm f = formFromConfig(cfg_);
    Text1_[0]->setText(q(f.n_farmacia));
    Text1_[1]->setText(q(f.alto_ventana));
    Text1_[2]->setText(q(f.codigo_empresa));
    Text1_[3]->setText(q(f.clave));
    for (int i : {0, 1, 3}) Check2_[i]->setChecked(true);
    Check2_[2]->setChecked(f.precios);
    for (const auto& c : frecuenciaChoices()) Combo1_->addItem(q(c));
    Combo1_->setEditText(q(f.frecuencia));
    for (const auto& c : conexionChoices()) Combo2_->addItem(q(c));
    Combo2_->setEditText(q(f.conexion));
    const auto dates = receivedDates(paths_);
    for (int i = 0; i < 4; ++i) Label6_[i]->setText(q(dates[i]));
}

void VLconfig::showLog() {
    const auto current = runlog::currentPath();
    auto* viewer =
        new LogViewer(paths_, current.empty() ? runlog::logPath(paths_, "") : current, this);
    viewer->setAttribute(Qt::WA_DeleteOnClose);
    viewer->open();
}

void VLconfig::Check2_Click(int index) {
    if (index != 2) Check2_[index]->setChecked(true);
}

void VLconfig::Command1_Click() {
    SettingsForm f;
    f.n_farmacia = Text1_[0]->text().toStdString();
    f.alto_ventana = Text1_[1]->text().toStdString();
    f.codigo_empresa = Text1_[2]->text().toStdString();
    f.clave = Text1_[3]->text().toStdString();
    f.precios = Check2_[2]->isChecked();
    f.frecuencia = Combo1_->currentText().toStdString();
    f.conexion = Combo2_->currentText().toStdString();
    if (const UnstorableValue bad = findUnstorableValue(f); bad.field >= 0) {
        Dialogs::message(this, QString::fromStdString(bad.message), QStringLiteral("Velantia"),
                         QMessageBox::Ok, QMessageBox::Warning);
        QWidget* const fields[6] = {Text1_[0], Text1_[1], Text1_[2], Text1_[3], Combo1_, Combo2_};
        fields[bad.field]->setFocus();
        return;
    }
    for (std::string* v :
         {&f.n_farmacia, &f.alto_ventana, &f.codigo_empresa, &f.clave, &f.frecuencia, &f.conexion})
        *v = toCp1252(*v);
    switch (saveSettings(paths_, f, screenHeightPx_, cfg_)) {
    case SaveOutcome::HeightOutOfRange:
        return; // Label3 already shows the admitted range
    case SaveOutcome::WriteFailed:
        Dialogs::message(this,
                         QString::fromUtf8("No se ha podido guardar la configuración en %1.")
                             .arg(QString::fromStdString(paths_.product("config").string())),
                         QStringLiteral("Velantia"), QMessageBox::Ok, QMessageBox::Critical);
        return;
    case SaveOutcome::Saved:
        accept();
        return;
    }
}

} // namespace vl::ui
