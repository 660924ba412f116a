// The settings window: credentials, window height, downloads, frequency, connection type.
#pragma once

#include <QDialog>
#include <array>

#include "core/config.h"
#include "core/paths.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace vl::ui {

class VLconfig : public QDialog {
    Q_OBJECT
public:
    // Edits `cfg` in memory; only "&Guardar" changes it and the files.
    VLconfig(const Paths& paths, Config& cfg, int screenHeightPx, QWidget* parent = nullptr);

    void Command1_Click();
    void Check2_Click(int index);
    // This terminal's run log, read-only, beside this window.
    void showLog();

  private:
    Paths paths_;
    Config& cfg_;
    int screenHeightPx_;
    std::array<QLineEdit*, 4> Text1_{};
    std::array<QCheckBox*, 4> Check2_{};
    std::array<QLabel*, 4> Label6_{};
    QLabel* Label3_ = nullptr;
    QComboBox *Combo1_ = nullptr, *Combo2_ = nullptr;
    QPushButton* Command1_ = nullptr;
};

} // namespace vl::ui
