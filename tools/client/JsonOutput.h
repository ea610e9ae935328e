#pragma once

#include "CommandLine.h"

#include "udp/HelloDecoder.h"

#include <QJsonObject>
#include <QTextStream>

// --json: what a command prints, as JSON for scripts. A command prints one
// object; a command that reports records as they come (results, devices)
// prints one object per record. Each object is one compact line.
void addJsonOption(CommandLine& line);
bool wantsJson(const CommandLine& line);
void printJson(QTextStream& out, const QJsonObject& object);

// The fields the factory block and a hello packet share.
QJsonObject factoryJson(const FactoryFields& fields, const std::array<uint8_t, kMacSize>& mac);
