#pragma once

#include <QStringList>
#include <QTextStream>

// px310-client control [--timeout MS] PATH COMMAND...: sends one command to
// a running emulator's control socket and prints what it answered.
int runControl(const QStringList& arguments, QTextStream& out);
