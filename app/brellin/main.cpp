// brellin: the desktop download manager.
#include "ui/main/VornApplication.h"

#include <QApplication>

#include <csignal>

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Brellin"));
    QApplication::setApplicationVersion(QStringLiteral("1.1"));
    QStringList arguments = QApplication::arguments();
    arguments.removeFirst();
    VornApplication brellin(arguments);
    int status = brellin.Start();
    if (status >= 0) {
        return status;
    }
    return QApplication::exec();
}
