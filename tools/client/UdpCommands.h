#pragma once

#include <QStringList>
#include <QTextStream>

// Commands that listen to the emulator's UDP datagrams.
int runDiscover(const QStringList& arguments, QTextStream& out);
int runStream(const QStringList& arguments, QTextStream& out);
