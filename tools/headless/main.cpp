#include "HeadlessEmulator.h"
#include "HeadlessOptions.h"
#include "SceneTruthWriter.h"
#include "StopSignals.h"

#include "control/ControlStats.h"
#include "log/LogCategories.h"

#include <QCoreApplication>
#include <QTextStream>
#include <mutex>
#include <unistd.h>

namespace {

enum HeadlessExit { kExitOk = 0, kExitUsage = 1, kExitCannotStart = 2 };

// Notices come from the command servers' threads too.
std::mutex outputMutex;

void say(QTextStream& stream, const QString& line, bool named = true) {
    std::lock_guard<std::mutex> lock(outputMutex);
    if (named)
        stream << "px310-headless: ";
    stream << line << '\n';
    stream.flush();
}

}  // namespace

int main(int argc, char* argv[]) {
    const pid_t parent = ::getppid();
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Kelvora"));
    QCoreApplication::setApplicationName(QStringLiteral("px310-headless"));
    QTextStream out(stdout);
    QTextStream err(stderr);

    const HeadlessCommandLine line =
        parseHeadlessCommandLine(app.arguments().mid(1), DataPlaces::ofThisProgram());
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
        say(err, QStringLiteral("cannot catch SIGINT and SIGTERM"));
        return kExitCannotStart;
    }
    if (line.options.exitWithParent && !StopSignals::stopWithParent(parent)) {
        say(err, QStringLiteral("the process that started this one has ended"));
        return kExitCannotStart;
    }
    HeadlessEmulator emulator(line.options);
    int exitCode = kExitOk;
    QObject::connect(&emulator, &HeadlessEmulator::notice, [&err](const QString& text) { say(err, text); });
    QObject::connect(&emulator, &HeadlessEmulator::ready, [&out, json = line.options.json](const QJsonArray& scanners) {
        for (const QJsonValue& scanner : scanners)
            say(out, json ? jsonLine(scanner.toObject()) : listeningText(scanner.toObject()), !json);
        const QString http = scanners.first().toObject().value(QStringLiteral("http")).toString();
        if (!json && !http.isEmpty())
            say(out, QStringLiteral("page, control API and metrics at %1").arg(http));
    });
    QObject::connect(&emulator, &HeadlessEmulator::failed, [&](const QString& message) {
        say(err, message);
        exitCode = kExitCannotStart;
        app.quit();
    });
    QObject::connect(&stopSignals, &StopSignals::stopRequested, [&](int number) {
        say(err, QStringLiteral("signal %1, stopping").arg(number));
        app.quit();
    });

    if (const MaybeFailure failure = emulator.start()) {
        say(err, failure->message);
        return kExitCannotStart;
    }
    const bool writesTruth = !line.options.truthPath.isEmpty();
    SceneTruthWriter truth(emulator.scanner(0), line.options.truthPath);
    if (const MaybeFailure failure = writesTruth ? truth.open() : MaybeFailure()) {
        say(err, failure->message);
        return kExitCannotStart;
    }
    app.exec();
    if (const MaybeFailure failure = writesTruth ? truth.finish() : MaybeFailure()) {
        say(err, failure->message);
        exitCode = kExitCannotStart;
    }
    emulator.stop();
    say(err, QStringLiteral("stopped"));
    return exitCode;
}
