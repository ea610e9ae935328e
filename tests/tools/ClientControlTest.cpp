#include "ToolProcess.h"

#include "control/ControlServer.h"

#include <QLocalServer>
#include <QTemporaryDir>
#include <gtest/gtest.h>

// px310-client control against a control socket in the test process.

namespace {

// Sets faults; knows no scanner by address.
class OneScanner : public ControlTarget {
public:
    int calls = 0;
    void setFaults(const QString&, const FaultSpec& spec, ControlAnswer answer) override {
        ++calls;
        answer({true, formatFaultSpec(spec)});
    }
    void loadProfile(const QString&, const QString&, ControlAnswer answer) override { refuse(answer); }
    void replay(const QString&, const QString&, ControlAnswer answer) override { refuse(answer); }
    void beginOutage(const QString&, std::chrono::milliseconds, ControlAnswer answer) override { refuse(answer); }
    void stats(const QString& scanner, ControlAnswer answer) override {
        ++calls;
        answer({false, QStringLiteral("no scanner %1").arg(scanner)});
    }

private:
    void refuse(const ControlAnswer& answer) { answer({false, QStringLiteral("not here")}); }
};

struct Case {
    const char* name;
    QStringList arguments;  // PATH stands for the control socket
    int exitCode;
    const char* printed;  // on stdout for 0, on stderr otherwise
    int targetCalls;
};

class ClientControl : public testing::TestWithParam<Case> {};

TEST_P(ClientControl, PrintsTheAnswerAndExitsWithItsKind) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("control"));
    const QString silentPath = dir.filePath(QStringLiteral("silent"));
    OneScanner target;
    ControlServer server(target);
    ASSERT_TRUE(server.listen(path));
    QLocalServer silent;  // accepts and never answers
    ASSERT_TRUE(silent.listen(silentPath));

    QStringList arguments{QStringLiteral("control")};
    for (const QString& a : GetParam().arguments)
        arguments << (a == QLatin1String("PATH") ? path : a == QLatin1String("SILENT") ? silentPath : a);
    const ToolRun run = runClient(arguments);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, GetParam().exitCode) << run.err.toStdString();
    EXPECT_TRUE((GetParam().exitCode ? run.err : run.out).contains(QLatin1String(GetParam().printed)))
        << run.out.toStdString() << run.err.toStdString();
    EXPECT_EQ(target.calls, GetParam().targetCalls);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ClientControl,
    testing::Values(Case{"Ok", {"PATH", "faults", "dup=1%,loss=5%"}, 0, "loss=5%,dup=1%\n", 1},
                    Case{"ErrorAnswer", {"PATH", "--scanner", "127.0.0.9", "stats"}, 1, "no scanner 127.0.0.9", 1},
                    Case{"BadCommand", {"PATH", "faults", "loss=5"}, 1, "\"loss=5\"", 0},
                    Case{"NoEmulator", {"/nonexistent/px310-control", "stats"}, 2, "no emulator", 0},
                    Case{"NoAnswer", {"--timeout", "300", "SILENT", "stats"}, 3, "no answer within 300 ms", 0}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
