#pragma once

#include "ScannerConnection.h"

#include <QCommandLineParser>
#include <QStringList>
#include <QTextStream>

// The arguments of one client command: its own options, --help, and for
// commands that talk to the command server --host, --port and --timeout.
class CommandLine {
public:
    enum Connection { NoServer, Server };

    CommandLine(const QString& usage, const QString& description, Connection connection);

    void addOption(const QString& name, const QString& description, const QString& valueName = QString());
    void addShortOption(const QString& shortName, const QString& name, const QString& description,
                        const QString& valueName);

    // False when --help was asked for: the help is printed, the command ends
    // successfully. A bad argument ends the command with kExitUsage.
    bool parse(const QStringList& arguments, QTextStream& out);

    bool isSet(const QString& name) const { return parser_.isSet(name); }
    QString value(const QString& name) const { return parser_.value(name); }
    // The option's integer value within [min, max], or `fallback` when not given.
    long long number(const QString& name, long long min, long long max, long long fallback) const;
    QStringList positional() const { return parser_.positionalArguments(); }
    // Exactly `count` positional arguments, else a usage error.
    QStringList positional(int count) const;

    // The connection options given before the command, then the command's own.
    Endpoint endpoint() const;

    // What `px310-client --host H --port P --timeout MS COMMAND` gave before
    // the command; the start of every endpoint() of this run.
    static void setServerDefaults(const Endpoint& endpoint);

private:
    [[noreturn]] void usageError(const QString& message) const;

    QString usage_;
    Connection connection_;
    QCommandLineParser parser_;
};

// A number given on the command line: decimal or 0x-hex.
bool parseNumber(const QString& text, long long& value);
