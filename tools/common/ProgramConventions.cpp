#include "ProgramConventions.h"

#include <QCommandLineParser>

QString versionLine(const QString& program) { return program + QLatin1Char(' ') + QStringLiteral(PX310_VERSION); }

QString commandLineError(const QCommandLineParser& parser) {
    const QStringList unknown = parser.unknownOptionNames();
    if (!unknown.isEmpty()) {
        const QString& name = unknown.first();
        return QStringLiteral("unknown option %1%2").arg(name.size() == 1 ? "-" : "--", name);
    }
    // Qt's own sentences ("Missing value after '--port'.") as a clause.
    QString text = parser.errorText();
    if (text.endsWith(QLatin1Char('.')))
        text.chop(1);
    if (!text.isEmpty())
        text[0] = text[0].toLower();
    return text;
}
