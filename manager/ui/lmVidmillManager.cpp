// lmVidmillManager: the desktop manager of lmVidmill servers.
//
//   lmVidmillManager [--config FILE]
//
// FILE is the engine list to use instead of "ManagerConfig.dat" in its usual place.

#include <QApplication>
#include <QStringList>

#include <cstdio>

#include "manager/ui/lmMainWindow.h"
#include "manager/ui/lmManagerLook.h"

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("lmVidmill"));
    QApplication::setApplicationName(QStringLiteral("Manager"));
    managerui::ApplyManagerLook(application);
    std::string configPath;
    const QStringList arguments = QApplication::arguments();
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        if (arguments[i] == QLatin1String("--config") && i + 1 < arguments.size()) {
            configPath = arguments[++i].toStdString();
        } else {
            std::fprintf(stderr, "usage: lmVidmillManager [--config FILE]\n");
            return 2;
        }
    }
    managerui::TfrmMain window(configPath);
    window.show();
    window.Start();
    return QApplication::exec();
}
