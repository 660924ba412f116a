// The page area: the browser with the medicine's page (Wb) and, in its place while the
// pharmacist confirms a send by hand, the sending browser (WB3).
#pragma once

#include <QWidget>
#include <filesystem>

class QLabel;
class QStackedLayout;
class QTimer;

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
    // Shows the handout, prints it once loaded, then goes back to the complete page.
    void printHandout(const std::filesystem::path& handout, const std::filesystem::path& complete);

  private:
    void watchHandoutPrint();

    QStackedLayout* stack_ = nullptr;
    QLabel* Label7_ = nullptr; // the address Wb shows, as the print watch last read it
    QTimer* Timer4_ = nullptr;
    std::filesystem::path complete_;
    bool loaded_ = false;
    PageView* wb_ = nullptr;
    PageView* wb3_ = nullptr;
};

} // namespace vl::ui
