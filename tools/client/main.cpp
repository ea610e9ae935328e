#include "ClientMain.h"

#include <QCoreApplication>

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("px310-client"));
    QTextStream out(stdout);
    QTextStream err(stderr);
    return runClient(app.arguments().mid(1), out, err);
}
