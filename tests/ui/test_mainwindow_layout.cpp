// The main window laid out for surveys of every shape, window heights and font sizes: no two
// visible controls overlap, every caption fits its control, the page keeps room to be read, and
// the configured height is the outer height of the window.
#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryFile>

#include "ui/app.h"
#include "ui/dialogs.h"
#include "ui/pagearea.h"
#include "window_fixture.h"

using namespace vltest;

namespace {

// `groups` groups sharing `questions` questions, three answers each (Windows-1252).
std::string survey(int groups, int questions) {
    std::string s;
    for (int g = 0, q = 0; g < groups; ++g) {
        s +=
            "E" + std::to_string(100 + g) + " Grupo de preguntas " + std::to_string(g + 1) + "\r\n";
        const int here = questions / groups + (g < questions % groups ? 1 : 0);
        for (int i = 0; i < here; ++i, ++q) {
            s += "P" + std::to_string(100 + q) +
                 (q % 3 == 2 ? " \xBFSabe el paciente para qu\xE9 sirve este medicamento? "
                             : " \xBFSabe para qu\xE9 es? ") +
                 std::to_string(q + 1) + "\r\n";
            s += "R101 S\xED\r\nR102 No, se le informa\r\nR103sNo procede\r\n";
        }
    }
    return s;
}

// Where a control can be seen, in window coordinates: cut by every parent (a scrolled panel).
QRect seen(QWidget* c, QWidget* window) {
    QRect r(c->mapTo(window, QPoint(0, 0)), c->size());
    for (QWidget* p = c->parentWidget(); p && p != window; p = p->parentWidget())
        r &= QRect(p->mapTo(window, QPoint(0, 0)), p->size());
    return r;
}

bool isControl(QWidget* c) {
    return !c->objectName().isEmpty() && !c->objectName().startsWith(u"qt_") &&
           (qobject_cast<QLabel*>(c) || qobject_cast<QAbstractButton*>(c) ||
            qobject_cast<QComboBox*>(c) || qobject_cast<QProgressBar*>(c) ||
            qobject_cast<QWebEngineView*>(c));
}

// The caption shows whole. A push button may be narrower than its style would make it ("<"),
// never narrower than its text.
bool fits(QWidget* c) {
    if (qobject_cast<QWebEngineView*>(c)) return true;
    if (auto* l = qobject_cast<QLabel*>(c); l && l->text().isEmpty()) return true;
    if (auto* l = qobject_cast<QLabel*>(c); l && l->wordWrap())
        return c->height() >= c->heightForWidth(c->width());
    if (auto* b = qobject_cast<QPushButton*>(c))
        return c->height() >= c->sizeHint().height() &&
               c->width() >= c->fontMetrics().horizontalAdvance(b->text().remove(u'&')) + 8;
    return c->width() >= c->sizeHint().width() && c->height() >= c->sizeHint().height();
}

} // namespace

class LayoutTest : public QObject {
    Q_OBJECT

    void check(QWidget* w, int outerHeight) {
        QCOMPARE(w->frameGeometry().height(), outerHeight);
        QVERIFY(w->frameGeometry().width() <= w->screen()->geometry().width());
        QVERIFY(control(w, QStringLiteral("Wb"))->height() >= vl::ui::PageArea::MinimumHeight);
        QList<QPair<QWidget*, QRect>> shown;
        int lowest = 0;
        for (QWidget* c : w->findChildren<QWidget*>()) {
            if (!c->isVisible() || !isControl(c)) continue;
            const QRect r = seen(c, w);
            if (r.isEmpty()) continue; // scrolled out of view
            QVERIFY2(w->rect().contains(r), qPrintable(c->objectName() + QStringLiteral(" out")));
            lowest = std::max(lowest, r.bottom());
            QVERIFY2(fits(c), qPrintable(c->objectName() + QStringLiteral(" is cut")));
            for (const auto& [other, o] : shown)
                QVERIFY2(!r.intersects(o), qPrintable(c->objectName() + QStringLiteral(" over ") +
                                                      other->objectName()));
            shown.append({c, r});
        }
        // The window ends with its last row: no empty band, no strip of a hidden panel.
        QVERIFY2(lowest >= w->height() - 12, qPrintable(QString::number(w->height() - lowest)));
    }

  private slots:
    void init() { vl::ui::Dialogs::reset(); }

    void fitsEverySurveyHeightAndFont_data() {
        QTest::addColumn<int>("groups");
        QTest::addColumn<int>("questions");
        QTest::addColumn<int>("height");
        QTest::addColumn<double>("fontScale");
        const int shapes[4][2] = {{0, 0}, {1, 6}, {2, 6}, {3, 20}};
        for (double scale : {1.0, 1.5})
            for (const auto& shape : shapes)
                for (int height : {480, 600, 1024})
                    QTest::addRow("%d groups, %d questions, %d px, font x%.1f", shape[0], shape[1],
                                  height, scale)
                        << shape[0] << shape[1] << height << scale;
    }

    void fitsEverySurveyHeightAndFont() {
        QFETCH(int, groups);
        QFETCH(int, questions);
        QFETCH(int, height);
        QFETCH(double, fontScale);
        static const QFont normal = QApplication::font();
        QFont font = normal;
        font.setPointSizeF(normal.pointSizeF() * fontScale);
        QApplication::setFont(font);

        DemoRoot root;
        writeBytes(root.product("datos/Encuesta.txt"), survey(groups, questions));
        writeBytes(root.product("config/datos.txt"), "\"28001234\"\r\n\"" + std::to_string(height) +
                                                         "\"\r\n0\r\n\"7 - Semanal\"\r\n\"8\"\r\n"
                                                         "\"demo\"\r\n");
        auto w = startWindow(root.paths(), QStringLiteral("-00012340+692514+683907"));
        QTRY_VERIFY(w->isVisible());
        QApplication::processEvents();
        check(w.get(), height);
        QVERIFY(w->width() <= 640 * fontScale); // long questions wrap instead of widening it

        // Without the survey the page keeps its height and the window ends under the buttons.
        const int page = control(w.get(), QStringLiteral("Wb"))->height();
        click(w.get(), QStringLiteral("Check1"));
        QApplication::processEvents();
        QVERIFY(!control(w.get(), QStringLiteral("Frame1"))->isVisible());
        QCOMPARE(control(w.get(), QStringLiteral("Wb"))->height(), page);
        check(w.get(), w->frameGeometry().height());
    }
};

int main(int argc, char** argv) {
    // A screen taller than the tallest window tried, and a frame around each window, so that
    // the outer height differs from the inner one as it does on a desktop.
    QTemporaryFile config;
    config.open();
    config.write(R"({"windowFrameMargins": true, "screens": [{"name": "pantalla", "x": 0,)"
                 R"( "y": 0, "width": 1280, "height": 1100, "logicalDpi": 96}]})");
    config.close();
    qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + config.fileName().toLocal8Bit());
    vl::ui::prepareBrowserEngine();
    QApplication app(argc, argv);
    Q_INIT_RESOURCE(assets);
    LayoutTest t;
    return QTest::qExec(&t, argc, argv);
}

#include "test_mainwindow_layout.moc"
