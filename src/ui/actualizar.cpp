#include "ui/actualizar.h"

#include <QCloseEvent>
#include <QFrame>
#include <QGridLayout>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

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

// «Cerrar» cancels on a click only: it takes no focus and leaves every key to the window, so
// a scanner's Enter or a stray Space cancels nothing.
class CloseLink : public LinkLabel {
  public:
    explicit CloseLink(QWidget* parent) : LinkLabel(QStringLiteral("Cerrar"), parent) {
        setFocusPolicy(Qt::NoFocus);
    }

  protected:
    void keyPressEvent(QKeyEvent* e) override { e->ignore(); }
};

} // namespace

Actualizar::Actualizar(const Paths& paths, Config& cfg, DataFiles& files, UpdateOptions options,
                       QWidget* parent)
    : QDialog(parent), paths_(paths), cfg_(cfg), files_(files), options_(std::move(options)) {
    setObjectName(QStringLiteral("Actualizar"));
    installShortcutRules();
    setWindowTitle(QStringLiteral("Velantia:  Actualizar"));
    setModal(true);

    for (int i = 0; i < 4; ++i) Image5_[i] = ring(i);
    Image11_ = ring(-1);
    Image8_ = endMark();

    Frame8_ = new QFrame(this);
    Frame8_->setObjectName(QStringLiteral("Frame8"));
    Label13_ = new QLabel(QString::fromUtf8("Buscando información en Nuvalda..."), Frame8_);
    Label13_->setObjectName(QStringLiteral("Label13"));
    QFont bold = Label13_->font();
    bold.setBold(true);
    Label13_->setFont(bold);
    for (int i = 0; i < 3; ++i) {
        Label14_[i] = new QLabel(Frame8_);
        Label14_[i]->setObjectName(QStringLiteral("Label14_%1").arg(i));
    }
    Label14_[0]->setWordWrap(true);
    Label14_[0]->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Label14_[1]->hide(); // the state number is kept, not shown
    Image6_ = named(new QLabel(Frame8_), QStringLiteral("Image6"), QStringLiteral("Actividad"));
    Image6_->setPixmap(Image11_);
    Image6_->setFixedSize(32, 32);
    pb3_ = named(new QProgressBar(Frame8_), QStringLiteral("pb3"),
                 QString::fromUtf8("Progreso de la conversión"));
    pb3_->setRange(0, 100);
    pb3_->setFixedHeight(12);
    pb3_->setTextVisible(false);
    pb3_->hide();
    indicador_ = new QProgressBar(Frame8_);
    indicador_->setObjectName(QStringLiteral("indicador"));
    indicador_->hide();
    Label23_ = new CloseLink(Frame8_);
    Label23_->setObjectName(QStringLiteral("Label23"));
    Label23_->setStyleSheet(QStringLiteral("color:#336633;text-decoration:underline;"));

    // The text column is the design's width at the usual font and grows with the font, so the
    // file name and the phase keep one line; the state text wraps in it, with room for the
    // longest state, so the window keeps its size while the texts change.
    const QFontMetrics fm(Label14_[0]->font()), bm(bold);
    int textWidth = 236;
    for (const char* t : {"Buscando información en Nuvalda...", "Actualización completada",
                          "Procesando datos.", "Precios.xml", "Encuesta.xml"})
        textWidth = std::max(textWidth, bm.horizontalAdvance(QString::fromUtf8(t)) + 4);
    textWidth =
        std::max(textWidth, fm.horizontalAdvance(QStringLiteral("Recibido el fichero:")) + 4);
    int stateHeight = 0;
    for (int state = 0; state <= 12; ++state)
        stateHeight = std::max(stateHeight, fm.boundingRect(QRect(0, 0, textWidth, 1 << 20),
                                                            Qt::TextWordWrap, u(estadoInet(state)))
                                                .height());
    for (QLabel* l : {Label13_, Label14_[0], Label14_[2]})
        l->setFixedWidth(textWidth);
    Label14_[0]->setMinimumHeight(stateHeight);
    // Hidden and shown during the run without moving the rest.
    for (QWidget* w : {static_cast<QWidget*>(Frame8_), static_cast<QWidget*>(pb3_),
                       static_cast<QWidget*>(Label23_)}) {
        QSizePolicy p = w->sizePolicy();
        p.setRetainSizeWhenHidden(true);
        w->setSizePolicy(p);
    }
    auto* g = new QGridLayout(Frame8_);
    g->setContentsMargins(6, 4, 6, 4);
    g->setHorizontalSpacing(10);
    g->setVerticalSpacing(2);
    g->addWidget(Image6_, 0, 0, 2, 1, Qt::AlignTop);
    g->addWidget(Label13_, 0, 1);
    g->addWidget(Label14_[2], 1, 1);
    g->addWidget(Label14_[0], 2, 1);
    g->addWidget(pb3_, 3, 0, 1, 2);
    g->addWidget(Label23_, 4, 1, Qt::AlignRight);
    auto* v = new QVBoxLayout(this);
    v->setContentsMargins(4, 4, 4, 4);
    v->addWidget(Frame8_);
    v->setSizeConstraint(QLayout::SetFixedSize);
    v->activate();
    if (const QScreen* s = QGuiApplication::primaryScreen())
        move(s->geometry().center() - rect().center());
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

void Actualizar::keyPressEvent(QKeyEvent* e) {
    // Escape asks before it cancels, once per press: a key held down opens no second box.
    if (e->key() == Qt::Key_Escape && running_) {
        if (!e->isAutoRepeat() && !cancelled_ && !asking_) {
            asking_ = true;
            const auto answer =
                Dialogs::message(this, QString::fromUtf8("¿Desea cancelar la actualización?"),
                                 QStringLiteral("Velantia"), QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::Question, QMessageBox::No);
            asking_ = false;
            if (answer == QMessageBox::Yes) Label23_Click();
        }
        e->accept();
        return;
    }
    // Enter, Return and Space do nothing here; Escape closes the window once the run has ended.
    if (e->key() == Qt::Key_Escape) QDialog::keyPressEvent(e);
    e->accept();
}

void Actualizar::Label23_Click() {
    // Cancelled already (a second click, perhaps while the notice is open): nothing more to say.
    if (cancelled_) return;
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
