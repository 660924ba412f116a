// The main window: the information page of each medicine of the dispensing, the navigation row
// and the survey panel below it. It starts the run and wires its parts together; each part is a
// widget of its own.
#pragma once

#include <QWidget>
#include <optional>

#include "core/startup.h"
#include "data/lookup.h"
#include "survey/recording.h"
#include "survey/survey.h"
#include "ui/headerbar.h"

class QTimer;
class QVBoxLayout;

namespace vl::ui {

class NavigationRow;
class PageArea;
class PageView;
class SendPanel;
class SurveyView;

class Velantia : public QWidget {
    Q_OBJECT
  public:
    // Runs the start-up sequence; the window shows itself from the deferred start.
    Velantia(const Paths& paths, const QString& commandLine, QWidget* parent = nullptr);
    // A window built ahead, while nobody waits: its parts and the survey as the survey file
    // stands now; start() runs its start-up when a dispensing comes.
    static Velantia* buildAhead(const Paths& paths);
    // False once the survey file differs from the one this window was built ahead with.
    bool surveyStillCurrent() const;
    // The start-up of a window built ahead. The deferred start follows as soon as the start-up
    // has returned to the event loop: the caller has already waited for the handoff.
    void start(const QString& commandLine);

    const RunState& runState() const { return st_.run; }
    const Config& config() const { return st_.cfg; }
    PageView* browser() const;
    bool deferredStartDone() const { return deferredDone_; }
    bool startFailed() const { return startFailed_; }
    // Started for the settings, the update or the run log: that window is the run's, not this.
    bool runsCommandWindow() const { return pending_ && pending_ != Command::Send; }
    bool sending() const;

  signals:
    void deferredStartFinished();
    // A send has reached its verdict (or failed); the result page is loading.
    void sendFinished();
    void medicineShown(const QString& code);
    // The run is over (finish done): the program, or the window process's call, ends with `code`.
    void ended(int code);

  protected:
    void closeEvent(QCloseEvent* e) override;
    void moveEvent(QMoveEvent* e) override;

  private:
    explicit Velantia(const Paths& paths, QWidget* parent = nullptr);
    void buildParts();
    void addShortcuts();
    void startUp(const QString& commandLine);
    void deferredStart();
    void buildSurveyPanel();
    void buildSurveyWidgets();
    float showMedicine(const std::string& code);
    void restoreAnswers();
    void step(int direction);
    void showNext();
    void showPrevious();
    void showNextFromSurvey();
    void showPreviousFromSurvey();
    void printHandout();
    void printCompletePage();
    void queryCode();
    void chooseAnswer(int row, int position);
    void recordAnswers();
    void clearAnswers();
    void record(bool keep);
    void notRecorded(const RecordingResult& r);
    void showIfClosed();
    void applyToAll();
    void switchSurvey(bool on);
    void runCommand(Command command);
    void startSend();
    bool surveyShown() const;
    void layOutHeights();
    void centre(bool horizontally);
    void finishAndQuit();

    Paths paths_;
    StartupState st_;
    DataFiles files_;
    std::string handout_; // the shown medicine's imprime.htm, empty when nothing is printable
    SurveyPanel panel_;
    SurveySession session_;
    std::optional<Command> pending_; // the command the program was started for
    bool deferredDone_ = false;
    bool startFailed_ = false;
    bool finished_ = false;
    bool started_ = false;
    std::optional<std::string> surveyBuiltFrom_; // the survey file's bytes until the deferred start
    int frameHeight_ = -1; // title bar and borders, as last seen

    QVBoxLayout* layout_ = nullptr;
    HeaderBar* header_ = nullptr;
    SendPanel* sendPanel_ = nullptr;
    PageArea* pages_ = nullptr;
    NavigationRow* nav_ = nullptr;
    SurveyView* survey_ = nullptr;
    QTimer* Timer1_ = nullptr;
};

} // namespace vl::ui
