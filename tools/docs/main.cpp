// Writes docs/protocol.md with its tables made from the code:
//   px310-protocol-doc IN.md OUT.md   (OUT may be IN)
#include "ProtocolDoc.h"

#include "files/OutputFile.h"

#include <QCoreApplication>
#include <QFile>
#include <cstdio>

namespace {

int fail(const QString& message) {
    std::fprintf(stderr, "px310-protocol-doc: %s\n", qPrintable(message));
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() != 3)
        return fail(QStringLiteral("usage: px310-protocol-doc IN.md OUT.md"));
    QFile in(arguments[1]);
    if (!in.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot read %1: %2").arg(in.fileName(), in.errorString()));
    const SpliceResult result = spliceTables(QString::fromUtf8(in.readAll()), protocolTable);
    if (!result.error.isEmpty())
        return fail(in.fileName() + QStringLiteral(": ") + result.error);
    const MaybeFailure failure = writeWholeFile(arguments[2], result.text.toUtf8());
    return failure ? fail(failure->message) : 0;
}
