#include "faults/FaultSpec.h"

#include <gtest/gtest.h>

namespace {

struct Valid {
    const char* text;
    const char* canonical;
};

class ValidFaultSpec : public testing::TestWithParam<Valid> {};

TEST_P(ValidFaultSpec, ParsesToItsCanonicalTextWhichParsesBackTheSame) {
    const FaultSpecParse parsed = parseFaultSpec(QLatin1String(GetParam().text));
    ASSERT_TRUE(parsed.ok()) << parsed.message.toStdString();
    EXPECT_EQ(formatFaultSpec(parsed.spec), QLatin1String(GetParam().canonical));
    const FaultSpecParse again = parseFaultSpec(formatFaultSpec(parsed.spec));
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(again.spec, parsed.spec);
}

INSTANTIATE_TEST_SUITE_P(
    Grammar, ValidFaultSpec,
    testing::Values(
        Valid{"hello=off,cut=2%,drop-after=100,reply-delay=50ms,jitter=5ms,delay=10ms,corrupt=0.5%,reorder=1%,"
              "dup=1%,burst=3,loss=5%",
              "loss=5%,burst=3,dup=1%,reorder=1%,corrupt=0.5%,delay=10ms,jitter=5ms,reply-delay=50ms,drop-after=100,"
              "cut=2%,hello=off"},
        Valid{"none", "none"}, Valid{"hello=on", "none"}, Valid{" delay = 2s , stall=0 ", "delay=2000ms,stall=0"},
        Valid{"loss=100%", "loss=100%"}, Valid{"corrupt=0.0001%", "corrupt=0.0001%"},
        Valid{"loss=60%,dup=40%,reply-delay=60s", "loss=60%,dup=40%,reply-delay=60000ms"},
        Valid{"cut=07.50%", "cut=7.5%"}));

struct Invalid {
    const char* text;
    FaultSpecError error;
    const char* namedPart;  // the message quotes it
};

class InvalidFaultSpec : public testing::TestWithParam<Invalid> {};

TEST_P(InvalidFaultSpec, IsRefusedWithAMessageNamingTheBadPart) {
    const FaultSpecParse parsed = parseFaultSpec(QLatin1String(GetParam().text));
    EXPECT_EQ(parsed.error, GetParam().error);
    EXPECT_TRUE(parsed.message.contains(QLatin1String(GetParam().namedPart))) << parsed.message.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Grammar, InvalidFaultSpec,
    testing::Values(Invalid{"", FaultSpecError::Empty, "empty"}, Invalid{"  ", FaultSpecError::Empty, "empty"},
                    Invalid{"loss=5%,lose=1%", FaultSpecError::UnknownKey, "\"lose=1%\""},
                    Invalid{"loss=5%,", FaultSpecError::UnknownKey, "\"\""},
                    Invalid{"dup", FaultSpecError::MissingValue, "\"dup\""},
                    Invalid{"dup=", FaultSpecError::MissingValue, "\"dup=\""},
                    Invalid{"loss=5", FaultSpecError::BadPercentage, "\"loss=5\""},
                    Invalid{"loss=100.0001%", FaultSpecError::BadPercentage, "\"loss=100.0001%\""},
                    Invalid{"loss=0.00001%", FaultSpecError::BadPercentage, "\"loss=0.00001%\""},
                    Invalid{"loss=-1%", FaultSpecError::BadPercentage, "\"loss=-1%\""},
                    Invalid{"loss=.%", FaultSpecError::BadPercentage, "\"loss=.%\""},
                    Invalid{"delay=10", FaultSpecError::BadDuration, "\"delay=10\""},
                    Invalid{"delay=61s", FaultSpecError::BadDuration, "\"delay=61s\""},
                    Invalid{"jitter=1.5ms", FaultSpecError::BadDuration, "\"jitter=1.5ms\""},
                    Invalid{"drop-after=0", FaultSpecError::BadCount, "\"drop-after=0\""},
                    Invalid{"burst=99999999999", FaultSpecError::BadCount, "\"burst=99999999999\""},
                    Invalid{"stall=on", FaultSpecError::BadCount, "\"stall=on\""},
                    Invalid{"hello=no", FaultSpecError::BadSwitch, "\"hello=no\""},
                    Invalid{"cut=1%,cut=2%", FaultSpecError::Repeated, "\"cut=2%\""},
                    Invalid{"loss=50%,corrupt=50.0001%", FaultSpecError::Inconsistent, "100%"},
                    Invalid{"burst=3", FaultSpecError::Inconsistent, "\"burst=3\""}));

}  // namespace
