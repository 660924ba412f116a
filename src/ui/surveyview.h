// The survey panel (Frame1): one row per group header and question, the groups in two columns
// from the second group on, scrolling when the survey is taller than the room left; below it
// the recording row.
#pragma once

#include <QFrame>
#include <array>

#include "survey/recording.h"
#include "survey/survey.h"

class QComboBox;
class QGridLayout;
class QLabel;
class QPushButton;
class QScrollArea;

namespace vl::ui {

class SurveyView : public QFrame {
    Q_OBJECT
  public:
    explicit SurveyView(QWidget* parent = nullptr);

    // Makes the rows of a freshly built survey.
    void build(const SurveyPanel& panel);
    // Shows the choices held in `panel`: the lists and the hidden Sele and Orden captions.
    void showChoices(const SurveyPanel& panel);
    void setRecordingControls(const RecordingControls& c);
    void setApplyToAllEnabled(bool on);
    // The dispensing's answers went to the outbox: from now on nothing records, and the panel
    // says so instead of "PENDIENTE DE GRABAR".
    void showClosed();
    // Height that shows every row at `width` without scrolling, and the least that still shows the
    // recording row and one question.
    int naturalHeight(int width) const;
    int smallestHeight() const;
    void focus(FocusTarget target);
    void focusRecord();
    // Puts the focus on the first answer list; false when there is none.
    bool focusFirstList();
    void chainTabOrder(QWidget* before);

  signals:
    void answerChosen(int row, int position);
    void recordChosen();
    void clearChosen();
    void applyToAllChosen();
    void previousChosen();
    void nextChosen();

  private:
    QScrollArea* scroll_ = nullptr;
    QWidget* rowsArea_ = nullptr;
    QGridLayout* rowsGrid_ = nullptr;
    QWidget* buttons_ = nullptr;
    QPushButton *Todo_ = nullptr, *Kborrar_ = nullptr, *Kgrabar_ = nullptr, *Command1_ = nullptr,
                *Command3_ = nullptr;
    QLabel *Pgrabar_ = nullptr, *Cerrada_ = nullptr;
    bool closed_ = false;
    std::array<QLabel*, SurveyMaxRows + 1> TIT_{};
    std::array<QComboBox*, SurveyMaxRows + 1> RESP_{};
    std::array<QLabel*, SurveyMaxRows + 1> Sele_{};
    std::array<QLabel*, SurveyMaxRows + 1> Orden_{};
};

} // namespace vl::ui
