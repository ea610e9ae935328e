// The splice that keeps docs/protocol.md's tables in line with the code.
#include "ProtocolDoc.h"

#include <gtest/gtest.h>

namespace {

const QString kBegin = QStringLiteral("<!-- generated: sizes -->\n");
const QString kEnd = QStringLiteral("<!-- end generated -->\n");

std::optional<QString> sizesOnly(const QString& name) {
    return name == QLatin1String("sizes") ? std::optional<QString>(QStringLiteral("| 16 |")) : std::nullopt;
}

TEST(ProtocolDocTest, ReplacesWhatStandsBetweenTheMarkersByTheTable) {
    const SpliceResult result = spliceTables("before\n" + kBegin + "| old |\n| rows |\n" + kEnd + "after\n", sizesOnly);
    EXPECT_EQ(result.text, "before\n" + kBegin + "| 16 |\n" + kEnd + "after\n");
}

TEST(ProtocolDocTest, RefusesATableTheCodeDoesNotMake) {
    const SpliceResult result = spliceTables("text\n<!-- generated: colours -->\n" + kEnd, sizesOnly);
    EXPECT_TRUE(result.error.startsWith("line 2: no table colours")) << result.error.toStdString();
}

TEST(ProtocolDocTest, RefusesATableLeftOpen) {
    EXPECT_EQ(spliceTables(kBegin + "| old |\n", sizesOnly).error, "line 1: the table has no end marker");
}

TEST(ProtocolDocTest, RefusesAnEndMarkerWithoutATable) {
    EXPECT_EQ(spliceTables("text\n" + kEnd, sizesOnly).error, "line 2: an end marker without a table");
}

}  // namespace
