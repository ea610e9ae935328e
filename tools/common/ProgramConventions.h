#pragma once

#include <QString>

class QCommandLineParser;

// What every program of the package says the same way.

// "px310-client 1.0.0": the program's name and the project's version, as
// --version prints it.
QString versionLine(const QString& program);

// Why `parser` refused a command line, worded like the programs' other
// errors: an unknown option is named as it was given ("unknown option
// --frobnicate"), not answered with the whole usage.
QString commandLineError(const QCommandLineParser& parser);
