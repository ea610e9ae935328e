#include "ClientMain.h"

#include <QGuiApplication>
#include <QLoggingCategory>
#include <memory>

namespace {

// The plot's labels need fonts, which need a GUI application; on the
// minimal platform with fonts it needs no display and, unlike the offscreen
// one, frees its screen at the end (no leak for a sanitizer to report).
// Other commands start without it (and without its start-up notices).
bool drawsPlot(int argc, char* argv[]) {
    for (int i = 1; i < argc; ++i)
        if (QByteArray(argv[i]).startsWith("--plot") || QByteArray(argv[i]).startsWith("-plot"))
            return true;
    return false;
}

}  // namespace

int main(int argc, char* argv[]) {
    std::unique_ptr<QCoreApplication> app;
    if (drawsPlot(argc, argv)) {
        qputenv("QT_QPA_PLATFORM", "minimal:enable_fonts");
        // Its start-up notices (no XDG_RUNTIME_DIR in a CI shell) are no
        // concern of a client that shows no window.
        QLoggingCategory::setFilterRules(QStringLiteral("default.warning=false"));
        app = std::make_unique<QGuiApplication>(argc, argv);
        QLoggingCategory::setFilterRules(QString());
    } else {
        app = std::make_unique<QCoreApplication>(argc, argv);
    }
    QCoreApplication::setApplicationName(QStringLiteral("px310-client"));
    QTextStream out(stdout);
    QTextStream err(stderr);
    return runClient(app->arguments().mid(1), out, err);
}
