#include "control/ControlCommand.h"

#include <gtest/gtest.h>

namespace {

using Kind = ControlCommand::Kind;

struct Valid {
    const char* line;
    Kind kind;
    const char* scanner;
    const char* argument;  // the path, the canonical faults or the outage in ms
};

class ValidControlLine : public testing::TestWithParam<Valid> {};

TEST_P(ValidControlLine, ParsesToItsCommand) {
    const ControlParse parsed = parseControlLine(GetParam().line);
    ASSERT_TRUE(parsed.ok()) << parsed.message.toStdString();
    const ControlCommand& c = parsed.command;
    EXPECT_EQ(c.kind, GetParam().kind);
    EXPECT_EQ(c.scanner, QLatin1String(GetParam().scanner));
    const QString argument = c.kind == Kind::Faults   ? formatFaultSpec(c.faults)
                             : c.kind == Kind::Outage ? QString::number(c.outage.count())
                                                      : c.path;
    EXPECT_EQ(argument, QString::fromUtf8(GetParam().argument));
}

INSTANTIATE_TEST_SUITE_P(
    Protocol, ValidControlLine,
    testing::Values(Valid{"stats", Kind::Stats, "", ""}, Valid{"  stats  ", Kind::Stats, "", ""},
                    Valid{"faults loss=5%,hello=off", Kind::Faults, "", "loss=5%,hello=off"},
                    Valid{"--scanner 127.0.0.2 faults dup=1%", Kind::Faults, "127.0.0.2", "dup=1%"},
                    Valid{"faults clear", Kind::ClearFaults, "", ""},
                    Valid{"profile /tmp/a profile.csv", Kind::Profile, "", "/tmp/a profile.csv"},
                    Valid{"--scanner\t10.0.0.1 replay rec/ü.pcap", Kind::Replay, "10.0.0.1", "rec/ü.pcap"},
                    Valid{"outage 2.5", Kind::Outage, "", "2500"}, Valid{"outage 3600", Kind::Outage, "", "3600000"},
                    Valid{"outage 0.001", Kind::Outage, "", "1"}));

struct Invalid {
    QByteArray line;
    ControlError error;
};

class InvalidControlLine : public testing::TestWithParam<Invalid> {};

TEST_P(InvalidControlLine, IsRefusedWithItsReason) {
    const ControlParse parsed = parseControlLine(GetParam().line);
    EXPECT_EQ(parsed.error, GetParam().error);
    EXPECT_FALSE(parsed.message.isEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Protocol, InvalidControlLine,
    testing::Values(Invalid{"", ControlError::Empty}, Invalid{" \t ", ControlError::Empty},
                    Invalid{QByteArray(kMaxControlLine + 1, 'a'), ControlError::TooLong},
                    Invalid{QByteArray("stats\0", 6), ControlError::BadCharacter},
                    Invalid{"stats\nstats", ControlError::BadCharacter}, Invalid{"restart", ControlError::UnknownCommand},
                    Invalid{"--scanner", ControlError::BadScanner},
                    Invalid{"--scanner localhost stats", ControlError::BadScanner},
                    Invalid{"--scanner 127.0.0.256 stats", ControlError::BadScanner},
                    Invalid{"--scanner ::1 stats", ControlError::BadScanner},
                    Invalid{"--scanner 127.0.0.2", ControlError::UnknownCommand},
                    Invalid{"faults", ControlError::MissingArgument}, Invalid{"profile ", ControlError::MissingArgument},
                    Invalid{"stats now", ControlError::ExtraArgument}, Invalid{"faults loss=5", ControlError::BadFaults},
                    Invalid{"outage", ControlError::MissingArgument}, Invalid{"outage 0", ControlError::BadSeconds},
                    Invalid{"outage 3600.001", ControlError::BadSeconds}, Invalid{"outage 1.", ControlError::BadSeconds},
                    Invalid{"outage -1", ControlError::BadSeconds}, Invalid{"outage 5s", ControlError::BadSeconds}));

}  // namespace
