#include "faults/FaultSpec.h"

#include <gtest/gtest.h>

namespace {

using E = FaultSpecError;

struct Case {
    const char* text;
    E error;
    const char* shown = nullptr;  // the canonical text or the refusal's bad part; by default the text itself
};

class FaultSpecGrammar : public testing::TestWithParam<Case> {};

// A valid list round-trips through its canonical text; a refusal quotes the bad part.
TEST_P(FaultSpecGrammar, ParsesToItsCanonicalTextOrNamesTheBadPart) {
    const QString text = QLatin1String(GetParam().text);
    const FaultSpecParse parsed = parseFaultSpec(text);
    EXPECT_EQ(parsed.error, GetParam().error);
    const QString expected = GetParam().shown ? QLatin1String(GetParam().shown) : parsed.ok() ? text : '"' + text + '"';
    const QString shown = parsed.ok() ? formatFaultSpec(parsed.spec) : parsed.message;
    EXPECT_TRUE(parsed.ok() ? shown == expected : shown.contains(expected)) << shown.toStdString();
    EXPECT_TRUE(!parsed.ok() || parseFaultSpec(shown).spec == parsed.spec);
}

INSTANTIATE_TEST_SUITE_P(
    Valid, FaultSpecGrammar,
    testing::Values(
        Case{"hello=off,cut=2%,drop-after=100,reply-delay=50ms,jitter=5ms,delay=10ms,corrupt=0.5%,reorder=1%,dup=1%,"
             "burst=3,loss=5%", E::None,
             "loss=5%,burst=3,dup=1%,reorder=1%,corrupt=0.5%,delay=10ms,jitter=5ms,reply-delay=50ms,drop-after=100,"
             "cut=2%,hello=off"},
        Case{"none", E::None}, Case{"hello=on", E::None, "none"}, Case{"loss=100%", E::None},
        Case{" delay = 2s , stall=0 ", E::None, "delay=2000ms,stall=0"}, Case{"corrupt=0.0001%", E::None},
        Case{"cut=07.50%", E::None, "cut=7.5%"},
        Case{"loss=60%,dup=40%,reply-delay=60s", E::None, "loss=60%,dup=40%,reply-delay=60000ms"}));

INSTANTIATE_TEST_SUITE_P(
    Invalid, FaultSpecGrammar,
    testing::Values(Case{"  ", E::Empty, "empty"}, Case{"loss=5%,lose=1%", E::UnknownKey, "\"lose=1%\""},
                    Case{"loss=5%,", E::UnknownKey, "\"\""}, Case{"dup=", E::MissingValue},
                    Case{"loss=5", E::BadPercentage}, Case{"loss=100.0001%", E::BadPercentage},
                    Case{"loss=0.00001%", E::BadPercentage}, Case{"loss=.%", E::BadPercentage},
                    Case{"delay=10", E::BadDuration}, Case{"delay=61s", E::BadDuration},
                    Case{"jitter=1.5ms", E::BadDuration}, Case{"drop-after=0", E::BadCount},
                    Case{"burst=99999999999", E::BadCount}, Case{"stall=on", E::BadCount},
                    Case{"hello=no", E::BadSwitch}, Case{"cut=1%,cut=2%", E::Repeated, "\"cut=2%\""},
                    Case{"loss=50%,corrupt=50.0001%", E::Inconsistent, "100%"}, Case{"burst=3", E::Inconsistent}));

}  // namespace
