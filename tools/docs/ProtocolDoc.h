#pragma once

#include <QString>
#include <functional>
#include <optional>

// docs/protocol.md keeps its tables between marker lines
//   <!-- generated: NAME -->
//   ...
//   <!-- end generated -->
// and the text in between is replaced by what the code defines for NAME.

// The table named `name`; nothing for a name no table has, or a table the
// code cannot make.
using TableSource = std::function<std::optional<QString>(const QString& name)>;

struct SpliceResult {
    QString text;
    QString error;  // empty on success: names the line and what is wrong
};

SpliceResult spliceTables(const QString& document, const TableSource& tables);

// Every table the wire formats give, by name.
std::optional<QString> protocolTable(const QString& name);
