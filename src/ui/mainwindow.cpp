#include "ui/mainwindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTimer>
#include <QUrl>
#include <thread>

#include "core/text.h"
#include "infopage/navigation.h"
#include "infopage/pages.h"
#include "outbox/lock.h"
#include "outbox/outbox.h"
#include "platform/fileio.h"
#include "send/send.h"
#include "send/sendpage.h"
#include "ui/actualizar.h"
#include "ui/dialogs.h"
#include "ui/pageview.h"
#include "ui/vlconfig.h"
#include "ui/widgets.h"
#include "update/recovery.h"

namespace vl::ui {

namespace {

constexpr int WindowWidthTw = 9600;
constexpr int WbTopTw = 900;
constexpr int WbLeftTw = 120;
constexpr int WbWidthTw = 9255;
constexpr int Frame2HeightTw = 495;
constexpr const char* HelpUrl = "http://www.velantia.es/Velantia/index.html";

QString q(const std::string& cp1252) {
    return QString::fromStdString(fromCp1252(cp1252));
}
std::string cp(const QString& s) {
    return toCp1252(s.toStdString());
}

QSize screenPx() {
    const QScreen* s = QGuiApplication::primaryScreen();
    return s ? s->geometry().size() : QSize(1024, 768);
}

template <typename W> W* named(W* w, const char* name) {
    w->setObjectName(QString::fromLatin1(name));
    return w;
}

} // namespace

Velantia::Velantia(const Paths& paths, const QString& commandLine, QWidget* parent)
    : QWidget(parent), paths_(paths), files_(paths) {
    setObjectName(QStringLiteral("Velantia"));
    setWindowTitle(QStringLiteral("Velantia"));
    setWindowIcon(QIcon(QStringLiteral(":/assets/logo.png")));
    buildControls();
    formLoad(commandLine);
}

Velantia::~Velantia() {
    qApp->removeEventFilter(this);
}

void Velantia::buildControls() {
    setFixedWidth(px(WindowWidthTw));
    setAutoFillBackground(true);

    Timer4_ = named(new QTimer(this), "Timer4");
    Timer4_->setInterval(250);
    Timer3_ = named(new QTimer(this), "Timer3");
    Timer3_->setInterval(1000);

    Frame5_ = named(new QFrame(this), "Frame5");
    placeTw(Frame5_, 6600, WbTopTw + 120, 2700, 420);
    Frame5_->setFrameShape(QFrame::Box);
    Frame5_->hide();
    Check3_ = named(new QCheckBox(QStringLiteral("NO enviado"), Frame5_), "Check3");
    placeTw(Check3_, 1380, 60, 1260, 300);
    Check2_ = named(new QCheckBox(QStringLiteral("Enviado"), Frame5_), "Check2");
    placeTw(Check2_, 60, 60, 1260, 300);

    Frame2_ = named(new QFrame(this), "Frame2");
    placeTw(Frame2_, -60, 6000, 9735, Frame2HeightTw);
    const char* captions[4] = {"&Siguiente +", "&Anterior -", "&Imprimir", "&Cancelar"};
    const int lefts[4] = {180, 1800, 3420, 8100};
    for (int i = 0; i < 4; ++i) {
        Command2_[i] = new QPushButton(QString::fromUtf8(captions[i]), Frame2_);
        Command2_[i]->setObjectName(QStringLiteral("Command2_%1").arg(i));
        placeTw(Command2_[i], lefts[i], 60, 1500, 375);
        connect(Command2_[i], &QPushButton::clicked, this, [this, i] { Command2_Click(i); });
    }
    Label13_ = named(new LinkLabel(QStringLiteral("Imp.inform."), Frame2_), "Label13");
    placeTw(Label13_, 5100, 120, 1200, 300);
    Label13_->setStyleSheet(QStringLiteral("color:#336633;text-decoration:underline;"));
    connect(Label13_, &LinkLabel::clicked, this, &Velantia::Label13_Click);

    Label3_ = named(new QLabel(this), "Label3");
    placeTw(Label3_, 2040, 600, 300, 255);
    Label2_ = named(new QLabel(QStringLiteral("Medicamento 0/0"), this), "Label2");
    placeTw(Label2_, 2040, 600, 1800, 255);

    const char* tops[3] = {"Actualizar", "Enviar", "Configurar"};
    for (int i = 0; i < 3; ++i) {
        Label5_[i] = new LinkLabel(QString::fromLatin1(tops[i]), this);
        Label5_[i]->setObjectName(QStringLiteral("Label5_%1").arg(i));
        Label5_[i]->setAlignment(Qt::AlignCenter);
        Label5_[i]->setStyleSheet(
            QStringLiteral("font-weight:bold;color:#800080;background:#ffc0cb;"));
        placeTw(Label5_[i], 5700 + i * 1260, 120, 1170, 315);
        connect(Label5_[i], &LinkLabel::clicked, this, [this, i] { Label5_Click(i); });
    }

    Frame4_ = named(new QFrame(this), "Frame4");
    placeTw(Frame4_, WbLeftTw, WbTopTw + 600, WbWidthTw, 1500);
    Frame4_->setFrameShape(QFrame::Box);
    Frame4_->setAutoFillBackground(true);
    Frame4_->hide();
    PBW_ = named(new QProgressBar(Frame4_), "PBW");
    PBW_->setRange(0, 100);
    placeTw(PBW_, 240, 960, 8760, 300);
    Label12_ = named(new LinkLabel(QStringLiteral("Enviar"), Frame4_), "Label12");
    placeTw(Label12_, 5400, 420, 900, 255);
    Label11_ = named(
        new QLabel(QStringLiteral("o intente hacer el envio de forma manual"), Frame4_), "Label11");
    placeTw(Label11_, 240, 660, 4500, 255);
    Label10_ = named(new QLabel(QString::fromUtf8("El envio de información se iniciará "
                                                  "automáticamnete. ESPERE..."),
                                Frame4_),
                     "Label10");
    placeTw(Label10_, 240, 120, 8760, 255);
    Label9_ =
        named(new LinkLabel(QStringLiteral("Pulse AQUI para envio manual"), Frame4_), "Label9");
    placeTw(Label9_, 4800, 660, 3600, 255);
    Label8_ = named(new QLabel(QString::fromUtf8("Si la barra de progreso permance vacía, pulse de "
                                                 "nuevo en "),
                               Frame4_),
                    "Label8");
    placeTw(Label8_, 240, 420, 5100, 255);
    connect(Label9_, &LinkLabel::clicked, this, &Velantia::Label9_Click);
    connect(Label12_, &LinkLabel::clicked, this, [this] { Label5_Click(1); });

    Text2_ = named(new QPlainTextEdit(this), "Text2");
    Text2_->hide();
    Timer2_ = named(new QTimer(this), "Timer2");
    Timer2_->setInterval(1000);

    // Survey panel; row element 0 of each array is the hidden template.
    Frame1_ = named(new QFrame(this), "Frame1");
    placeTw(Frame1_, 120, 2760, 9255, 3975);
    Frame1_->setStyleSheet(QStringLiteral("QFrame#Frame1{background:white;}"));
    Frame1_->hide();
    Todo_ =
        named(new QPushButton(QStringLiteral("Aplicar a &Todo el tratamiento"), Frame1_), "Todo");
    placeTw(Todo_, 2160, 480, 2115, 255);
    Todo_->setStyleSheet(QStringLiteral("font-size:7pt;"));
    Todo_->setEnabled(false);
    Command3_ = named(new QPushButton(QStringLiteral(">"), Frame1_), "Command3");
    placeTw(Command3_, 4080, 720, 255, 255);
    Command1_ = named(new QPushButton(QStringLiteral("<"), Frame1_), "Command1");
    placeTw(Command1_, 3000, 720, 255, 255);
    Kborrar_ = named(new QPushButton(QStringLiteral("&Borrar"), Frame1_), "Kborrar");
    placeTw(Kborrar_, 2160, 720, 855, 255);
    Kgrabar_ = named(new QPushButton(QStringLiteral("&Grabar"), Frame1_), "Kgrabar");
    placeTw(Kgrabar_, 3240, 720, 855, 255);
    Option1_ = named(new QRadioButton(QStringLiteral("Option1"), Frame1_), "Option1");
    Option1_->hide();
    RESP_[0] = named(new QComboBox(Frame1_), "RESP_0");
    RESP_[0]->addItem(QStringLiteral("Combo1"));
    placeTw(RESP_[0], 2280, 360, 2055, 315);
    RESP_[0]->hide();
    Orden_[0] = named(new QLabel(QStringLiteral("orden"), Frame1_), "Orden_0");
    placeTw(Orden_[0], 4440, 720, 975, 255);
    Orden_[0]->hide();
    Pgrabar_ = named(new QLabel(QStringLiteral("PENDIENTE DE GRABAR"), Frame1_), "Pgrabar");
    placeTw(Pgrabar_, 120, 720, 3255, 255);
    Pgrabar_->setStyleSheet(QStringLiteral("QLabel{color:red;background:white;}"
                                           "QLabel:disabled{color:#c0c0c0;}"));
    Sele_[0] = named(new QLabel(QStringLiteral("Sele"), Frame1_), "Sele_0");
    placeTw(Sele_[0], 4440, 360, 975, 255);
    Sele_[0]->hide();
    TIT_[0] = named(new QLabel(Frame1_), "TIT_0");
    placeTw(TIT_[0], 120, 360, 3015, 255);
    TIT_[0]->hide();
    connect(Todo_, &QPushButton::clicked, this, &Velantia::Todo_Click);
    connect(Command3_, &QPushButton::clicked, this, &Velantia::Command3_Click);
    connect(Command1_, &QPushButton::clicked, this, &Velantia::Command1_Click);
    connect(Kborrar_, &QPushButton::clicked, this, &Velantia::Kborrar_Click);
    connect(Kgrabar_, &QPushButton::clicked, this, &Velantia::Kgrabar_Click);

    wb_ = named(new PageView(this), "Wb");
    placeTw(wb_, WbLeftTw, WbTopTw, WbWidthTw, 1800);
    connect(wb_, &PageView::loadStarted, this, [this] { pageLoaded_ = false; });
    connect(wb_, &PageView::loadFinished, this, [this](bool) { pageLoaded_ = true; });
    connect(wb_, &PageView::progressChange, this, [this](int p, int max) {
        if (Frame4_->isVisible() && max > 0 && p >= 0 && p <= max)
            PBW_->setValue(
                static_cast<int>(static_cast<float>(p) * 100.0f / static_cast<float>(max)));
    });
    connect(wb_, &PageView::printDone, this, [this](bool, const QString&) {
        // The print of the patient page is done: back to the complete page.
        if (wb_->locationUrl().contains(QStringLiteral("imprime.htm")))
            wb_->navigate(QString::fromStdString(completePageUrl(paths_, st_.run.terminalDigit)));
    });

    Timer1_ = named(new QTimer(this), "Timer1");
    Timer1_->setInterval(10);
    Timer1_->setSingleShot(true);

    Check1_ = named(new QCheckBox(this), "Check1");
    placeTw(Check1_, 9180, 615, 255, 255);
    Check1_->setChecked(true);
    Check1_->setToolTip(QStringLiteral("Mostrar la encuesta"));
    Label15_ = named(new LinkLabel(QStringLiteral("Ayuda"), this), "Label15");
    placeTw(Label15_, 8400, 600, 700, 255);
    Label15_->setStyleSheet(QStringLiteral("color:#336633;text-decoration:underline;"));
    connect(Label15_, &LinkLabel::clicked, this,
            [] { QDesktopServices::openUrl(QUrl(QString::fromLatin1(HelpUrl))); });
    Label14_ = named(new QLabel(this), "Label14");
    placeTw(Label14_, 5700, 600, 2400, 255);
    Label14_->setStyleSheet(QStringLiteral("font-weight:bold;"));
    Label7_ = named(new QLabel(this), "Label7");
    Label7_->hide();
    Label6_ = named(new QLabel(this), "Label6");
    placeTw(Label6_, 1740, 180, 1500, 255);
    Label4_ = named(new QLabel(QStringLiteral("ESCape Cancelar"), this), "Label4");
    placeTw(Label4_, 3900, 600, 1600, 255);
    Label4_->setStyleSheet(QStringLiteral("color:#666666;"));
    TEST_ = named(new LinkLabel(QString::fromUtf8("Consultar código"), this), "TEST");
    placeTw(TEST_, 3300, 180, 1800, 255);
    TEST_->setStyleSheet(QStringLiteral("color:#336633;text-decoration:underline;"));
    TEST_->hide();
    connect(TEST_, &LinkLabel::clicked, this, &Velantia::TEST_Click);
    Label1_ = named(new QLabel(QStringLiteral("Velantia"), this), "Label1");
    placeTw(Label1_, 1740, 360, 1500, 255);
    Label1_->setStyleSheet(QStringLiteral("font-weight:bold;color:#336633;"));
    Image1_ = named(new QLabel(this), "Image1");
    placeTw(Image1_, 120, 60, 1500, 750);
    Image1_->setPixmap(QPixmap(QStringLiteral(":/assets/logo.png")));
    Image1_->setScaledContents(true);

    connect(Timer4_, &QTimer::timeout, this, &Velantia::Timer4_Tick);
    connect(Timer1_, &QTimer::timeout, this, &Velantia::timer1Tick);
    connect(Check1_, &QCheckBox::clicked, this, &Velantia::Check1_Click);
    connect(Check2_, &QCheckBox::clicked, this, &Velantia::Check2_Click);
    connect(Check3_, &QCheckBox::clicked, this, [this] {
        Frame5_->hide();
        if (wb3_) wb3_->hide();
    });
    connect(Timer2_, &QTimer::timeout, this, &Velantia::Timer2_Tick);
    qApp->installEventFilter(this);
}

void Velantia::formLoad(const QString& commandLine) {
    const QSize screen = screenPx();
    st_ = prepareStartup(paths_, cp(commandLine), screen.height());
    if (!st_.statusWritten) {
        // Without the product folder nothing can be shown or recorded.
        startFailed_ = true;
        Dialogs::message(nullptr,
                         QString::fromUtf8("No se encuentra la carpeta de Velantia o no se puede "
                                           "escribir en ella:\n%1\n\nCompruebe la instalación.")
                             .arg(QString::fromStdString(paths_.product().string())),
                         QStringLiteral("Velantia"), QMessageBox::Ok, QMessageBox::Critical);
        return;
    }
    if (st_.run.hasReference) Label6_->setText(q(st_.run.reference));
    if (st_.run.terminalValue() != 0)
        for (auto* l : Label5_)
            l->hide();
    if (st_.surveySwitch) Check1_->setChecked(*st_.surveySwitch == 1);

    // A closing call gets here only without a usable reference: it starts as an ordinary one.
    session_.synchronise(st_.run, paths_);
    releaseIfOwn(paths_, st_.run.terminalDigit);
    if (session_.startupWriteFailed())
        Dialogs::message(nullptr,
                         q(referenceNotWritableMessage(session_.referenceFile().path().string())),
                         QStringLiteral("Velantia"), QMessageBox::Ok, QMessageBox::Warning);

    const int h = static_cast<int>(st_.cfg.alto_ventana);
    setHeightTw(tw(h));
    move((screen.width() - width()) / 2, (screen.height() - height()) / 2);
    // An update that died while it replaced the data files is finished or undone first.
    recoverDataFiles(paths_);
    files_.OpenDataFiles();
    Timer4_->start();
    Timer1_->start();
}

void Velantia::timer1Tick() {
    Timer1_->stop();
    option1Click();
    if (!Check1_->isChecked() || st_.run.CodeCount == 0) setHeightTw(collapsedHeightTw());
    const NavState nav = deferredStartState(st_.run.CurrentIndex, st_.run.CodeCount);
    applyNavigation(nav.nextEnabled, nav.prevEnabled);
    if (st_.run.CodeCount == 0) {
        Command2_[2]->setEnabled(false);
        Kborrar_->setEnabled(false);
        Kgrabar_->setEnabled(false);
        TEST_->show();
    }
    show();
    deferredDone_ = true;
    emit deferredStartFinished();
    if (st_.run.PendingAction == "CONFIGURAR" || st_.run.PendingAction == "ACTUALIZAR") {
        hide();
        Label5_Click(st_.run.PendingAction == "CONFIGURAR" ? 2 : 0);
        finishAndQuit();
    } else if (st_.run.PendingAction == "ENVIAR") {
        Label5_Click(1);
    }
}

void Velantia::option1Click() {
    Option1_->setChecked(false);
    panel_ = buildSurvey(readSurveyFile(paths_));
    applyPanel();

    const MainLayout lay = layoutMain(heightTw(), WbTopTw, Frame2HeightTw, panel_.frame1Height);
    Frame1_->setGeometry(px(120), px(lay.frame1Top), px(9255), px(lay.frame1Height));
    wb_->setGeometry(px(WbLeftTw), px(WbTopTw), px(WbWidthTw), px(lay.wbHeight));
    Frame2_->move(Frame2_->x(), px(lay.frame2Top));
    Frame1_->show();

    if (!st_.run.hasReference) {
        TEST_->show();
        Kgrabar_->setEnabled(false);
        Kborrar_->setEnabled(false);
        Pgrabar_->setEnabled(false);
    }
    if (st_.run.CurrentIndex != 0) {
        Label2_->setText(
            QString::fromStdString(positionLabel(st_.run.CurrentIndex, st_.run.CodeCount)));
        ShowMedicine(st_.run.CodeList[st_.run.CurrentIndex]);
    } else {
        wb_->navigate(QString::fromStdString(emptyPageUrl(paths_)));
    }
}

void Velantia::applyPanel() {
    for (int k = 1; k <= 50; ++k) {
        const SurveyRow& row = panel_.rows[k];
        if (!row.exists) {
            delete TIT_[k];
            delete RESP_[k];
            delete Sele_[k];
            delete Orden_[k];
            TIT_[k] = nullptr;
            RESP_[k] = nullptr;
            Sele_[k] = nullptr;
            Orden_[k] = nullptr;
            continue;
        }
        if (!TIT_[k]) {
            TIT_[k] = new QLabel(Frame1_);
            TIT_[k]->setObjectName(QStringLiteral("TIT_%1").arg(k));
            RESP_[k] = new QComboBox(Frame1_);
            RESP_[k]->setObjectName(QStringLiteral("RESP_%1").arg(k));
            Sele_[k] = new QLabel(Frame1_);
            Sele_[k]->setObjectName(QStringLiteral("Sele_%1").arg(k));
            Sele_[k]->hide();
            Orden_[k] = new QLabel(Frame1_);
            Orden_[k]->setObjectName(QStringLiteral("Orden_%1").arg(k));
            Orden_[k]->hide();
            connect(RESP_[k], qOverload<int>(&QComboBox::activated), this,
                    [this, k](int p) { RESP_Click(k, p); });
        }
        TIT_[k]->setText(q(row.title));
        QFont f = TIT_[k]->font();
        f.setBold(row.bold);
        TIT_[k]->setFont(f);
        placeTw(TIT_[k], row.titleLeft, row.top, 3015, 255);
        TIT_[k]->setVisible(row.titleShown);
        RESP_[k]->clear();
        for (const auto& a : row.answers)
            RESP_[k]->addItem(q(a));
        placeTw(RESP_[k], row.respLeft, row.top, 2055, 315);
        RESP_[k]->setVisible(row.listShown);
    }
    moveTw(Pgrabar_, panel_.pgrabar.left, panel_.pgrabar.top);
    moveTw(Kgrabar_, panel_.kgrabar.left, panel_.kgrabar.top);
    moveTw(Kborrar_, panel_.kborrar.left, panel_.kborrar.top);
    moveTw(Command1_, panel_.command1.left, panel_.command1.top);
    moveTw(Command3_, panel_.command3.left, panel_.command3.top);
    moveTw(Todo_, panel_.todo.left, panel_.todo.top);
    // Labels stand behind the buttons and lists, whatever the order they were made in:
    // in two columns Pgrabar's white band reaches under Kborrar.
    for (QLabel* l : Frame1_->findChildren<QLabel*>(Qt::FindDirectChildrenOnly))
        l->lower();
    applyChoices();
}

void Velantia::applyChoices() {
    for (int k = 1; k <= 50; ++k) {
        if (!RESP_[k]) continue;
        const SurveyRow& row = panel_.rows[k];
        const QSignalBlocker block(RESP_[k]);
        RESP_[k]->setCurrentIndex(row.listIndex < RESP_[k]->count() ? row.listIndex : -1);
        Sele_[k]->setText(q(row.sele));
        Orden_[k]->setText(q(row.orden));
    }
}

void Velantia::applyRecordingControls(const RecordingControls& c) {
    Pgrabar_->setEnabled(c.pgrabarEnabled);
    Kgrabar_->setEnabled(c.kgrabarEnabled);
    Kborrar_->setEnabled(c.kborrarEnabled);
    if (!session_.referenceOpen()) {
        // Nowhere to record: no reference, or one that names no reference file.
        Kgrabar_->setEnabled(false);
        Kborrar_->setEnabled(false);
        Todo_->setEnabled(false);
    }
}

void Velantia::applyNavigation(bool nextEnabled, bool prevEnabled) {
    Command2_[0]->setEnabled(nextEnabled);
    Command2_[1]->setEnabled(prevEnabled);
}

int Velantia::heightTw() const {
    return tw(height());
}

int Velantia::collapsedHeightTw() const {
    return collapsedHeight(tw(Frame2_->height()), tw(Frame1_->y()));
}

void Velantia::setHeightTw(int twips) {
    setFixedHeight(px(twips));
}

float Velantia::ShowMedicine(const std::string& code) {
    if (code.size() != 6) return 0;
    Label14_->clear();
    Label13_->hide();
    Command2_[2]->setEnabled(false);
    Watchdog dog;
    const MedicinePages pages = buildMedicinePages(files_, code, st_.todayStamp, dog);
    if (!writeMedicinePages(paths_, st_.run.terminalDigit, pages)) {
        Dialogs::message(
            this,
            QString::fromUtf8("No se ha podido escribir la página del medicamento en "
                              "la carpeta %1.")
                .arg(QString::fromStdString(paths_.pageFolder(st_.run.terminalDigit).string())),
            QStringLiteral("Velantia"), QMessageBox::Ok, QMessageBox::Critical);
        wb_->navigate(QString::fromStdString(emptyPageUrl(paths_)));
    } else {
        Label14_->setText(q(pages.label14));
        Label13_->setVisible(pages.label13Visible);
        Command2_[2]->setEnabled(pages.printable);
        wb_->navigate(QString::fromStdString(completePageUrl(paths_, st_.run.terminalDigit)));
    }
    MuestraRespuestas();
    emit medicineShown(QString::fromStdString(code));
    return static_cast<float>(pages.shown);
}

void Velantia::MuestraRespuestas() {
    const auto controls = session_.muestraRespuestas(st_.run.CurrentIndex, panel_);
    applyRecordingControls(controls.value_or(
        RecordingControls{Pgrabar_->isEnabled(), Kgrabar_->isEnabled(), Kborrar_->isEnabled()}));
    applyChoices();
}

void Velantia::Command2_Click(int index) {
    if (wb3_) wb3_->hide();
    if (index == 0 || index == 1) {
        bool showNeeded = false;
        const NavState nav = navigate(index, st_.run.CurrentIndex, st_.run.CodeCount, showNeeded);
        if (showNeeded) ShowMedicine(st_.run.CodeList[st_.run.CurrentIndex]);
        applyNavigation(nav.nextEnabled, nav.prevEnabled);
        Label2_->setText(QString::fromStdString(nav.label2));
        if (nav.focus == 0) Command2_[0]->setFocus();
        if (nav.focus == 1) Command2_[1]->setFocus();
    } else if (index == 2) {
        wb_->navigate(QString::fromStdString(patientPageUrl(paths_, st_.run.terminalDigit)));
        Timer4_->start();
    } else if (index == 3) {
        finishAndQuit();
    }
}

void Velantia::Command1_Click() {
    Command2_Click(1);
    Kgrabar_->setFocus();
}

void Velantia::Command3_Click() {
    Command2_Click(0);
    Kgrabar_->setFocus();
}

void Velantia::Timer4_Tick() {
    Label7_->setText(wb_->locationUrl());
    // Print only once the patient page has finished loading, then go back when printed.
    if (isPrintPage(Label7_->text().toStdString()) && pageLoaded_) {
        Timer4_->stop();
        if (!wb_->printSilently())
            wb_->navigate(QString::fromStdString(completePageUrl(paths_, st_.run.terminalDigit)));
    }
}

void Velantia::Label13_Click() {
    const auto answer = Dialogs::message(
        this, QString::fromUtf8(FullPrintQuestion.data(), FullPrintQuestion.size()),
        QString::fromUtf8(FullPrintTitle.data(), FullPrintTitle.size()),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::Question, QMessageBox::No);
    if (answer == QMessageBox::Yes) wb_->printSilently();
}

void Velantia::TEST_Click() {
    if (wb3_) wb3_->hide();
    const QString code = Dialogs::input(this, QString::fromUtf8("Código Nacional"));
    const std::string c = cp(code);
    if (c.size() == 6) ShowMedicine(c);
}

void Velantia::Kgrabar_Click() {
    recordCurrent(true);
}

void Velantia::Kborrar_Click() {
    recordCurrent(false);
}

void Velantia::recordCurrent(bool grabar) {
    if (!session_.referenceOpen()) return;
    const int m = st_.run.CurrentIndex;
    const RecordingResult r =
        grabar ? session_.grabar(m, st_.run, panel_) : session_.borrar(m, st_.run, panel_);
    if (!r.unwrittenFile.empty()) {
        // Nothing was recorded: the panel stays as it is.
        Dialogs::message(this, q(notRecordedMessage(r.unwrittenFile)), QStringLiteral("Velantia"),
                         QMessageBox::Ok, QMessageBox::Warning);
        return;
    }
    if (r.controls) {
        applyRecordingControls(*r.controls);
        applyChoices();
    }
    focusAfterRecording(grabar);
    Todo_->setEnabled(session_.todoEnabled());
}

void Velantia::Todo_Click() {
    if (!session_.referenceOpen()) return;
    const RecordingResult r = session_.todo(st_.run, panel_, [this](int m) {
        st_.run.CurrentIndex = m;
        ShowMedicine(st_.run.CodeList[m]);
    });
    ShowMedicine(st_.run.CodeList[st_.run.CurrentIndex]);
    if (!r.unwrittenFile.empty())
        Dialogs::message(this, q(notRecordedMessage(r.unwrittenFile)), QStringLiteral("Velantia"),
                         QMessageBox::Ok, QMessageBox::Warning);
}

void Velantia::focusAfterRecording(bool afterGrabar) {
    const bool next = Command2_[0]->isEnabled();
    const bool prev = Command2_[1]->isEnabled();
    const FocusTarget t = afterGrabar
                              ? focusAfterGrabar(next, prev, heightTw(), st_.cfg.alto_ventana)
                              : focusAfterBorrar(next, prev);
    switch (t) {
    case FocusTarget::Next:
        Command2_[0]->setFocus();
        break;
    case FocusTarget::Prev:
        Command2_[1]->setFocus();
        break;
    case FocusTarget::Command1:
        Command1_->setFocus();
        break;
    case FocusTarget::Command3:
        Command3_->setFocus();
        break;
    case FocusTarget::None:
        break;
    }
}

void Velantia::RESP_Click(int index, int position) {
    chooseAnswer(panel_, index, position);
    applyChoices();
}

void Velantia::Check1_Click() {
    if (!isVisible()) return;
    if (!Check1_->isChecked())
        setHeightTw(collapsedHeightTw());
    else if (st_.run.CodeCount >= 1)
        setHeightTw(static_cast<int>(st_.cfg.alto_ventana * 15));
    saveSurveySwitch(paths_.product("config\\encuesta.for"), Check1_->isChecked() ? 1 : 0);
}

void Velantia::Label5_Click(int index) {
    if (index == 1) {
        startSend();
        return;
    }
    if (index == 2) {
        VLconfig dlg(paths_, st_.cfg, screenPx().height(), isVisible() ? this : nullptr);
        dlg.exec();
        relayoutAfterSettings();
        return;
    }
    Actualizar dlg(paths_, st_.cfg, files_, {}, isVisible() ? this : nullptr);
    dlg.exec();
}

void Velantia::relayoutAfterSettings() {
    const int h = static_cast<int>(st_.cfg.alto_ventana * 15);
    setHeightTw(h);
    const MainLayout lay = layoutMain(h, WbTopTw, tw(Frame2_->height()), tw(Frame1_->height()));
    Frame1_->move(Frame1_->x(), px(lay.frame1Top));
    wb_->resize(wb_->width(), px(lay.wbHeight));
    Frame2_->move(Frame2_->x(), px(lay.frame2Top));
    move(x(), (screenPx().height() - height()) / 2);
    if (!Check1_->isChecked() || st_.run.CodeCount == 0) setHeightTw(collapsedHeightTw());
}

PageView* Velantia::wb3() {
    if (!wb3_) {
        wb3_ = named(new PageView(this), "WB3");
        wb3_->hide();
    }
    return wb3_;
}

QString Velantia::resultPageUrl(const char* folder) const {
    return QString::fromStdString(
        Paths::fileUrl(paths_.product(std::string("htm\\") + folder + "\\index.html")));
}

void Velantia::startSend() {
    if (nothingToSend(paths_)) {
        const QString nothing = QStringLiteral("No hay respuestas pendientes de enviar.");
        if (st_.run.PendingAction == "ENVIAR") {
            // Started only to send: nothing to do, so the program ends after the message.
            files_.closeAll();
            hide();
            Dialogs::message(nullptr, nothing);
            finishAndQuit();
            return;
        }
        Dialogs::message(this, nothing);
        return;
    }
    if (sending_) return; // one upload at a time: a second one could send the answers twice
    const LockAttempt lock = tryAcquireForSend(paths_);
    if (!lock.acquired) {
        const QString c(QChar::fromLatin1(lock.found));
        Dialogs::message(this, QStringLiteral("OCUPADO POR EL TERMINAL ") + c +
                                   QStringLiteral("\n\nIntente enviar la información de nuevo\n"
                                                  "o revise el terminal ") +
                                   c);
        return;
    }
    PBW_->setValue(0);
    PBW_->show();
    Frame4_->show();
    Frame4_->raise();
    if (wb3_) wb3_->hide();
    Frame5_->hide();
    const std::string url = serviceUrl();
    // The page stays at hand for a send by hand (Label9).
    writeUploadPage(paths_, st_.cfg, url);
    wb_->navigate(QString::fromStdString(Paths::fileUrl(paths_.product("Htm\\enviar.html"))));

    sending_ = true;
    QPointer<Velantia> self(this);
    std::thread([self, paths = paths_, cfg = st_.cfg, url] {
        const SendResult r = uploadAndSettle(paths, cfg, url, [self](int percent) {
            QMetaObject::invokeMethod(qApp, [self, percent] {
                if (self && self->Frame4_->isVisible()) self->PBW_->setValue(percent);
            });
        });
        QMetaObject::invokeMethod(qApp, [self, r] {
            if (self) self->uploadFinished(r);
        });
    }).detach();
}

void Velantia::uploadFinished(const SendResult& r) {
    sending_ = false;
    Frame4_->hide();
    PBW_->hide();
    if (!r.transferOk) {
        // The outbox stayed as it was and the lock is free again.
        wb_->navigate(resultPageUrl("vl-error"));
        Dialogs::message(this,
                         q(r.error) + QString::fromUtf8("\n\nLas respuestas siguen pendientes de "
                                                        "enviar."),
                         QStringLiteral("Velantia"), QMessageBox::Ok, QMessageBox::Warning);
        emit sendFinished();
        return;
    }
    Timer2_->stop();
    lastSent_ = r.sent;
    showVerdict(r.verdict);
}

void Velantia::showVerdict(SendVerdict verdict) {
    wb3()->setGeometry(wb_->geometry());
    switch (verdict) {
    case SendVerdict::Accepted:
        wb_->navigate(resultPageUrl("vl-exito"));
        break;
    case SendVerdict::Refused:
        wb_->navigate(resultPageUrl("vl-error"));
        break;
    case SendVerdict::NoVerdict:
        Check2_->setChecked(false);
        Check3_->setChecked(false);
        wb3()->show();
        wb3()->raise();
        wb3()->navigate(resultPageUrl("vl-manual"));
        Frame5_->show();
        Frame5_->raise();
        break;
    }
    PBW_->hide();
    emit sendFinished();
}

void Velantia::Label9_Click() {
    // The upload page stays in view for a send by hand; Timer2 watches for the answer.
    Frame4_->hide();
    PBW_->hide();
    Timer2_->start();
}

void Velantia::Timer2_Tick() {
    Label7_->setText(wb_->locationUrl());
    if (!Label7_->text().contains(QStringLiteral("velantia"))) return;
    if (Label7_->text().startsWith(QStringLiteral("file:"))) return; // still our own page
    Timer2_->stop();
    QPointer<Velantia> self(this);
    wb_->pageText([self](const QString& t) {
        // A send by hand: what went out is not known.
        if (!self) return;
        self->lastSent_.reset();
        self->showVerdict(settleAnswer(self->paths_, cp(t.simplified()), std::nullopt));
    });
}

void Velantia::Check2_Click() {
    const SentTick t = confirmSentByHand(paths_, lastSent_);
    if (!t.message.empty())
        Dialogs::message(this, q(t.message), QStringLiteral("Velantia"), QMessageBox::Ok,
                         QMessageBox::Warning);
    if (t.askAgain) {
        Check2_->setChecked(false);
        return;
    }
    Frame5_->hide();
    if (wb3_) wb3_->hide();
}

bool Velantia::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress) return false;
    auto* w = qobject_cast<QWidget*>(watched);
    if (!w || w->window() != this || !isVisible()) return false;
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->modifiers() & Qt::KeypadModifier) return false;
    switch (key->key()) {
    case Qt::Key_Plus:
    case Qt::Key_Equal:
        Command2_Click(0);
        return true;
    case Qt::Key_Minus:
        Command2_Click(1);
        return true;
    case Qt::Key_Escape:
        finishAndQuit();
        return true;
    default:
        return false;
    }
}

void Velantia::closeEvent(QCloseEvent* e) {
    finishAndQuit();
    e->accept();
}

void Velantia::finishAndQuit() {
    if (finished_) return;
    finished_ = true;
    files_.closeAll();
    session_.closeReference();
    finish(paths_, st_.run.terminalDigit);
    QCoreApplication::exit(0);
}

} // namespace vl::ui
