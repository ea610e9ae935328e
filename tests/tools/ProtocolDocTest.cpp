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

struct Malformed {
    const char* name;
    QString document;
    QString error;
};

class RefusedDocument : public testing::TestWithParam<Malformed> {};

TEST_P(RefusedDocument, NamesTheLineAndTheFault) {
    EXPECT_EQ(spliceTables(GetParam().document, sizesOnly).error, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    ProtocolDocTest, RefusedDocument,
    testing::Values(Malformed{"UnknownTable", "text\n<!-- generated: colours -->\n" + kEnd,
                              "line 2: no table colours: an unknown name, or the code's definitions disagree"},
                    Malformed{"TableLeftOpen", kBegin + "| old |\n", "line 1: the table has no end marker"},
                    Malformed{"NestedTable", kBegin + kBegin + kEnd,
                              "line 2: a table begins before the one of line 1 ends"},
                    Malformed{"EndWithoutTable", "text\n" + kEnd, "line 2: an end marker without a table"}),
    [](const testing::TestParamInfo<Malformed>& info) { return std::string(info.param.name); });

}  // namespace
