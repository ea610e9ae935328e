#pragma once

#include <QStringList>
#include <QTextStream>

// The whole client behind main(): `arguments` without the program name.
// Prints results to `out` and errors to `err`; returns the exit code.
int runClient(const QStringList& arguments, QTextStream& out, QTextStream& err);
