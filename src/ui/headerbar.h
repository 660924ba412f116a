// The title band: logo and title, the dispensing reference, the three top commands, the
// position counter, the price, help and the survey switch.
#pragma once

#include <QWidget>
#include <array>

class QCheckBox;
class QLabel;

namespace vl::ui {

class LinkLabel;

// What the top commands ("Actualizar", "Enviar", "Configurar") start, and what the program was
// started for when its command line was one of those words.
// The header's three buttons, in their order; Log only from the command line.
enum class Command { Update, Send, Configure, Log };

class HeaderBar : public QWidget {
    Q_OBJECT
  public:
    explicit HeaderBar(QWidget* parent = nullptr);

    void setReference(const QString& reference);
    void setPosition(const QString& counter);
    void setPrice(const QString& price);
    void hideCommands();
    void offerCodeQuery();
    void setSurveySwitch(bool on);
    bool surveySwitch() const;

  signals:
    void commandChosen(vl::ui::Command command);
    void codeQueryChosen();
    void helpChosen();
    void surveySwitchToggled(bool on);

  private:
    std::array<LinkLabel*, 3> Label5_{};
    LinkLabel *TEST_ = nullptr, *Label15_ = nullptr;
    QLabel *Label2_ = nullptr, *Label6_ = nullptr, *Label14_ = nullptr;
    QCheckBox* Check1_ = nullptr;
};

} // namespace vl::ui
