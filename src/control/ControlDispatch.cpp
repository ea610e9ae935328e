#include "control/ControlDispatch.h"

#include "control/ControlStats.h"
#include "scanner/Scanner.h"

namespace {

void playScene(ControlTarget& target, const ControlCommand& c, const ControlAnswer& answer) {
    Scanner* scanner = target.addressed(c.scanner, answer);
    if (!scanner)
        return;
    if (const MaybeFailure failure = scanner->loadScene(c.path))
        answer({false, failure->message});
    else
        answer({true, QStringLiteral("playing the scene %1").arg(c.path)});
}

void listRequests(ControlTarget& target, const ControlCommand& c, const ControlAnswer& answer) {
    if (Scanner* scanner = target.addressed(c.scanner, answer))
        answer({true, jsonLine(journalJson(scanner->journal()))});
}

void tellTruth(ControlTarget& target, const ControlCommand& c, const ControlAnswer& answer) {
    Scanner* scanner = target.addressed(c.scanner, answer);
    if (!scanner)
        return;
    if (const std::shared_ptr<const SceneProfileSource> scene = scanner->scene())
        answer({true, jsonLine(truthJson(scene->truth(c.measurement)))});
    else
        answer({false, QStringLiteral("no scene is playing")});
}

void pauseStream(ControlTarget& target, const ControlCommand& c, bool paused, const ControlAnswer& answer) {
    if (Scanner* scanner = target.addressed(c.scanner, answer)) {
        scanner->setStreamPaused(paused);
        answer({true, paused ? QStringLiteral("stream paused") : QStringLiteral("stream resumed")});
    }
}

}  // namespace

void runControlCommand(ControlTarget& target, const ControlCommand& c, const ControlAnswer& answer) {
    switch (c.kind) {
    case ControlCommand::Kind::Faults: target.setFaults(c.scanner, c.faults, answer); return;
    case ControlCommand::Kind::ClearFaults: target.setFaults(c.scanner, FaultSpec{}, answer); return;
    case ControlCommand::Kind::Profile: target.loadProfile(c.scanner, c.path, answer); return;
    case ControlCommand::Kind::Replay: target.replay(c.scanner, c.path, answer); return;
    case ControlCommand::Kind::Outage: target.beginOutage(c.scanner, c.outage, answer); return;
    case ControlCommand::Kind::Stats: target.stats(c.scanner, answer); return;
    case ControlCommand::Kind::Requests: listRequests(target, c, answer); return;
    case ControlCommand::Kind::Scene: playScene(target, c, answer); return;
    case ControlCommand::Kind::Truth: tellTruth(target, c, answer); return;
    case ControlCommand::Kind::Pause: pauseStream(target, c, true, answer); return;
    case ControlCommand::Kind::Resume: pauseStream(target, c, false, answer); return;
    }
}

bool controlCommandReads(ControlCommand::Kind kind) {
    return kind == ControlCommand::Kind::Stats || kind == ControlCommand::Kind::Requests ||
           kind == ControlCommand::Kind::Truth;
}
