#include "control/ControlCommand.h"

#include <tuple>

#include <gtest/gtest.h>

namespace {

using Kind = ControlCommand::Kind;

struct Valid {
    const char* line;
    Kind kind;
    const char* scanner;
    const char* argument;  // the path, the canonical faults or the outage in ms
};

struct Invalid {
    QByteArray line;
    ControlError error;
};

}  // namespace

TEST(ControlLine, ParsesToItsCommand) {
    const Valid lines[] = {
        {"stats", Kind::Stats, "", ""}, {"  stats  ", Kind::Stats, "", ""}, {"requests", Kind::Requests, "", ""},
        {"faults loss=5%,hello=off", Kind::Faults, "", "loss=5%,hello=off"},
        {"--scanner 127.0.0.2 faults dup=1%", Kind::Faults, "127.0.0.2", "dup=1%"},
        {"faults clear", Kind::ClearFaults, "", ""}, {"profile /tmp/a b.csv", Kind::Profile, "", "/tmp/a b.csv"},
        {"--scanner\t10.0.0.1 replay rec/ü.pcap", Kind::Replay, "10.0.0.1", "rec/ü.pcap"},
        {"outage 2.5", Kind::Outage, "", "2500"}, {"outage 3600", Kind::Outage, "", "3600000"},
        {"outage 0.001", Kind::Outage, "", "1"}, {"--scanner 127.1:7001 stats", Kind::Stats, "127.0.0.1:7001", ""},
        {"--scanner 127.000.000.002 stats", Kind::Stats, "127.0.0.2", ""},
        {"outage 9.09", Kind::Outage, "", "9090"}, {"scene /tmp/a b.json", Kind::Scene, "", "/tmp/a b.json"},
        {"--scanner 127.0.0.3 truth 4294967295", Kind::Truth, "127.0.0.3", "4294967295"},
        {"pause", Kind::Pause, "", ""}, {"--scanner 127.0.0.2 resume", Kind::Resume, "127.0.0.2", ""},
    };
    for (const Valid& valid : lines) {
        const ControlParse parsed = parseControlLine(valid.line);
        ASSERT_TRUE(parsed.ok()) << parsed.failure.message.toStdString();
        const ControlCommand& c = parsed.command;
        const QString argument = c.kind == Kind::Faults   ? formatFaultSpec(c.faults)
                                 : c.kind == Kind::Outage ? QString::number(c.outage.count())
                                 : c.kind == Kind::Truth  ? QString::number(c.measurement)
                                                          : c.path;
        EXPECT_EQ(std::tie(c.kind, c.scanner, argument),
                  std::tuple(valid.kind, QString(valid.scanner), QString::fromUtf8(valid.argument))) << valid.line;
    }
    EXPECT_TRUE(selectsScanner("127.0.0.1:7001", "127.0.0.1", 7001) && selectsScanner("127.0.0.1", "127.0.0.1", 7002));
    EXPECT_FALSE(selectsScanner("127.0.0.1:7001", "127.0.0.1", 7002) || selectsScanner("127.0.0.1", "127.0.0.10", 1));
}

TEST(ControlLine, IsRefusedWithItsReason) {
    const Invalid lines[] = {
        {"", ControlError::Empty}, {" \t ", ControlError::Empty},
        {QByteArray(kMaxControlLine + 1, 'a'), ControlError::TooLong},
        {QByteArray("stats\0", 6), ControlError::BadCharacter}, {"stats\nstats", ControlError::BadCharacter},
        {"restart", ControlError::UnknownCommand}, {"--scanner 127.0.0.2", ControlError::UnknownCommand},
        {"--scanner", ControlError::BadScanner}, {"--scanner localhost stats", ControlError::BadScanner},
        {"--scanner 127.0.0.256 stats", ControlError::BadScanner}, {"--scanner ::1 stats", ControlError::BadScanner},
        {"--scanner 127.0.0.1:0 stats", ControlError::BadScanner}, {"--scanner 127.0.0.1: stats", ControlError::BadScanner},
        {"faults", ControlError::MissingArgument}, {"profile ", ControlError::MissingArgument},
        {"outage", ControlError::MissingArgument}, {"stats now", ControlError::ExtraArgument}, {"requests 5", ControlError::ExtraArgument},
        {"pause 5", ControlError::ExtraArgument}, {"resume now", ControlError::ExtraArgument},
        {"faults loss=5", ControlError::BadFaults}, {"outage 0", ControlError::BadSeconds},
        {"outage 3600.001", ControlError::BadSeconds}, {"outage 1.", ControlError::BadSeconds},
        {"outage -1", ControlError::BadSeconds}, {"outage 5s", ControlError::BadSeconds},
        {"outage 1.1/", ControlError::BadSeconds}, {"outage 1.1:", ControlError::BadSeconds},
        {"truth", ControlError::MissingArgument}, {"truth -1", ControlError::BadMeasurement},
        {"truth +1", ControlError::BadMeasurement}, {"truth 4294967296", ControlError::BadMeasurement},
    };
    for (const Invalid& invalid : lines) {
        const ControlParse parsed = parseControlLine(invalid.line);
        EXPECT_EQ(parsed.failure.code, invalid.error) << invalid.line.toStdString();
        EXPECT_FALSE(parsed.failure.message.isEmpty());
    }
}
