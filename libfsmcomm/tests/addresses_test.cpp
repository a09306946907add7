#include "libfsmcomm/addresses.h"
#include "libfsmcomm/platform_error.h"
#include "libfsmcomm/transport.h"
#include "support_peer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct fake_adapter {
    bool up;
    std::vector<uint8_t> hw;
    std::vector<std::string> addresses; // IPv4 texts become AF_INET, others AF_INET6
};

std::vector<fake_adapter> g_adapters;
int g_enumerations = 0;
bool g_enumeration_fails = false;
int64_t g_now_us = 0;

int fake_enumerator(adapter_visitor_fn visit, void *context) {
    ++g_enumerations;
    if (g_enumeration_fails)
        return -1;
    for (const fake_adapter &a : g_adapters) {
        std::vector<sockaddr_storage> storage(a.addresses.size());
        std::vector<const sockaddr *> pointers;
        for (size_t i = 0; i < a.addresses.size(); ++i) {
            auto *in = reinterpret_cast<sockaddr_in *>(&storage[i]);
            auto *in6 = reinterpret_cast<sockaddr_in6 *>(&storage[i]);
            if (inet_pton(AF_INET, a.addresses[i].c_str(), &in->sin_addr) == 1)
                in->sin_family = AF_INET;
            else if (inet_pton(AF_INET6, a.addresses[i].c_str(), &in6->sin6_addr) == 1)
                in6->sin6_family = AF_INET6;
            else
                storage[i].ss_family = AF_UNIX; // a family the list ignores
            pointers.push_back(reinterpret_cast<const sockaddr *>(&storage[i]));
        }
        local_adapter adapter{a.up ? 1 : 0, static_cast<int>(a.hw.size()), a.hw.data(),
                              static_cast<int>(pointers.size()), pointers.data()};
        visit(&adapter, context);
    }
    return 0;
}

int64_t fake_clock() {
    return g_now_us;
}

host_addr addr(const char *text) {
    host_addr a{};
    uint8_t ipv4[4];
    if (inet_pton(AF_INET, text, ipv4) == 1)
        host_addr_set_ipv4(&a, ipv4);
    else
        EXPECT_EQ(inet_pton(AF_INET6, text, a.bytes), 1) << text;
    return a;
}

std::string text_of(const host_addr &a) {
    char text[64];
    return addr_to_string(&a, text, sizeof text);
}

std::vector<std::string> local_list() {
    host_addr list[LOCAL_ADDRESS_MAX];
    memset(list, 0xEE, sizeof list);
    const int count = local_addresses(list);
    std::vector<std::string> texts;
    for (int i = 0; i < count; ++i)
        texts.push_back(text_of(list[i]));
    for (int i = count; i < LOCAL_ADDRESS_MAX; ++i)
        EXPECT_TRUE(host_addr_is_zero(&list[i])) << "empty slot " << i;
    return texts;
}

const std::vector<uint8_t> kEthernet = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};

class LocalAddresses : public testing::Test {
protected:
    void SetUp() override {
        g_adapters = {{true, kEthernet, {"10.0.0.5", "2001:db8::5"}}};
        g_enumerations = 0;
        g_enumeration_fails = false;
        g_now_us = 1000;
        local_addresses_set_source_for_tests(fake_enumerator, fake_clock);
    }
    void TearDown() override { local_addresses_set_source_for_tests(nullptr, nullptr); }
};

TEST_F(LocalAddresses, OnlyQualifyingAdaptersAndReachableUnicastAddresses) {
    g_adapters = {
        {true, {}, {"10.9.9.1", "::1"}},                            // loopback: no hw
        {false, kEthernet, {"10.9.9.2"}},                           // down
        {true, {0, 0, 0, 0, 0, 0}, {"10.9.9.3"}},                   // all-zero hw
        {true, {0x44, 0x45, 0x53, 0x54, 0x00, 0x01}, {"10.9.9.4"}}, // 44 45 53 54 prefix
        {true, {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77}, {"10.9.9.5"}}, // 8-byte hw
        {true,
         kEthernet,
         {"0.0.0.0", "127.0.0.1", "10.0.0.5", "::", "::1", "ff02::1", "fe80::1", "febf::2",
          "::ffff:10.1.1.1", "::10.1.1.1", "2001:db8::5", "10.0.0.5", "not-inet", "fec0::7",
          "192.168.1.7"}},
        {true, {0x44, 0x45, 0x53, 0x00, 0x00, 0x01}, {"10.0.0.5", "172.16.0.1"}},
    };
    const std::vector<std::string> expected = {"10.0.0.5", "2001:db8::5", "fec0::7", "192.168.1.7",
                                               "172.16.0.1"};
    EXPECT_EQ(local_list(), expected);
}

TEST_F(LocalAddresses, ListStopsAt48) {
    fake_adapter many{true, kEthernet, {}};
    for (int i = 1; i <= 60; ++i)
        many.addresses.push_back("10.0.1." + std::to_string(i));
    g_adapters = {many};
    const auto list = local_list();
    ASSERT_EQ(list.size(), 48u);
    EXPECT_EQ(list.front(), "10.0.1.1");
    EXPECT_EQ(list.back(), "10.0.1.48");
}

// A list with a qualifying adapter is kept for less than five seconds; without one (or when
// enumeration fails) every use enumerates again, and an expired list is not served stale.
TEST_F(LocalAddresses, CachedForLessThanFiveSecondsOnlyWhenAnAdapterQualifies) {
    EXPECT_EQ(local_list().size(), 2u);
    g_adapters[0].addresses.push_back("10.0.0.6");
    g_now_us += LOCAL_ADDRESS_CACHE_US - 1;
    EXPECT_EQ(local_list().size(), 2u);
    EXPECT_EQ(g_enumerations, 1);
    g_now_us += 1;
    EXPECT_EQ(local_list().size(), 3u);
    EXPECT_EQ(g_enumerations, 2);

    g_adapters = {{true, {}, {"10.0.0.9"}}};
    g_now_us += LOCAL_ADDRESS_CACHE_US;
    EXPECT_TRUE(local_list().empty()) << "the fresh, empty result goes to the caller";
    EXPECT_TRUE(local_list().empty());
    EXPECT_EQ(g_enumerations, 4) << "and the next use enumerates again";
    g_enumeration_fails = true;
    EXPECT_TRUE(local_list().empty());
    EXPECT_EQ(g_enumerations, 5);
}

TEST_F(LocalAddresses, OwnAddressesBecomeLoopbackOfTheirFamily) {
    host_addr a = addr("10.0.0.5");
    EXPECT_TRUE(is_local_address(&a));
    local_to_loopback(&a);
    EXPECT_EQ(text_of(a), "127.0.0.1");

    a = addr("2001:db8::5");
    local_to_loopback(&a);
    EXPECT_EQ(text_of(a), "::1");

    a = addr("10.0.0.77");
    EXPECT_FALSE(is_local_address(&a));
    local_to_loopback(&a);
    EXPECT_EQ(text_of(a), "10.0.0.77");

    a = addr("::");
    EXPECT_FALSE(is_local_address(&a)) << "empty slots are not addresses";
}

TEST(LoopbackNames, NamesThatAlwaysMeanThisMachine) {
    const struct {
        const char *name;
        const char *expected; // nullptr: not a loopback name
    } rows[] = {
        {"localhost", "127.0.0.1"},
        {"LOCALHOST.example.com", "127.0.0.1"},
        {"127.0.0.1", "127.0.0.1"},
        {"127.0.0.2", nullptr}, // another simulated host
        {"127.0.0.10", nullptr},
        {"127.0.0.1.example", nullptr},
        {"127.anything", nullptr},
        {"LocalHost6", "::1"},
        {"localhost6.localdomain", "::1"},
        {"::1", "::1"},
        {"localhostx", nullptr},
        {"localhost6x", nullptr},
        {"127", nullptr},
        {"128.0.0.1", nullptr},
        {"::01", nullptr},
        {"", nullptr},
    };
    for (const auto &row : rows) {
        host_addr a = addr("10.1.1.1");
        EXPECT_EQ(is_localhost_name(row.name, &a), row.expected ? 1 : 0) << row.name;
        EXPECT_EQ(text_of(a), row.expected ? row.expected : "10.1.1.1") << row.name;
    }
    EXPECT_EQ(is_localhost_name(nullptr, nullptr), 0);
}

TEST(LoopbackNames, OnlyTheTwoLoopbackAddressesMeanThisMachine) {
    const struct {
        const char *text;
        int expected;
    } rows[] = {{"127.0.0.1", 1}, {"::1", 1},      {"127.0.0.2", 0}, {"127.1.0.1", 0},
                {"::2", 0},       {"10.0.0.1", 0}, {"::", 0},        {"::ffff:127.0.0.1", 1}};
    for (const auto &row : rows) {
        const host_addr a = addr(row.text);
        EXPECT_EQ(is_loopback_address(&a), row.expected) << row.text;
    }
}

TEST(Ipv4Compatible, FirstTwelveBytesZeroExceptAnyAndLoopback) {
    const host_addr yes[] = {addr("::10.1.2.3"), addr("::2"), addr("::0.0.1.0")};
    const host_addr no[] = {addr("::"), addr("::1"), addr("::ffff:10.1.2.3"), addr("2001:db8::1"),
                            addr("1::10.1.2.3")};
    for (const host_addr &a : yes)
        EXPECT_TRUE(is_ipv4_compatible(&a)) << text_of(a);
    for (const host_addr &a : no)
        EXPECT_FALSE(is_ipv4_compatible(&a)) << text_of(a);
}

class ResolveHost : public LocalAddresses {
protected:
    void SetUp() override {
        LocalAddresses::SetUp();
        char name[256] = {};
        ASSERT_EQ(gethostname(name, sizeof name - 1), 0);
        own_name_ = name;
        root_.write_config("hosts", "# simulated hosts\n"
                                    "127.0.0.2   beta Beta.cluster   # second host\n"
                                    "127.0.0.1   gamma\n"
                                    "10.1.2.3    Delta\n"
                                    "2001:db8::77 farsix\n"
                                    "fe80::9     linklocal\n"
                                    "::1         loopsix\n"
                                    "::10.1.2.3  compatsix\n"
                                    "ff05::1     multisix\n"
                                    "10.1.1.1    localhost.example\n");
    }
    std::string resolve(const char *name) {
        host_addr a{};
        errno = 0;
        if (resolve_host(name, &a) != 0)
            return "error " + std::to_string(errno) + " system " +
                   std::to_string(last_system_error());
        return text_of(a);
    }
    private_root root_;
    std::string own_name_;
};

// Loopback names need no lookup (the hosts entry of "localhost.example" is not consulted); the
// hosts file comes before the resolver and ignores case; numeric names and other IPv4 stand.
TEST_F(ResolveHost, NamesThatNeedNoLocalAddress) {
    const std::pair<const char *, const char *> rows[] = {{"localhost.example", "127.0.0.1"},
                                                          {"127.0.0.9", "127.0.0.9"},
                                                          {"localhost6", "::1"},
                                                          {"beta", "127.0.0.2"},
                                                          {"BETA.cluster", "127.0.0.2"},
                                                          {"delta", "10.1.2.3"},
                                                          {"10.20.30.40", "10.20.30.40"},
                                                          {"2001:db8::99", "2001:db8::99"},
                                                          {"farsix", "2001:db8::77"},
                                                          {nullptr, "error 22 system 87"}};
    for (const auto &[name, expected] : rows)
        EXPECT_EQ(resolve(name), expected) << (name ? name : "no name");
}

TEST_F(ResolveHost, LoopbackIpv4IsReplacedByTheFirstLocalIpv4) {
    g_adapters = {{true, kEthernet, {"2001:db8::5", "10.0.0.5", "10.0.0.6"}}};
    EXPECT_EQ(resolve("gamma"), "10.0.0.5");
    g_adapters = {{true, kEthernet, {"2001:db8::5"}}};
    g_now_us += LOCAL_ADDRESS_CACHE_US;
    EXPECT_EQ(resolve("gamma"), "error 2 system 2");
}

// Without an address of its own the machine is reached through loopback: a name mapped to
// 127.0.0.1 or ::1 keeps it (unreachable IPv6 forms still fail).
TEST_F(ResolveHost, OnlyLoopbackOnAMachineWithoutAddresses) {
    const std::vector<fake_adapter> layouts[] = {
        {}, {{true, {0, 0, 0, 0, 0, 0}, {"10.0.0.5"}}}, {{true, kEthernet, {"fe80::1"}}}};
    for (const auto &layout : layouts) {
        g_adapters = layout;
        g_now_us += LOCAL_ADDRESS_CACHE_US;
        const std::string row = "adapters " + std::to_string(layout.size());
        EXPECT_EQ(resolve("gamma"), "127.0.0.1") << row;
        EXPECT_EQ(resolve("loopsix"), "::1") << row;
        EXPECT_EQ(resolve("beta"), "127.0.0.2") << row;
        EXPECT_EQ(resolve("linklocal"), "error 2 system 2") << row;
    }
}

TEST_F(ResolveHost, NamesOfThisMachine) {
    const struct {
        const char *name;
        int expected;
    } rows[] = {{"localhost", 1}, {"127.0.0.1", 1}, {"gamma", 1},     {"10.0.0.5", 1},
                {"loopsix", 1},   {"beta", 0},      {"127.0.0.2", 0}, {"delta", 0}};
    for (const auto &row : rows)
        EXPECT_EQ(names_this_machine(row.name), row.expected) << row.name;
}

TEST_F(ResolveHost, UnreachableIpv6FormsAreReplaced) {
    g_adapters = {{true, kEthernet, {"10.0.0.5", "2001:db8::5"}}};
    for (const char *name : {"linklocal", "loopsix", "compatsix", "multisix"})
        EXPECT_EQ(resolve(name), "2001:db8::5") << name;

    g_adapters = {{true, kEthernet, {"10.0.0.5"}}};
    g_now_us += LOCAL_ADDRESS_CACHE_US;
    EXPECT_EQ(resolve("linklocal"), "10.0.0.5") << "no reachable IPv6: first IPv4";

    g_adapters = {};
    g_now_us += LOCAL_ADDRESS_CACHE_US;
    EXPECT_EQ(resolve("linklocal"), "error 2 system 2");
    EXPECT_EQ(resolve("farsix"), "2001:db8::77") << "reachable IPv6 needs no local address";
}

TEST_F(ResolveHost, OwnNameOnlyYieldsOwnAddresses) {
    root_.write_config("hosts", "10.9.8.7 " + own_name_ + "\n10.0.0.5 " + own_name_ + "\n");
    g_adapters = {{true, kEthernet, {"2001:db8::5", "10.0.0.5"}}};
    EXPECT_EQ(resolve(own_name_.c_str()), "10.0.0.5") << "the first result that is local";

    root_.write_config("hosts", "10.9.8.7 " + own_name_ + "\n");
    EXPECT_EQ(resolve(own_name_.c_str()), "2001:db8::5") << "none local: first local entry";

    g_adapters = {};
    g_now_us += LOCAL_ADDRESS_CACHE_US;
    EXPECT_EQ(resolve(own_name_.c_str()), "error 2 system 2");
}

} // namespace
