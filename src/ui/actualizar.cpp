#include "ui/actualizar.h"

#include <QCloseEvent>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QScreen>
#include <QTimer>

#include "ui/dialogs.h"
#include "ui/widgets.h"

namespace vl::ui {

namespace {

// Activity pictures drawn here rather than shipped: a ring with a moving segment, a start
// mark and an end mark.
QPixmap ring(int frame) {
    QPixmap p(32, 32);
    p.fill(Qt::transparent);
    QPainter g(&p);
    g.setRenderHint(QPainter::Antialiasing);
    g.setPen(QPen(QColor(200, 220, 200), 4));
    g.drawEllipse(4, 4, 24, 24);
    if (frame >= 0) {
        g.setPen(QPen(QColor(51, 102, 51), 4));
        g.drawArc(4, 4, 24, 24, (90 - frame * 90) * 16, -90 * 16);
    }
    return p;
}

QPixmap endMark() {
    QPixmap p(32, 32);
    p.fill(Qt::transparent);
    QPainter g(&p);
    g.setRenderHint(QPainter::Antialiasing);
    g.setPen(QPen(QColor(51, 102, 51), 4));
    g.drawPolyline(QPolygon({QPoint(7, 17), QPoint(13, 23), QPoint(25, 9)}));
    return p;
}

QString u(const std::string& utf8) { return QString::fromStdString(utf8); }

} // namespace

Actualizar::Actualizar(const Paths& paths, Config& cfg, DataFiles& files, UpdateOptions options,
                       QWidget* parent)
    : QDialog(parent), paths_(paths), cfg_(cfg), files_(files), options_(std::move(options)) {
    setObjectName(QStringLiteral("Actualizar"));
    setWindowTitle(QStringLiteral("Velantia:  Actualizar"));
    setModal(true);
    setFixedSize(px(4530), px(1995));
    if (const QScreen* s = QGuiApplication::primaryScreen())
        move(s->geometry().center() - rect().center());

    for (int i = 0; i < 4; ++i) Image5_[i] = ring(i);
    Image11_ = ring(-1);
    Image8_ = endMark();

    Frame8_ = new QFrame(this);
    Frame8_->setObjectName(QStringLiteral("Frame8"));
    Frame8_->setGeometry(rect().adjusted(4, 4, -4, -4));
    Label13_ = new QLabel(QString::fromUtf8("Buscando información en Nuvalda..."), Frame8_);
    Label13_->setObjectName(QStringLiteral("Label13"));
    Label13_->setGeometry(52, 8, 230, 18);
    Label13_->setStyleSheet(QStringLiteral("font-weight:bold;"));
    // The state text takes two lines: the longest state reads in full.
    const QRect l14[3] = {{52, 46, 236, 32}, {8, 48, 40, 18}, {52, 28, 236, 18}};
    for (int i = 0; i < 3; ++i) {
        Label14_[i] = new QLabel(Frame8_);
        Label14_[i]->setObjectName(QStringLiteral("Label14_%1").arg(i));
        Label14_[i]->setGeometry(l14[i]);
    }
    Label14_[0]->setWordWrap(true);
    Label14_[0]->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Label14_[1]->hide(); // the state number is kept, not shown
    Image6_ = new QLabel(Frame8_);
    Image6_->setObjectName(QStringLiteral("Image6"));
    Image6_->setGeometry(10, 8, 32, 32);
    Image6_->setPixmap(Image11_);
    pb3_ = new QProgressBar(Frame8_);
    pb3_->setObjectName(QStringLiteral("pb3"));
    pb3_->setRange(0, 100);
    pb3_->setGeometry(8, 82, 280, 12);
    pb3_->setTextVisible(false);
    pb3_->hide();
    indicador_ = new QProgressBar(Frame8_);
    indicador_->setObjectName(QStringLiteral("indicador"));
    indicador_->hide();
    Label23_ = new LinkLabel(QStringLiteral("Cerrar"), Frame8_);
    Label23_->setObjectName(QStringLiteral("Label23"));
    Label23_->setGeometry(230, 98, 60, 18);
    Label23_->setStyleSheet(QStringLiteral("color:#336633;text-decoration:underline;"));
    connect(Label23_, &LinkLabel::clicked, this, &Actualizar::Label23_Click);

    Timer1_ = new QTimer(this);
    Timer1_->setObjectName(QStringLiteral("Timer1"));
    Timer1_->setInterval(10);
    Timer2_ = new QTimer(this);
    Timer2_->setObjectName(QStringLiteral("Timer2"));
    Timer2_->setInterval(1000);
    Timer4_ = new QTimer(this);
    Timer4_->setObjectName(QStringLiteral("Timer4"));
    Timer4_->setInterval(200);
    connect(Timer1_, &QTimer::timeout, this, &Actualizar::timer1Tick);
    connect(Timer2_, &QTimer::timeout, this, [this] {
        // A message still open (the cancel notice) waits for the pharmacist's OK.
        if (boxOpen()) return;
        Timer2_->stop();
        accept();
    });
    connect(Timer4_, &QTimer::timeout, this, [this] {
        fotograma_ = (fotograma_ + 1) % 4;
        Image6_->setPixmap(Image5_[fotograma_]);
    });

    // The lookup must not hold the item file while it is replaced.
    files_.closeVelantia();
    Timer1_->start();
}

Actualizar::~Actualizar() {
    cancelled_ = true;
    if (worker_.joinable()) worker_.join();
}

void Actualizar::timer1Tick() {
    if (!isVisible()) return; // the run starts once the window is on screen
    Timer1_->stop();
    running_ = true;

    UpdateCallbacks cb;
    auto onUi = [this](auto f) { QMetaObject::invokeMethod(this, f, Qt::QueuedConnection); };
    cb.transferState = [this, onUi](int s) { onUi([this, s] { stateChanged(s); }); };
    cb.phase = [this, onUi](const std::string& t) { onUi([this, t] { Label14_[2]->setText(u(t)); }); };
    cb.label13 = [this, onUi](const std::string& t) {
        onUi([this, t] {
            Label13_->setText(u(t));
            if (t.find(".xml") != std::string::npos) nombreFichero_ = u(t);
        });
    };
    cb.activity = [this, onUi](bool on) {
        onUi([this, on] {
            if (on) {
                Image6_->setPixmap(Image11_);
                Frame8_->show();
                pb3_->hide();
            } else {
                Timer4_->stop();
                Image6_->setPixmap(Image8_);
            }
        });
    };
    cb.converting = [this, onUi](const std::string& file) {
        onUi([this, file] {
            Label14_[0]->setText(u(file));
            Label14_[1]->clear();
            Label14_[2]->clear();
        });
    };
    cb.conversionProgress = [this, onUi](int v) {
        onUi([this, v] {
            pb3_->setVisible(v >= 0);
            pb3_->setValue(v < 0 ? 0 : v);
        });
    };
    cb.askRetry = [this](const std::string& text) {
        bool retry = false;
        QMetaObject::invokeMethod(
            this,
            [this, text] {
                return Dialogs::message(this, u(text), QStringLiteral("Velantia"),
                                        QMessageBox::Retry | QMessageBox::Cancel) ==
                       QMessageBox::Retry;
            },
            Qt::BlockingQueuedConnection, &retry);
        return retry;
    };
    cb.message = [this](const std::string& text) {
        QMetaObject::invokeMethod(
            this, [this, text] { Dialogs::message(this, u(text)); }, Qt::BlockingQueuedConnection);
    };

    worker_ = std::thread([this, cb] {
        const UpdateEnd end = runUpdate(paths_, cfg_, files_, cancelled_, cb, options_);
        QMetaObject::invokeMethod(this, [this, end] { finishRun(end); }, Qt::QueuedConnection);
    });
}

void Actualizar::stateChanged(int state) {
    if (!cancelled_) Frame8_->show();
    Label14_[0]->setText(u(estadoInet(state)));
    Label14_[1]->setText(QString::number(state));
    if (state != 7 && state != 9) Timer4_->stop();
    if (state == 7) {
        Label14_[2]->setText(QStringLiteral("Descargando..."));
        if (!nombreFichero_.isEmpty()) Label13_->setText(nombreFichero_);
        Timer4_->start();
    } else if (state == 8) {
        Label14_[2]->setText(QStringLiteral("Recibido el fichero:"));
    }
}

void Actualizar::finishRun(UpdateEnd end) {
    if (worker_.joinable()) worker_.join();
    running_ = false;
    outcome_ = end;
    Timer4_->stop();
    if (end == UpdateEnd::Completed) {
        Label13_->setText(QString::fromUtf8("Actualización completada"));
        Frame8_->show(); // hidden by a cancel; the end is shown all the same
        pb3_->hide();
        Label23_->hide();
        Timer2_->start();
    } else if (boxOpen()) {
        Timer2_->start();
    } else {
        accept();
    }
    emit runFinished();
}

bool Actualizar::boxOpen() const {
    for (const QDialog* d : findChildren<QDialog*>(Qt::FindDirectChildrenOnly))
        if (d->isVisible()) return true;
    return false;
}

void Actualizar::Label23_Click() {
    cancelled_ = true;
    Label23_->setText(QStringLiteral("Espere"));
    Frame8_->hide();
    Dialogs::message(this, QStringLiteral("ACTUALIZACION\nCANCELADA\n\nNo intente actualizar al "
                                          "menos en un minuto"));
}

void Actualizar::closeEvent(QCloseEvent* e) {
    if (running_) {
        // Closing while a request runs counts as cancelling; the window closes when it ends.
        e->ignore();
        if (!cancelled_) Label23_Click();
        return;
    }
    QDialog::closeEvent(e);
}

void Actualizar::done(int r) {
    if (running_) return;
    if (!reopened_) {
        // The lookup sees the new data files from now on.
        reopened_ = true;
        files_.OpenDataFiles();
    }
    QDialog::done(r);
}

} // namespace vl::ui
