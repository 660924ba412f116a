// The page view as the program uses it: load a local page with its images, tell the address
// shown and the page's text, print a page without a dialog, report loading progress, and the
// upload page's form for a send by hand.
//
// Where Qt WebEngine exists the view is its browser; elsewhere (the MinGW build for Windows)
// it is a text view, chosen at build time (VELANTIA_TEXT_PAGES), which shows the same page
// bytes as the browser lays them out.
#pragma once

#include <QUrl>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#ifdef VELANTIA_TEXT_PAGES
#include <QTextBrowser>
class QLineEdit;
#else
#include <QWebEngineView>
class QWebEnginePage;
#endif

namespace vl::ui {

#ifdef VELANTIA_TEXT_PAGES
using PageViewBase = QTextBrowser;
#else
using PageViewBase = QWebEngineView;
#endif

class PageView : public PageViewBase {
    Q_OBJECT
#ifdef VELANTIA_TEXT_PAGES
    Q_PROPERTY(QUrl url READ url NOTIFY urlChanged)
#endif
  public:
    explicit PageView(QWidget* parent = nullptr);
    ~PageView() override;

    // Pages that outlive their view, so that the next view loads its first page in a renderer
    // already started. Where a view has no renderer (the text view) there are none: null.
    static QObject* makeSparePage(QObject* owner);
    // Loads the blank page into such a page, forgets its history and zoom, and calls `done`
    // (with whether it loaded) in `context`'s thread once that is done.
    static void blankPage(QObject* page, QObject* context, std::function<void(bool)> done);
    // Where a new view takes a page made by makeSparePage, when there is one.
    static void setSparePages(std::function<QObject*()> take);
    // The page this view shows, when it can outlive the view.
    QObject* keptPage() const;
    // Nothing before the page shown now is left to go back to.
    void forgetEarlierPages();

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

#ifdef VELANTIA_TEXT_PAGES
    QUrl url() const { return url_; }
    QString title() const { return documentTitle(); }
    void load(const QUrl& url);
    // The page's form sent as the browser would send it (its button clicked).
    void submitForm();

  signals:
    void loadFinished(bool ok);
    void urlChanged(const QUrl& url);

  protected:
    void resizeEvent(QResizeEvent* e) override;
#endif

  signals:
    // Loading progress as the browser control reports it.
    void progressChange(int progress, int progressMax);
    void printDone(bool ok, const QString& target);

  private:
    bool loadRequested_ = false;
#ifdef VELANTIA_TEXT_PAGES
    struct Form;
    void showPage(const QUrl& url, const std::string& bytes, bool ok);
    void showForm(const QString& html);
    QUrl url_;
    std::shared_ptr<Form> form_;
    QWidget* formBar_ = nullptr;
    bool submitting_ = false;
#endif
};

// A page's text as a text document takes it: its images' backslashes made slashes, and the
// cells it has outside any table dropped (a browser drops them too, so their items stack).
QString textDocumentHtml(QString text);

} // namespace vl::ui
