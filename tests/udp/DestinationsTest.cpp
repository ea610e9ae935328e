#include "udp/Destinations.h"
#include "udp/StreamRoute.h"

#include <QHostAddress>
#include <gtest/gtest.h>

namespace {

uint32_t ip(const char* text) { return QHostAddress(QLatin1String(text)).toIPv4Address(); }

// This machine as the tests see it: loopback, and 198.51.100.1/25 with its broadcast address.
const std::vector<InterfaceNet> kAttached{{ip("127.0.0.1"), ip("255.0.0.0"), 0},
                                          {ip("198.51.100.1"), ip("255.255.255.128"), ip("198.51.100.127")}};
const std::vector<Ipv4Net> kNone;
const std::vector<Ipv4Net> kUpperHalf{{ip("198.51.100.128"), ip("255.255.255.128")}};
const std::vector<Ipv4Net> kMulticastGroup{{ip("239.1.2.3"), ip("255.255.255.255")}};
// A /24 whose broadcast address is not configured.
const std::vector<InterfaceNet> kUnconfigured{{ip("198.51.100.1"), ip("255.255.255.0"), 0}};

struct RefusalCase {
    const char* name;
    const char* address;
    const std::vector<Ipv4Net>* allowed;
    const char* refusal;  // a part of the reason; empty: taken
    const std::vector<InterfaceNet>* attached = &kAttached;
};

const RefusalCase kRefusalCases[] = {
    {"LoopbackIsTaken", "127.0.0.5", &kNone, ""},
    {"AnAttachedSubnetIsTaken", "198.51.100.2", &kNone, ""},
    {"AnAddressOffEveryAttachedSubnetIsRefused", "198.51.100.200", &kNone, "on no network of this machine"},
    {"AnAllowedNetworkIsTaken", "198.51.100.200", &kUpperHalf, ""},
    {"TheSubnetBroadcastIsRefused", "198.51.100.127", &kNone, "broadcast"},
    {"TheTopOfASubnetWithoutAConfiguredBroadcastIsRefused", "198.51.100.255", &kNone, "broadcast", &kUnconfigured},
    {"TheLimitedBroadcastIsRefused", "255.255.255.255", &kNone, "broadcast"},
    {"MulticastIsRefused", "239.1.2.3", &kNone, "multicast"},
    {"MulticastNamedInTheAllowRuleIsTaken", "239.1.2.3", &kMulticastGroup, ""},
    {"TheUnspecifiedAddressIsRefused", "0.0.0.0", &kNone, "no destination"},
};

class RecordAddress : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(RecordAddress, IsJudgedByTheAllowRule) {
    const QString refusal = refusalOf(ip(GetParam().address), *GetParam().allowed, *GetParam().attached);
    if (*GetParam().refusal)
        EXPECT_TRUE(refusal.contains(QLatin1String(GetParam().refusal))) << refusal.toStdString();
    else
        EXPECT_EQ(refusal, QString());
}

INSTANTIATE_TEST_SUITE_P(Rule, RecordAddress, ::testing::ValuesIn(kRefusalCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Targets, ReadBackAsTheyAreWritten) {
    for (const char* text : {"loopback", "record", "198.51.100.2", "198.51.100.2:7000"})
        EXPECT_EQ(streamTargetText(parseStreamTarget(QLatin1String(text)).value()), QLatin1String(text));
    for (const char* text : {"loopback", "broadcast", "198.51.100.2"})
        EXPECT_EQ(helloTargetText(parseHelloTarget(QLatin1String(text)).value()), QLatin1String(text));
    EXPECT_EQ(netText(parseNetList(QStringLiteral("198.51.100.77/25")).value().at(0)), "198.51.100.0/25");
}

const HelloTarget kBroadcast{HelloTarget::Kind::Broadcast, 0};

TEST(HelloLegs, ABroadcastOnEveryInterfaceNamesEachInterfacesAddress) {
    const HelloLeg expected{ip("198.51.100.1"), ip("198.51.100.127"), ip("198.51.100.1")};
    EXPECT_EQ(helloLegs(kBroadcast, 0, 0, kAttached), std::vector<HelloLeg>{expected});
}

TEST(HelloLegs, ABroadcastForOneAddressLeavesFromItAndKeepsThePacketsAddress) {
    const HelloLeg expected{ip("198.51.100.1"), ip("198.51.100.127"), 0};
    EXPECT_EQ(helloLegs(kBroadcast, ip("198.51.100.1"), 0, kAttached), std::vector<HelloLeg>{expected});
}

TEST(HelloLegs, ABroadcastForAnAddressWithoutOneHasNoLeg) {
    EXPECT_TRUE(helloLegs(kBroadcast, ip("127.0.0.1"), 0, kAttached).empty());
}

// A record route on interfaces a test may change.
class RecordRoute : public ::testing::Test {
protected:
    RecordRoute() { route.setTarget({StreamTarget::Kind::Record, {}}); }
    void bringUpTheUpperHalf() {
        nets.push_back({ip("198.51.100.129"), ip("255.255.255.128"), ip("198.51.100.255")});
        interfaces.changed();
    }
    std::vector<InterfaceNet> nets = kAttached;
    RecentInterfaceNets interfaces{[this] { return nets; }};
    StreamRoute route{interfaces};
    const Endpoint refused{ip("198.51.100.200"), 7000};  // in the upper half
    const Endpoint taken{ip("198.51.100.2"), 7000};
};

TEST_F(RecordRoute, HoldsARefusedAddressAndCountsItOncePerWrite) {
    EXPECT_FALSE(route.endpoint(refused));
    EXPECT_FALSE(route.endpoint(refused));
    EXPECT_EQ(route.endpoint(taken), taken) << "the next acceptable write resumes the stream";
    EXPECT_FALSE(route.endpoint(refused));
    EXPECT_EQ(route.refusals(), 2u);
}

TEST_F(RecordRoute, TakesARefusedAddressOnceANetworkHoldingItComesUp) {
    ASSERT_FALSE(route.endpoint(refused));
    bringUpTheUpperHalf();
    EXPECT_EQ(route.endpoint(refused), refused);
}

TEST_F(RecordRoute, CountsAnAddressStillRefusedAfterAChangeOnce) {
    ASSERT_FALSE(route.endpoint(refused));
    interfaces.changed();
    ASSERT_FALSE(route.endpoint(refused));
    EXPECT_EQ(route.refusals(), 1u);
}

TEST(FixedRoute, TakesTheRecordsPortWhereItGivesNone) {
    StreamRoute route;
    route.setTarget({StreamTarget::Kind::Fixed, {ip("198.51.100.9"), 0}});
    EXPECT_EQ(route.endpoint({ip("198.51.100.200"), 7000}), (Endpoint{ip("198.51.100.9"), 7000}));
}

// Interfaces that count how often they are asked.
class RecentInterfaces : public ::testing::Test {
protected:
    int asked = 0;
    RecentInterfaceNets recent{[this] {
        ++asked;
        return kAttached;
    }};
    const RecentInterfaceNets::Clock::time_point t0 = RecentInterfaceNets::Clock::now();
};

}  // namespace

TEST_F(RecentInterfaces, AreAskedOnceWithinTheirAge) {
    recent.at(t0);
    recent.at(t0 + RecentInterfaceNets::kMaxAge - std::chrono::milliseconds(1));
    EXPECT_EQ(asked, 1);
}

TEST_F(RecentInterfaces, AreAskedAgainOnceTheirAgeIsOver) {
    recent.at(t0);
    recent.at(t0 + RecentInterfaceNets::kMaxAge);
    EXPECT_EQ(asked, 2);
}

TEST_F(RecentInterfaces, AreAskedAgainBeforeTheWatchersRun) {
    recent.at(t0);
    int askedWhenWoken = 0;
    recent.changes().add([&] { askedWhenWoken = asked; });
    recent.changed();
    EXPECT_EQ(askedWhenWoken, 2);
}

TEST_F(RecentInterfaces, WakeTheirWatchersOnAChange) {
    int woken = 0;
    recent.changes().add([&] { ++woken; });
    recent.changed();
    EXPECT_EQ(woken, 1);
}
