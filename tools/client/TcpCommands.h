#pragma once

#include <QStringList>
#include <QTextStream>

// Commands on the command server. Each takes the arguments after its name,
// prints to `out` and returns the exit code; failures throw ClientError.
int runParams(const QStringList& arguments, QTextStream& out);
int runResult(const QStringList& arguments, QTextStream& out);
int runImage(const QStringList& arguments, QTextStream& out);
int runExtents(const QStringList& arguments, QTextStream& out);
int runFactory(const QStringList& arguments, QTextStream& out);
int runRaw(const QStringList& arguments, QTextStream& out);

// Sixteen bytes a row, each row led by its offset.
QString hexDump(const QByteArray& bytes);
