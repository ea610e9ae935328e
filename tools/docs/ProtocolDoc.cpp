#include "ProtocolDoc.h"

#include <QRegularExpression>
#include <QStringList>

namespace {

const QRegularExpression kBegin(QStringLiteral("^<!-- generated: ([a-z0-9-]+) -->$"));
const QString kEnd = QStringLiteral("<!-- end generated -->");

QString failure(int line, const QString& what) { return QStringLiteral("line %1: %2").arg(line + 1).arg(what); }

}  // namespace

// Lines outside the markers are kept as they are; a begin marker must be
// closed before the next one opens and before the end of the text.
SpliceResult spliceTables(const QString& document, const TableSource& tables) {
    const QStringList lines = document.split(QLatin1Char('\n'));
    QStringList out;
    std::optional<int> openedAt;
    for (int i = 0; i < lines.size(); ++i) {
        const QString& line = lines[i];
        const QRegularExpressionMatch begin = kBegin.match(line);
        if (openedAt && begin.hasMatch())
            return {{}, failure(i, QStringLiteral("a table begins before the one of line %1 ends").arg(*openedAt + 1))};
        if (begin.hasMatch()) {
            const std::optional<QString> table = tables(begin.captured(1));
            if (!table)
                return {{}, failure(i, QStringLiteral("no table %1: an unknown name, or the code's definitions disagree").arg(begin.captured(1)))};
            out << line << table->trimmed();
            openedAt = i;
        } else if (line == kEnd) {
            if (!openedAt)
                return {{}, failure(i, QStringLiteral("an end marker without a table"))};
            out << line;
            openedAt.reset();
        } else if (!openedAt) {
            out << line;
        }
    }
    if (openedAt)
        return {{}, failure(*openedAt, QStringLiteral("the table has no end marker"))};
    return {out.join(QLatin1Char('\n')), {}};
}
