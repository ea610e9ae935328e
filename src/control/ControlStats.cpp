#include "control/ControlStats.h"

#include "scanner/Scanner.h"
#include "tcp/CommandTable.h"
#include "tcp/RequestJournal.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>

QJsonObject statsJson(const Scanner& scanner) {
    const FaultCounts c = scanner.faultCounters();
    const QJsonObject faults{{QStringLiteral("lost"), double(c.lost)},
                             {QStringLiteral("duplicated"), double(c.duplicated)},
                             {QStringLiteral("reordered"), double(c.reordered)},
                             {QStringLiteral("corrupted"), double(c.corrupted)},
                             {QStringLiteral("delayed"), double(c.delayed)},
                             {QStringLiteral("held_dropped"), double(c.heldDropped)},
                             {QStringLiteral("replies_delayed"), double(c.repliesDelayed)},
                             {QStringLiteral("connections_dropped"), double(c.connectionsDropped)},
                             {QStringLiteral("replies_cut"), double(c.repliesCut)},
                             {QStringLiteral("stalls"), double(c.stalls)},
                             {QStringLiteral("hellos_suppressed"), double(c.hellosSuppressed)}};
    QJsonObject requests;
    for (const auto& [command, count] : c.requestsByCommand)
        requests.insert(QString::number(command), double(count));
    return {{QStringLiteral("datagrams_sent"), double(c.datagramsSent)},
            {QStringLiteral("late_packets"), double(scanner.latePackets())},
            {QStringLiteral("datagrams_refused"), double(scanner.refusedSends())},
            {QStringLiteral("socket_failures"), double(scanner.socketFailures())},
            {QStringLiteral("faults"), faults},
            {QStringLiteral("requests"), requests},
            {QStringLiteral("clients_connected"), c.clientsConnected},
            {QStringLiteral("current_faults"), formatFaultSpec(scanner.faults())}};
}

void addDestinations(QJsonObject& json, const Scanner& scanner) {
    const StreamRoute& route = scanner.streamRoute();
    const ScannerSettings settings = scanner.settings();
    QJsonArray hellos;
    for (const HelloLeg& leg : scanner.helloLegs())
        hellos.append(endpointText({leg.destination, settings.helloPort}));
    json.insert(QStringLiteral("stream_to"), streamTargetText(route.target()));
    json.insert(QStringLiteral("stream_destination"), scanner.streamDestination());
    json.insert(QStringLiteral("destinations_refused"), double(route.refusals()));
    json.insert(QStringLiteral("hello_to"), helloTargetText(settings.helloTo));
    json.insert(QStringLiteral("hello_destinations"), hellos);
}

QJsonObject scannerStatsJson(const Scanner& scanner) {
    QJsonObject stats = statsJson(scanner);
    addDestinations(stats, scanner);
    stats.insert(QStringLiteral("paused"), scanner.streamPaused());
    return stats;
}

QJsonObject journalJson(const RequestJournal& journal) {
    QJsonArray requests;
    for (const JournalEntry& entry : journal.entries()) {
        const CommandInfo* command = findCommand(entry.header.command);
        QJsonObject json{{QStringLiteral("time"), QDateTime::fromMSecsSinceEpoch(entry.timeMs, Qt::UTC).toString(Qt::ISODateWithMs)},
                         {QStringLiteral("client"), entry.client},
                         {QStringLiteral("command"), double(entry.header.command)},
                         {QStringLiteral("name"), QLatin1String(command ? command->name : "")},
                         {QStringLiteral("payload_size"), double(entry.header.payload_size)},
                         {QStringLiteral("offset"), double(entry.header.offset)},
                         {QStringLiteral("length"), double(entry.header.length)}};
        if (!entry.digest.isEmpty())
            json.insert(QStringLiteral("digest"), entry.digest);
        if (!entry.changed.isEmpty())
            json.insert(QStringLiteral("changed"), QJsonArray::fromStringList(entry.changed));
        requests.append(json);
    }
    return {{QStringLiteral("requests"), requests}, {QStringLiteral("forgotten"), double(journal.forgotten())}};
}

QString jsonLine(const QJsonObject& object) {
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}
