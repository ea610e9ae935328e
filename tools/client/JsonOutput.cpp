#include "JsonOutput.h"

#include "control/ControlStats.h"

namespace {
const QString kJson = QStringLiteral("json");
}  // namespace

void addJsonOption(CommandLine& line) {
    line.addOption(kJson, QStringLiteral("Print JSON instead of text; px310-client(1) lists the fields."));
}

bool wantsJson(const CommandLine& line) { return line.isSet(kJson); }

void printJson(QTextStream& out, const QJsonObject& object) {
    out << jsonLine(object) << '\n';
    out.flush();
}

QJsonObject factoryJson(const FactoryFields& f, const std::array<uint8_t, kMacSize>& mac) {
    return {{QStringLiteral("serial"), f.serial},   {QStringLiteral("xemr"), f.xemr},
            {QStringLiteral("zdiap"), f.zdiap},     {QStringLiteral("xsmr"), f.xsmr},
            {QStringLiteral("zbase"), f.zbase},     {QStringLiteral("tcp_port"), f.tcpPort},
            {QStringLiteral("udp_port"), f.udpPort}, {QStringLiteral("mac"), macText(mac)}};
}
