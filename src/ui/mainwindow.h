// The main window: the information page of each medicine of the dispensing, the navigation
// frame, and the survey panel below it.
#pragma once

#include <QWidget>
#include <array>
#include <memory>
#include <optional>
#include <vector>

#include "core/startup.h"
#include "data/lookup.h"
#include "send/send.h"
#include "send/upload.h"
#include "survey/recording.h"
#include "survey/survey.h"

class QCheckBox;
class QComboBox;
class QFrame;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QTimer;

namespace vl::ui {

class LinkLabel;
class PageView;

class Velantia : public QWidget {
    Q_OBJECT
  public:
    // Runs the start-up sequence; the window shows itself from the deferred start.
    Velantia(const Paths& paths, const QString& commandLine, QWidget* parent = nullptr);
    ~Velantia() override;

    const RunState& runState() const { return st_.run; }
    const Config& config() const { return st_.cfg; }
    DataFiles& dataFiles() { return files_; }
    PageView* browser() const { return wb_; }
    const SurveyPanel& panel() const { return panel_; }
    SurveySession& session() { return session_; }
    bool deferredStartDone() const { return deferredDone_; }
    bool startFailed() const { return startFailed_; }

    // Handlers, public so that the launcher and the tests can drive them as events do.
    float ShowMedicine(const std::string& code);
    void Command2_Click(int index);
    void Command1_Click();
    void Command3_Click();
    void Label13_Click();
    void TEST_Click();
    void Timer4_Tick();
    void Kgrabar_Click();
    void Kborrar_Click();
    void Todo_Click();
    void RESP_Click(int index, int position);
    void Check1_Click();
    void Label5_Click(int index);
    void MuestraRespuestas();
    void Label9_Click();
    void Check2_Click();
    void Timer2_Tick();
    bool sending() const { return sending_; }
    PageView* sendingBrowser() const { return wb3_; }

    // Window height, Frame1 top and Frame2 height in twips, as the layout rules use them.
    int heightTw() const;
    int collapsedHeightTw() const;

  signals:
    void deferredStartFinished();
    // A send has reached its verdict (or failed); the result page is loading.
    void sendFinished();
    void medicineShown(const QString& code);

  protected:
    void closeEvent(QCloseEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void buildControls();
    void formLoad(const QString& commandLine);
    void timer1Tick();
    void option1Click();
    void applyPanel();
    void applyChoices();
    void applyRecordingControls(const RecordingControls& c);
    void applyNavigation(bool nextEnabled, bool prevEnabled);
    void setHeightTw(int twips);
    void relayoutAfterSettings();
    void startSend();
    void uploadFinished(const SendResult& r);
    void showVerdict(SendVerdict verdict);
    PageView* wb3();
    QString resultPageUrl(const char* folder) const;
    void focusAfterRecording(bool afterGrabar);
    void recordCurrent(bool grabar);
    void finishAndQuit();

    Paths paths_;
    StartupState st_;
    DataFiles files_;
    SurveyPanel panel_;
    SurveySession session_;
    bool deferredDone_ = false;
    bool startFailed_ = false;
    bool finished_ = false;
    bool pageLoaded_ = false;

    // Controls, named as the form names them.
    QTimer *Timer1_ = nullptr, *Timer2_ = nullptr, *Timer3_ = nullptr, *Timer4_ = nullptr;
    QFrame *Frame1_ = nullptr, *Frame2_ = nullptr, *Frame4_ = nullptr, *Frame5_ = nullptr;
    QCheckBox *Check1_ = nullptr, *Check2_ = nullptr, *Check3_ = nullptr;
    PageView* wb_ = nullptr;
    PageView* wb3_ = nullptr; // the sending browser is made only when a send needs it
    bool sending_ = false;
    std::optional<std::string> lastSent_; // what the last upload sent; nullopt: a send by hand
    std::array<QPushButton*, 4> Command2_{};
    QPushButton *Command1_ = nullptr, *Command3_ = nullptr, *Kgrabar_ = nullptr,
                *Kborrar_ = nullptr, *Todo_ = nullptr;
    std::array<LinkLabel*, 3> Label5_{};
    LinkLabel *Label13_ = nullptr, *Label9_ = nullptr, *Label12_ = nullptr, *Label15_ = nullptr,
              *TEST_ = nullptr;
    QLabel *Label1_ = nullptr, *Label2_ = nullptr, *Label3_ = nullptr, *Label4_ = nullptr,
           *Label6_ = nullptr, *Label7_ = nullptr, *Label8_ = nullptr, *Label10_ = nullptr,
           *Label11_ = nullptr, *Label14_ = nullptr, *Pgrabar_ = nullptr, *Image1_ = nullptr;
    QProgressBar* PBW_ = nullptr;
    QPlainTextEdit* Text2_ = nullptr;
    QRadioButton* Option1_ = nullptr;
    std::array<QLabel*, 51> TIT_{};
    std::array<QComboBox*, 51> RESP_{};
    std::array<QLabel*, 51> Sele_{};
    std::array<QLabel*, 51> Orden_{};
};

} // namespace vl::ui
