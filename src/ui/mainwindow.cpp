#include "ui/mainwindow.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QScreen>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>
#include <QWindow>
#include <algorithm>
#include <chrono>
#include <thread>

#include "core/runlog.h"
#include "core/text.h"
#include "infopage/navigation.h"
#include "infopage/pages.h"
#include "outbox/lock.h"
#include "outbox/outbox.h"
#include "send/send.h"
#include "core/runlog.h"
#include "ui/actualizar.h"
#include "ui/app.h"
#include "ui/dialogs.h"
#include "ui/logviewer.h"
#include "ui/navigationrow.h"
#include "ui/pagearea.h"
#include "ui/pageview.h"
#include "ui/sendpanel.h"
#include "ui/surveyview.h"
#include "ui/vlconfig.h"
#include "ui/widgets.h"
#include "update/recovery.h"

namespace vl::ui {

namespace {

constexpr int WindowWidth = 640;
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

std::optional<Command> launcherCommand(const std::string& pendingAction) {
    if (pendingAction == "ACTUALIZAR") return Command::Update;
    if (pendingAction == "ENVIAR") return Command::Send;
    if (pendingAction == "CONFIGURAR") return Command::Configure;
    if (pendingAction == "REGISTRO") return Command::Log;
    return std::nullopt;
}

} // namespace

Velantia::Velantia(const Paths& paths, QWidget* parent)
    : QWidget(parent), paths_(paths), files_(paths) {
    setObjectName(QStringLiteral("Velantia"));
    installShortcutRules();
    setWindowTitle(QStringLiteral("Velantia"));
    setWindowIcon(QIcon(QStringLiteral(":/assets/logo.png")));
    buildParts();
    addShortcuts();
}

Velantia::Velantia(const Paths& paths, const QString& commandLine, QWidget* parent)
    : Velantia(paths, parent) {
    startUp(commandLine);
}

Velantia* Velantia::buildAhead(const Paths& paths) {
    auto* w = new Velantia(paths);
    w->buildSurveyWidgets();
    return w;
}

void Velantia::buildSurveyWidgets() {
    std::string bytes = readSurveyFile(paths_);
    panel_ = buildSurvey(bytes);
    survey_->build(panel_);
    surveyBuiltFrom_ = std::move(bytes);
}

bool Velantia::surveyStillCurrent() const {
    return surveyBuiltFrom_ && *surveyBuiltFrom_ == readSurveyFile(paths_);
}

void Velantia::start(const QString& commandLine) {
    Timer1_->setInterval(0);
    startUp(commandLine);
}

PageView* Velantia::browser() const {
    return pages_->page();
}
bool Velantia::sending() const {
    return sendPanel_->sending();
}

void Velantia::buildParts() {
    header_ = new HeaderBar(this);
    pages_ = new PageArea(this);
    sendPanel_ = new SendPanel(paths_, st_.cfg, pages_, this);
    nav_ = new NavigationRow(this);
    survey_ = new SurveyView(this);
    layout_ = new QVBoxLayout(this);
    layout_->setContentsMargins(6, 4, 6, 4);
    layout_->setSpacing(4);
    layout_->addWidget(header_);
    layout_->addWidget(sendPanel_);
    layout_->addWidget(pages_, 1);
    layout_->addWidget(nav_);
    layout_->addWidget(survey_);
    setTabOrder(header_, sendPanel_);
    setTabOrder(sendPanel_, pages_->page());
    setTabOrder(pages_->page(), nav_);

    Timer1_ = new QTimer(this);
    Timer1_->setObjectName(QStringLiteral("Timer1"));
    Timer1_->setInterval(10);
    Timer1_->setSingleShot(true);

    connect(header_, &HeaderBar::commandChosen, this, &Velantia::runCommand);
    connect(header_, &HeaderBar::codeQueryChosen, this, &Velantia::queryCode);
    connect(header_, &HeaderBar::helpChosen, this,
            [] { QDesktopServices::openUrl(QUrl(QString::fromLatin1(HelpUrl))); });
    connect(header_, &HeaderBar::surveySwitchToggled, this, &Velantia::switchSurvey);
    connect(sendPanel_, &SendPanel::sendFinished, this, &Velantia::sendFinished);
    connect(sendPanel_, &SendPanel::heightChanged, this, [this] {
        if (isVisible()) layOutHeights();
    });
    connect(nav_, &NavigationRow::nextChosen, this, &Velantia::showNext);
    connect(nav_, &NavigationRow::previousChosen, this, &Velantia::showPrevious);
    connect(nav_, &NavigationRow::handoutPrintChosen, this, &Velantia::printHandout);
    connect(nav_, &NavigationRow::completePrintChosen, this, &Velantia::printCompletePage);
    connect(nav_, &NavigationRow::cancelChosen, this, &Velantia::finishAndQuit);
    connect(survey_, &SurveyView::answerChosen, this, &Velantia::chooseAnswer);
    connect(survey_, &SurveyView::recordChosen, this, &Velantia::recordAnswers);
    connect(survey_, &SurveyView::clearChosen, this, &Velantia::clearAnswers);
    connect(survey_, &SurveyView::applyToAllChosen, this, &Velantia::applyToAll);
    connect(survey_, &SurveyView::previousChosen, this, &Velantia::showPreviousFromSurvey);
    connect(survey_, &SurveyView::nextChosen, this, &Velantia::showNextFromSurvey);
    connect(Timer1_, &QTimer::timeout, this, &Velantia::deferredStart);
}

void Velantia::addShortcuts() {
    const auto shortcut = [this](const QList<QKeySequence>& keys, void (Velantia::*handler)()) {
        auto* a = new QAction(this);
        a->setShortcuts(keys);
        a->setShortcutContext(Qt::WindowShortcut);
        addAction(a);
        connect(a, &QAction::triggered, this, handler);
    };
    // The "+" key of the main keyboard shares its place with "=" on some layouts.
    shortcut({QKeySequence(Qt::Key_Plus), QKeySequence(Qt::Key_Equal)}, &Velantia::showNext);
    shortcut({QKeySequence(Qt::Key_Minus)}, &Velantia::showPrevious);
    shortcut({QKeySequence(Qt::Key_Escape)}, &Velantia::finishAndQuit);
}

void Velantia::startUp(const QString& commandLine) {
    started_ = true;
    const QSize screen = screenPx();
    st_ = prepareStartup(paths_, cp(commandLine), screen.height());
    if (!st_.productFolder) {
        // Without the product folder nothing can be shown or recorded.
        startFailed_ = true;
        Dialogs::message(nullptr, QString::fromStdString(productFolderMissingMessage(paths_)),
                         QStringLiteral("Velantia"), QMessageBox::Ok, QMessageBox::Critical);
        return;
    }
    if (st_.statusRefused)
        Dialogs::message(nullptr, q(statusRefusedMessage(paths_, st_.run.terminalDigit, st_.statusCause)),
                         QStringLiteral("Velantia"), QMessageBox::Ok, QMessageBox::Warning);
    pending_ = launcherCommand(st_.run.PendingAction);
    if (st_.run.hasReference) header_->setReference(q(st_.run.reference));
    if (st_.run.terminalValue() != 0) header_->hideCommands();
    if (st_.surveySwitch) header_->setSurveySwitch(*st_.surveySwitch == 1);

    // A closing call gets here only without a usable reference: it starts as an ordinary one.
    session_.setWriteGuard(lockGuardPath(paths_));
    if (st_.run.referenceIsPositive()) takeBackSetAside(paths_, st_.run.reference);
    session_.synchronise(st_.run, paths_);
    releaseIfOwn(paths_, st_.run.terminalDigit);
    if (!session_.leftOut().empty())
        runlog::log("Dispensación " + fromCp1252(trimBlanks(st_.run.reference)) +
                    ": quitado de referencias\\" + fromCp1252(st_.run.reference) +
                    ".ref: " + leftOutText(session_.leftOut()));
    if (session_.startupWriteFailed())
        Dialogs::message(nullptr,
                         q(referenceNotWritableMessage(session_.referenceFile().path().string())),
                         QStringLiteral("Velantia"), QMessageBox::Ok, QMessageBox::Warning);

    // An update that died while it replaced the data files is finished or undone first.
    recoverDataFiles(paths_);
    files_.OpenDataFiles();
    files_.setSwapWait([this](int round) {
        // Another terminal's update swaps in milliseconds; one that died left its marker, and
        // finishing its swap clears it.
        if (round % 10 == 0) recoverDataFiles(paths_);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return round < 250;
    });
    Timer1_->start();
}

void Velantia::deferredStart() {
    Timer1_->stop();
    buildSurveyPanel();
    nav_->setNavigation(deferredStartState(st_.run.CurrentIndex, st_.run.CodeCount));
    if (st_.run.CodeCount == 0) {
        nav_->disableAll();
        survey_->setRecordingControls({false, false, false});
        header_->offerCodeQuery();
    }
    layOutHeights();
    centre(true);
    show();
    // Escape and "+" are window shortcuts: they work only in the active window, and a window
    // process started ahead is not the program the pharmacist just saw open.
    activateWindow();
    // Keys go to the survey first, never to a link that Enter would follow.
    if (!surveyShown() || !survey_->focusFirstList()) nav_->focusNext();
    // Only a shown window knows its title bar: the outer height is set again once it is known.
    QTimer::singleShot(0, this, [this] {
        layOutHeights();
        centre(true);
    });
    deferredDone_ = true;
    emit deferredStartFinished();
    if (pending_ == Command::Configure || pending_ == Command::Update || pending_ == Command::Log) {
        hide();
        runCommand(*pending_);
        finishAndQuit();
    } else if (pending_ == Command::Send) {
        runCommand(Command::Send);
    }
}

void Velantia::buildSurveyPanel() {
    // A window built ahead has its survey built already, from the file as it still stands.
    if (!surveyBuiltFrom_) buildSurveyWidgets();
    surveyBuiltFrom_.reset();
    survey_->chainTabOrder(nav_->lastInTabOrder());
    if (!st_.run.hasReference) {
        header_->offerCodeQuery();
        survey_->setRecordingControls({false, false, false});
    }
    if (st_.run.CurrentIndex != 0) {
        header_->setPosition(
            QString::fromStdString(positionLabel(st_.run.CurrentIndex, st_.run.CodeCount)));
        showMedicine(st_.run.CodeList[st_.run.CurrentIndex]);
    } else {
        pages_->page()->showFile(emptyPage(paths_));
    }
}

// The complete page of `code`, written for this terminal, and the medicine's recorded answers.
float Velantia::showMedicine(const std::string& code) {
    // Until this medicine's page is written, nothing shown may be printed or priced as its own.
    header_->setPrice({});
    nav_->setPrinting(false, false);
    handout_.clear();
    if (code.size() != 6) return 0;
    Watchdog dog([this] { endSlowLookup(paths_, st_.run.terminalDigit); });
    const MedicinePages pages = buildMedicinePages(files_, code, st_.todayStamp, dog);
    if (!writeMedicinePages(paths_, st_.run.terminalDigit, pages)) {
        Dialogs::message(
            this,
            QString::fromUtf8("No se ha podido escribir la página del medicamento en "
                              "la carpeta %1.")
                .arg(QString::fromStdString(paths_.pageFolder(st_.run.terminalDigit).string())),
            QStringLiteral("Velantia"), QMessageBox::Ok, QMessageBox::Critical);
        pages_->page()->showFile(emptyPage(paths_));
    } else {
        header_->setPrice(q(pages.label14));
        nav_->setPrinting(pages.printable, pages.label13Visible);
        if (pages.printable) handout_ = pages.imprime;
        pages_->page()->showFile(completePage(paths_, st_.run.terminalDigit));
    }
    restoreAnswers();
    emit medicineShown(QString::fromStdString(code));
    return static_cast<float>(pages.shown);
}

void Velantia::restoreAnswers() {
    // A closing call of this terminal may have moved the answers since the last medicine shown.
    session_.checkClosed();
    if (const auto c = session_.muestraRespuestas(st_.run.CurrentIndex, panel_))
        survey_->setRecordingControls(*c);
    if (!session_.referenceOpen()) survey_->setApplyToAllEnabled(false);
    survey_->showChoices(panel_);
    showIfClosed();
}

void Velantia::showIfClosed() {
    if (!session_.closed()) return;
    survey_->showClosed();
    if (isVisible()) layOutHeights();
}

void Velantia::step(int direction) {
    pages_->hideSendingPage();
    bool showNeeded = false;
    const NavState nav = navigate(direction, st_.run.CurrentIndex, st_.run.CodeCount, showNeeded);
    if (showNeeded) showMedicine(st_.run.CodeList[st_.run.CurrentIndex]);
    nav_->setNavigation(nav);
    header_->setPosition(QString::fromStdString(nav.label2));
    nav_->focusFrom(nav);
}

void Velantia::showNext() {
    step(0);
}
void Velantia::showPrevious() {
    step(1);
}

void Velantia::showNextFromSurvey() {
    step(0);
    survey_->focusRecord();
}

void Velantia::showPreviousFromSurvey() {
    step(1);
    survey_->focusRecord();
}

void Velantia::printHandout() {
    if (!handout_.empty()) pages_->printHandout(handout_, paths_.pageFolder(st_.run.terminalDigit));
}

void Velantia::printCompletePage() {
    const auto answer = Dialogs::message(
        this, QString::fromUtf8(FullPrintQuestion.data(), FullPrintQuestion.size()),
        QString::fromUtf8(FullPrintTitle.data(), FullPrintTitle.size()),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::Question, QMessageBox::No);
    if (answer == QMessageBox::Yes) pages_->page()->printSilently();
}

void Velantia::queryCode() {
    pages_->hideSendingPage();
    const std::string code = cp(Dialogs::input(this, QString::fromUtf8("Código Nacional")));
    if (code.size() == 6) showMedicine(code);
}

void Velantia::chooseAnswer(int row, int position) {
    vl::chooseAnswer(panel_, row, position);
    survey_->showChoices(panel_);
}

void Velantia::recordAnswers() {
    record(true);
}
void Velantia::clearAnswers() {
    record(false);
}

void Velantia::record(bool keep) {
    if (!session_.referenceOpen()) return;
    const int m = st_.run.CurrentIndex;
    // The panel changes only when the record was written.
    const RecordingResult r =
        keep ? session_.grabar(m, st_.run, panel_) : session_.borrar(m, st_.run, panel_);
    if (!r.unwrittenFile.empty() || !r.refused.empty()) {
        notRecorded(r);
        return;
    }
    if (const auto& c = r.controls) {
        survey_->setRecordingControls(*c);
        survey_->showChoices(panel_);
    }
    const bool next = nav_->nextEnabled(), prev = nav_->previousEnabled();
    const FocusTarget target =
        keep ? focusAfterGrabar(next, prev, surveyShown()) : focusAfterBorrar(next, prev);
    if (target == FocusTarget::Next) nav_->focusNext();
    if (target == FocusTarget::Prev) nav_->focusPrevious();
    survey_->focus(target);
    survey_->setApplyToAllEnabled(session_.todoEnabled());
}

void Velantia::applyToAll() {
    if (!session_.referenceOpen()) return;
    // Each medicine is shown while its answers are written; the last one shown is the current.
    const RecordingResult r = session_.todo(st_.run, panel_, [this](int m) {
        st_.run.CurrentIndex = m;
        showMedicine(st_.run.CodeList[m]);
    });
    if (!r.unwrittenFile.empty() || !r.refused.empty()) notRecorded(r);
}

void Velantia::notRecorded(const RecordingResult& r) {
    showIfClosed(); // behind the message the window already shows why
    Dialogs::message(this, q(r.refused.empty() ? notRecordedMessage(r.unwrittenFile) : r.refused),
                     QStringLiteral("Velantia"), QMessageBox::Ok, QMessageBox::Warning);
}

void Velantia::switchSurvey(bool on) {
    if (!isVisible()) return;
    layOutHeights();
    saveSurveySwitch(paths_.product("config\\encuesta.for"), on ? 1 : 0);
}

void Velantia::runCommand(Command command) {
    QWidget* owner = isVisible() ? this : nullptr;
    switch (command) {
    case Command::Send:
        startSend();
        break;
    case Command::Configure: {
        VLconfig dlg(paths_, st_.cfg, screenPx().height(), owner);
        screenshotWhenShown(dlg, true);
        dlg.exec();
        // The height may have changed.
        layOutHeights();
        centre(false);
        break;
    }
    case Command::Update: {
        Actualizar dlg(paths_, st_.cfg, files_, {}, owner);
        screenshotWhenShown(dlg, false); // it closes by itself when the run ends
        dlg.exec();
        break;
    }
    case Command::Log: {
        // This run's log (registro.log: no terminal digit), the others a choice away.
        const auto current = runlog::currentPath();
        LogViewer dlg(paths_, current.empty() ? runlog::logPath(paths_, "") : current, owner);
        screenshotWhenShown(dlg, true);
        dlg.exec();
        break;
    }
    }
}

void Velantia::startSend() {
    if (pending_ == Command::Send && nothingToSend(paths_)) {
        // Started only to send: nothing to do, so the program ends after the message.
        files_.closeAll();
        hide();
        Dialogs::message(nullptr, QStringLiteral("No hay respuestas pendientes de enviar."));
        finishAndQuit();
        return;
    }
    sendPanel_->start();
}

bool Velantia::surveyShown() const {
    return header_->surveySwitch() && st_.run.CodeCount >= 1;
}

// alto_ventana is the outer height, title bar and borders included. The page keeps at least
// PageArea::MinimumHeight; the survey panel takes what it needs of the rest and scrolls beyond
// it. Without the survey the window ends under the navigation row.
void Velantia::layOutHeights() {
    if (const QWindow* w = windowHandle())
        frameHeight_ = w->frameMargins().top() + w->frameMargins().bottom();
    const int inner = static_cast<int>(st_.cfg.alto_ventana) - std::max(frameHeight_, 0);
    const int spacing = layout_->spacing();
    const QMargins m = layout_->contentsMargins();
    int others = m.top() + m.bottom() + header_->sizeHint().height() + spacing +
                 nav_->sizeHint().height() + spacing;
    if (!sendPanel_->isHidden()) others += sendPanel_->sizeHint().height() + spacing;
    const int room = inner - others - PageArea::MinimumHeight - spacing;
    // One width at the usual font; only a larger font that cannot fit in it widens the window.
    const int wanted = std::max({WindowWidth, layout_->totalMinimumSize().width(),
                                 survey_->minimumSizeHint().width() + m.left() + m.right()});
    setFixedWidth(std::min(wanted, screenPx().width()));
    const int surveyHeight =
        std::max(survey_->smallestHeight(),
                 std::min(survey_->naturalHeight(width() - m.left() - m.right()), room));
    survey_->setFixedHeight(surveyHeight);
    survey_->setVisible(surveyShown());
    setFixedHeight(surveyShown() ? inner : inner - surveyHeight - spacing);
}

void Velantia::centre(bool horizontally) {
    const QSize screen = screenPx();
    const QRect outer = frameGeometry();
    move(horizontally ? (screen.width() - outer.width()) / 2 : x(),
         (screen.height() - outer.height()) / 2);
}

void Velantia::moveEvent(QMoveEvent* e) {
    QWidget::moveEvent(e);
    // A window manager tells the frame's size late: the outer height follows once it does.
    if (const QWindow* w = windowHandle();
        w && deferredDone_ && isVisible() &&
        w->frameMargins().top() + w->frameMargins().bottom() != frameHeight_)
        layOutHeights();
}

void Velantia::closeEvent(QCloseEvent* e) {
    finishAndQuit();
    e->accept();
}

void Velantia::finishAndQuit() {
    // A window built ahead that never started has no run to finish.
    if (finished_ || !started_) return;
    finished_ = true;
    files_.closeAll();
    session_.closeReference();
    finish(paths_, st_.run.terminalDigit);
    emit ended(0);
}

} // namespace vl::ui
