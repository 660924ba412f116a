// A run log read-only, as the pharmacy's support reads it: newest lines last, shown from the
// end. The other terminals' logs of the product folder are one choice away.
#pragma once

#include <QDialog>
#include <filesystem>
#include <vector>

#include "core/paths.h"

class QComboBox;
class QPlainTextEdit;

namespace vl::ui {

class LogViewer : public QDialog {
    Q_OBJECT
  public:
    // Opens on `current` (this terminal's log), listed even while it does not exist yet.
    LogViewer(const Paths& paths, const std::filesystem::path& current, QWidget* parent = nullptr);

  private:
    void showLog(int index);

    std::vector<std::filesystem::path> logs_;
    QComboBox* choice_ = nullptr;
    QPlainTextEdit* text_ = nullptr;
};

} // namespace vl::ui
