#include "app/MainWindow.h"
#include "log/LogCategories.h"

#include <QApplication>
#include <QDebug>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char* argv[]) {
    // Answered before the application starts, which needs a display.
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::puts("px310-emulator " PX310_VERSION);
        return 0;
    }
    QApplication app(argc, argv);
    // Quiet unless asked; QT_LOGGING_RULES still turns on what it names.
    if (QCoreApplication::arguments().contains(QStringLiteral("--verbose")))
        enableEmulatorLog();
    QCoreApplication::setOrganizationName(QStringLiteral("Kelvora"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("kelvora.example"));
    QCoreApplication::setApplicationName(QStringLiteral("PX310Emulator"));
    QGuiApplication::setDesktopFileName(QStringLiteral("px310-emulator"));

    // A missing translation leaves the texts untranslated.
    const QString locale = QLocale::system().name();
    QTranslator qtTranslator;
    qtTranslator.load("qt_" + locale, QLibraryInfo::location(QLibraryInfo::TranslationsPath));
    app.installTranslator(&qtTranslator);
    QTranslator appTranslator;
    const QString appTranslation = "locales/locale_" + locale;  // relative to the working directory
    qCDebug(lcParams) << appTranslation;
    appTranslator.load(appTranslation);
    app.installTranslator(&appTranslator);

    MainWindow window;
    // The emulator cannot run without its picture: say so to whoever started it.
    if (!window.startupError().isEmpty()) {
        std::fprintf(stderr, "px310-emulator: %s\n", qPrintable(window.startupError()));
        return EXIT_FAILURE;
    }
    window.show();
    return app.exec();
}
