#include "HeadlessOptions.h"

#include <gtest/gtest.h>

namespace {

HeadlessCommandLine parsedHttp(const QStringList& arguments) {
    return parseHeadlessCommandLine(arguments, DataPlaces::inOneFolder("/opt/px"));
}

struct RefusedHttp {
    const char* name;
    QStringList arguments;
};

class HttpOptionRefused : public ::testing::TestWithParam<RefusedHttp> {};

}  // namespace

TEST(HttpOption, TakesAnAddressAndAPort) {
    const HeadlessOptions o = parsedHttp({"--http", "127.0.0.2:0"}).options;
    EXPECT_EQ(std::make_pair(o.httpAddress, int(o.httpPort)), std::make_pair(QStringLiteral("127.0.0.2"), 0));
}

TEST_P(HttpOptionRefused, IsAnErrorBeforeAnythingStarts) {
    EXPECT_EQ(parsedHttp(GetParam().arguments).outcome, HeadlessCommandLine::Error);
}

INSTANTIATE_TEST_SUITE_P(
    Values, HttpOptionRefused,
    ::testing::Values(RefusedHttp{"NoPort", {"--http", "127.0.0.1"}}, RefusedHttp{"PortTooHigh", {"--http", "127.0.0.1:65536"}},
                      RefusedHttp{"NegativePort", {"--http", "127.0.0.1:-1"}},
                      RefusedHttp{"HostName", {"--http", "localhost:80"}}, RefusedHttp{"Ipv6", {"--http", "::1:80"}},
                      RefusedHttp{"TokenWithoutHttp", {"--http-token", "secret"}}),
    [](const ::testing::TestParamInfo<RefusedHttp>& info) { return std::string(info.param.name); });
