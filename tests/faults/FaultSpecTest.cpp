#include "faults/FaultSpec.h"

#include <gtest/gtest.h>

namespace {

using E = FaultSpecError;

struct Case {
    const char* text;
    E error;
    const char* shown = nullptr;  // the canonical text or the refusal's bad part; by default the text itself
};

const Case kCases[] = {
    // Valid
    {"hello=off,cut=2%,drop-after=100,reply-delay=50ms,jitter=5ms,delay=10ms,corrupt=0.5%,reorder=1%,dup=1%,burst=3,"
     "loss=5%",
     E::None,
     "loss=5%,burst=3,dup=1%,reorder=1%,corrupt=0.5%,delay=10ms,jitter=5ms,reply-delay=50ms,drop-after=100,cut=2%,"
     "hello=off"},
    {"none", E::None}, {"hello=on", E::None, "none"}, {"loss=100%", E::None}, {"corrupt=0.0001%", E::None},
    {" delay = 2s , stall=0 ", E::None, "delay=2000ms,stall=0"}, {"cut=09.50%", E::None, "cut=9.5%"},
    {"loss=60%,dup=40%,reply-delay=60s", E::None, "loss=60%,dup=40%,reply-delay=60000ms"},
    {"loss=1%,burst=1000,drop-after=1000000000,stall=1000000000", E::None}, {"drop-after=1", E::None},
    // Invalid
    {"  ", E::Empty, "empty"}, {"loss=5%,lose=1%", E::UnknownKey, "\"lose=1%\""}, {"loss=5%,", E::UnknownKey, "\"\""},
    {"dup=", E::MissingValue}, {"loss=5", E::BadPercentage}, {"loss=100.0001%", E::BadPercentage},
    {"loss=0.00001%", E::BadPercentage}, {"loss=.%", E::BadPercentage}, {"delay=10", E::BadDuration},
    {"delay=61s", E::BadDuration}, {"jitter=1.5ms", E::BadDuration}, {"drop-after=0", E::BadCount}, {"stall=1000000001", E::BadCount},
    {"drop-after=1000000001", E::BadCount},
    {"burst=99999999999", E::BadCount}, {"loss=1%,burst=1001", E::BadCount, "\"burst=1001\": burst takes a whole number from 1 to 1000"}, {"stall=on", E::BadCount}, {"hello=no", E::BadSwitch},
    {"cut=1%,cut=2%", E::Repeated, "\"cut=2%\""}, {"loss=50%,corrupt=50.0001%", E::Inconsistent, "100%"},
    {"burst=3", E::Inconsistent}};

// A valid list round-trips through its canonical text; a refusal quotes the bad part.
TEST(FaultSpecGrammar, ParsesToItsCanonicalTextOrNamesTheBadPart) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.text);
        const QString text = QLatin1String(c.text);
        const FaultSpecParse parsed = parseFaultSpec(text);
        EXPECT_EQ(parsed.failure.code, c.error);
        const QString expected = c.shown ? QLatin1String(c.shown) : parsed.ok() ? text : '"' + text + '"';
        const QString shown = parsed.ok() ? formatFaultSpec(parsed.spec) : parsed.failure.message;
        EXPECT_TRUE(parsed.ok() ? shown == expected : shown.contains(expected)) << shown.toStdString();
        EXPECT_TRUE(!parsed.ok() || parseFaultSpec(shown).spec == parsed.spec);
    }
}

}  // namespace
