#include "HeadlessEmulator.h"
#include "HeadlessOptions.h"
#include "StopSignals.h"

#include "log/LogCategories.h"

#include <QCoreApplication>
#include <QTextStream>

namespace {

enum HeadlessExit { kExitOk = 0, kExitUsage = 1, kExitCannotStart = 2 };

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Kelvora"));
    QCoreApplication::setApplicationName(QStringLiteral("px310-headless"));
    QTextStream out(stdout);
    QTextStream err(stderr);

    const HeadlessCommandLine line =
        parseHeadlessCommandLine(app.arguments().mid(1), QCoreApplication::applicationDirPath());
    if (line.outcome == HeadlessCommandLine::Help) {
        out << line.text;
        return kExitOk;
    }
    if (line.outcome == HeadlessCommandLine::Error) {
        err << "px310-headless: " << line.text << " (see --help)\n";
        return kExitUsage;
    }
    if (line.options.verbose)
        enableEmulatorLog();

    StopSignals stopSignals;
    if (!stopSignals.installed()) {
        err << "px310-headless: cannot catch SIGINT and SIGTERM\n";
        return kExitCannotStart;
    }
    HeadlessEmulator emulator(line.options);
    int exitCode = kExitOk;
    QObject::connect(&emulator, &HeadlessEmulator::notice, [&err](const QString& text) {
        err << "px310-headless: " << text << '\n';
        err.flush();
    });
    QObject::connect(&emulator, &HeadlessEmulator::ready, [&out](const QString& summary) {
        for (const QString& line : summary.split('\n'))
            out << "px310-headless: " << line << '\n';
        out.flush();
    });
    QObject::connect(&emulator, &HeadlessEmulator::failed, [&](const QString& message) {
        err << "px310-headless: " << message << '\n';
        exitCode = kExitCannotStart;
        app.quit();
    });
    QObject::connect(&stopSignals, &StopSignals::stopRequested, [&](int number) {
        err << "px310-headless: signal " << number << ", stopping\n";
        app.quit();
    });

    QString error;
    if (!emulator.start(&error)) {
        err << "px310-headless: " << error << '\n';
        return kExitCannotStart;
    }
    app.exec();
    emulator.stop();
    err << "px310-headless: stopped\n";
    return exitCode;
}
