// A script inside a page (an item text may carry markup from the service) never runs in the
// embedded browser, while the page itself shows.
#include <QApplication>
#include <QSignalSpy>
#include <QTest>
#include <QUrl>

#include "support/tempdir.h"
#include "ui/app.h"
#include "ui/pageview.h"

class PageViewHostileTest : public QObject {
    Q_OBJECT

  private slots:
    void scriptsInAPageDoNotRun() {
        vltest::TempDir dir;
        const auto page =
            dir.write("Informa.htm",
                      "<html><head><title>original</title></head><body>"
                      "<script>document.title='ejecutado';</script>"
                      "<p>Aviso</p><img src=x onerror=\"document.title='onerror'\"></body></html>");
        vl::ui::PageView view;
        QSignalSpy loaded(&view, &QWebEngineView::loadFinished);
        view.navigate(QUrl::fromLocalFile(QString::fromStdString(page.string())).toString());
        QVERIFY(loaded.wait(15000));
        QCOMPARE(loaded.first().first().toBool(), true);
        // The script and the image's handler would both have changed the title.
        QCOMPARE(view.title(), QStringLiteral("original"));
    }
};

int main(int argc, char** argv) {
    vl::ui::prepareBrowserEngine();
    QApplication app(argc, argv);
    PageViewHostileTest t;
    return QTest::qExec(&t, argc, argv);
}

#include "test_pageview_hostile.moc"
