// The page area: the browser with the medicine's page (Wb) and, in its place while the
// pharmacist confirms a send by hand, the sending browser (WB3).
#pragma once

#include <QWidget>
#include <filesystem>
#include <string>

class QStackedLayout;

namespace vl::ui {

class PageView;

class PageArea : public QWidget {
    Q_OBJECT
  public:
    // Below this the page is no longer readable; the survey panel scrolls instead.
    static constexpr int MinimumHeight = 150;

    explicit PageArea(QWidget* parent = nullptr);

    PageView* page() const { return wb_; }
    // Made only when a send needs it; null before.
    PageView* sendingPage() const { return wb3_; }
    void showSendingPage(const std::filesystem::path& file);
    void hideSendingPage();
    // Prints the handout given (its bytes as written for the medicine shown) at once: the
    // medicine that follows cannot take its place, and the complete page stays shown.
    bool printHandout(const std::string& handout, const std::filesystem::path& folder);

  private:
    QStackedLayout* stack_ = nullptr;
    PageView* wb_ = nullptr;
    PageView* wb3_ = nullptr;
};

} // namespace vl::ui
