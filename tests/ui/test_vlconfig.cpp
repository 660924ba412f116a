// The settings window: load from memory, the check boxes, the height check, saving.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <memory>

#include "core/runlog.h"
#include "support/tempdir.h"
#include "ui/vlconfig.h"

namespace fs = std::filesystem;
using vl::ui::VLconfig;

class VLconfigTest : public QObject {
    Q_OBJECT

    std::unique_ptr<vltest::TempDir> dir_;
    vl::Config cfg_;

    template <typename T>
    static T* child(QWidget* w, const QString& name) {
        return w->findChild<T*>(name);
    }

private slots:
    void init() {
        dir_ = std::make_unique<vltest::TempDir>();
        fs::create_directories(dir_->path() / "quiroles/Velantia/config");
        cfg_ = vl::Config{};
        cfg_.n_farmacia = "28001234";
        cfg_.clave = "demo";
    }

    void showsTheSettingsInMemory() {
        VLconfig dlg(vl::Paths(dir_->path()), cfg_, 768);
        QCOMPARE(dlg.windowTitle(), QString::fromUtf8("Velantia:  Configuración"));
        QCOMPARE(child<QLabel>(&dlg, "Label3")->text(),
                 QStringLiteral("Valores admitidos entre 480 y 768"));
        QCOMPARE(child<QLineEdit>(&dlg, "Text1_0")->text(), QStringLiteral("28001234"));
        QCOMPARE(child<QLineEdit>(&dlg, "Text1_1")->text(), QStringLiteral("525"));
        QCOMPARE(child<QLineEdit>(&dlg, "Text1_2")->text(), QStringLiteral("8"));
        QCOMPARE(child<QLineEdit>(&dlg, "Text1_3")->echoMode(), QLineEdit::Password);
        QCOMPARE(child<QLineEdit>(&dlg, "Text1_3")->displayText(), QStringLiteral("****"));
        QVERIFY(!child<QCheckBox>(&dlg, "Check2_2")->isChecked());
        QCOMPARE(child<QComboBox>(&dlg, "Combo1")->currentText(), QStringLiteral("7 - Semanal"));
        QCOMPARE(child<QComboBox>(&dlg, "Combo1")->count(), 5);
        QCOMPARE(child<QComboBox>(&dlg, "Combo2")->currentText(), QStringLiteral("1 No Permanente"));
        for (int i = 0; i < 4; ++i)
            QCOMPARE(child<QLabel>(&dlg, QStringLiteral("Label6_%1").arg(i))->text(),
                     QStringLiteral("*"));
    }

    void verRegistroShowsThisTerminalsLogFromTheEnd() {
        vl::runlog::open(vl::Paths(dir_->path()), "3");
        vl::runlog::log("Envío de 90 bytes: aceptado");
        VLconfig dlg(vl::Paths(dir_->path()), cfg_, 768);
        child<QPushButton>(&dlg, "VerRegistro")->click();
        vl::runlog::close();
        auto* log = child<QPlainTextEdit>(&dlg, "Registro");
        QVERIFY(log && log->isReadOnly() && log->textCursor().atEnd());
        QVERIFY(log->toPlainText().contains(QString::fromUtf8("] Envío de 90 bytes: aceptado\n")));
    }

    void onlyThePriceBoxToggles() {
        VLconfig dlg(vl::Paths(dir_->path()), cfg_, 768);
        dlg.show();
        // Twice each: the fixed boxes stay checked, the price box goes on and off again.
        for (int i = 0; i < 4; ++i) {
            auto* box = child<QCheckBox>(&dlg, QStringLiteral("Check2_%1").arg(i));
            box->click();
            QVERIFY(box->isChecked());
            box->click();
            QCOMPARE(box->isChecked(), i != 2);
        }
    }

    void heightOutsideTheRangeKeepsTheWindowOpen_data() {
        QTest::addColumn<QString>("height");
        QTest::addColumn<bool>("saved");
        QTest::newRow("479") << QStringLiteral("479") << false;
        QTest::newRow("480") << QStringLiteral("480") << true;
        QTest::newRow("screen") << QStringLiteral("768") << true;
        QTest::newRow("screen+1") << QStringLiteral("769") << false;
    }

    void heightOutsideTheRangeKeepsTheWindowOpen() {
        QFETCH(QString, height);
        QFETCH(bool, saved);
        VLconfig dlg(vl::Paths(dir_->path()), cfg_, 768);
        dlg.show();
        child<QLineEdit>(&dlg, "Text1_1")->setText(height);
        child<QPushButton>(&dlg, "Command1")->click();
        QCOMPARE(dlg.isVisible(), !saved);
        QCOMPARE(fs::exists(dir_->path() / "quiroles/Velantia/config/datos.txt"), saved);
        QCOMPARE(cfg_.alto_ventana, saved ? height.toFloat() : 525.0f);
    }

    void savesTypedValues() {
        VLconfig dlg(vl::Paths(dir_->path()), cfg_, 768);
        dlg.show();
        child<QLineEdit>(&dlg, "Text1_1")->setText(QStringLiteral("600px"));
        child<QComboBox>(&dlg, "Combo1")->setEditText(QString::fromUtf8("10 días"));
        child<QComboBox>(&dlg, "Combo2")->setCurrentIndex(0);
        child<QCheckBox>(&dlg, "Check2_2")->click();
        child<QPushButton>(&dlg, "Command1")->click();
        QVERIFY(!dlg.isVisible());
        QCOMPARE(vltest::readBytes(dir_->path() / "quiroles/Velantia/config/datos.txt"),
                 std::string("\"28001234\"\r\n\"600px\"\r\n1\r\n\"10 d\xED" "as\"\r\n\"8\"\r\n"
                             "\"demo\"\r\n"));
        QCOMPARE(vltest::readBytes(dir_->path() / "quiroles/tipoconect"), std::string("0\r\n"));
        QCOMPARE(cfg_.alto_ventana, 600.0f);
        QCOMPARE(cfg_.tipo_conexion, static_cast<std::int16_t>(0));
        QCOMPARE(cfg_.descargar_precios, std::string("1"));
    }
};

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    Q_INIT_RESOURCE(assets);
    VLconfigTest t;
    return QTest::qExec(&t, argc, argv);
}

#include "test_vlconfig.moc"
