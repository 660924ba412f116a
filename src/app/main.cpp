// Velantia: started by the pharmacy-management program while a prescription is dispensed.
#include <QApplication>
#include <QDir>
#include <QTimer>

#include "core/paths.h"
#include "ui/app.h"

int main(int argc, char* argv[]) {
    vl::ui::prepareBrowserEngine();
    QApplication app(argc, argv);
    Q_INIT_RESOURCE(assets);

    // The pharmacy-management program passes one line; rebuild it from the arguments.
    QStringList args = QCoreApplication::arguments();
    args.removeFirst();
    const QString commandLine = args.join(QLatin1Char(' '));

    const vl::Paths paths(vl::driveRoot(QCoreApplication::applicationDirPath().toStdString()));
    return vl::ui::runVelantia(app, paths, commandLine);
}
