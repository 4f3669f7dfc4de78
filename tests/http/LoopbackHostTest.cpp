#include "http/LoopbackHost.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

TEST(LoopbackHost, OnlyTheLoopbackWithOrWithoutAPortNamesThisMachine) {
    const std::vector<std::pair<std::string, bool>> cases{
        {"127.0.0.1", true},
        {"127.0.0.1:8080", true},
        {"127.1.2.3:1", true},
        {"127.255.255.255", true},
        {"[::1]", true},
        {"[::1]:2098", true},
        {"localhost", true},
        {"LocalHost:80", true},
        {"localhost:", true},  // an empty port names the scheme's own
        {"attacker.example", false},
        {"attacker.example:2098", false},
        {"127.0.0.1.attacker.example", false},
        {"localhost.attacker.example", false},
        {"attacker-localhost", false},
        {"128.0.0.1", false},
        {"10.0.0.1:80", false},
        {"0.0.0.0", false},
        {"127.0.0", false},
        {"127.0.0.1.1", false},
        {"127.0.0.256", false},
        {"127.0.0.0001", false},
        {"127..0.1", false},
        {"127.0.0.1:80x", false},
        {"127.0.0.1:123456", false},
        {"127.0.0.1:80:80", false},
        {"[::1", false},
        {"[::2]", false},
        {"[::1]x", false},
        {"::1", false},  // a Host names an IPv6 address in brackets only
        {"", false},
    };
    for (const auto& [host, loopback] : cases) {
        EXPECT_EQ(kr::isLoopbackHost(host), loopback) << host;
    }
}

TEST(LoopbackHost, OnlyALoopbackListenerAddressServesThisMachineAlone) {
    const std::vector<std::pair<std::string, bool>> cases{
        {"127.0.0.1", true}, {"127.0.0.2", true}, {"::1", true},          {"[::1]", true},
        {"localhost", true}, {"LOCALHOST", true}, {"0.0.0.0", false},     {"::", false},
        {"*", false},        {"", false},         {"192.168.1.5", false}, {"host.lan", false},
    };
    for (const auto& [address, loopback] : cases) {
        EXPECT_EQ(kr::isLoopbackAddress(address), loopback) << address;
    }
}

}  // namespace
