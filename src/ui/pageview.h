// The embedded browser as the program uses it: load a local page, tell the address shown,
// print the page without a dialog, report loading progress.
#pragma once

#include <QWebEngineView>
#include <filesystem>
#include <functional>
#include <string>

namespace vl::ui {

class PageView : public QWebEngineView {
    Q_OBJECT
  public:
    explicit PageView(QWidget* parent = nullptr);
    ~PageView() override;

    // Where a new view takes a page already loaded (its renderer started), when there is one:
    // the window process keeps one ready for the next dispensing's information page.
    static void setSparePages(std::function<QWebEnginePage*()> take);

    void navigate(const QString& url);
    // A local page; its address is made from the path, so "#" and "%" in folder names are kept.
    void showFile(const std::filesystem::path& file);
    QString locationUrl() const;
    // Whether this view was ever asked to load a page (a dispensing whose codes are all empty
    // shows none).
    bool loadRequested() const { return loadRequested_; }
    // One copy of the page shown, on the default printer or, with VELANTIA_PRINT_DIR set, into a
    // new PDF file there. Returns false (with a message to the user) when it cannot be printed.
    bool printSilently();
    // The same for a page's bytes (Windows-1252), its images relative to `folder`: printed at
    // once, whatever the view shows next.
    bool printPage(const std::string& html, const std::filesystem::path& folder);
    // Visible text of the page, as select-all + copy would give it.
    void pageText(const std::function<void(const QString&)>& done);

  signals:
    // Loading progress as the browser control reports it.
    void progressChange(int progress, int progressMax);
    void printDone(bool ok, const QString& target);

  private:
    bool loadRequested_ = false;
};

} // namespace vl::ui
