#include "libfsmcomm/client_list.h"

#include "clustersim/cluster.h"
#include "libfsmcomm/transport.h"
#include "libfsmcomm/wire.h"
#include "support_peer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// ---- Replies as an FSM sends them (offsets written out independently of the decoder) ----

struct wire_client {
    uint32_t flags = 1;
    uint32_t type = CLIENT_TYPE_CLIENT;
    uint32_t cpu_count = 0;
    uint32_t expiry_time = 0;
    uint32_t uptime = 0;
    uint64_t hashed_id = 0;
    host_addr ip_address{};
    host_addr local_address{};
    host_addr id_address{};
    uint32_t io_test_rate = 0;
    uint64_t io_test_last = 0;
    std::string build_text;
    uint64_t reconnect_time = 0;
    uint32_t reconnect_count = 0;
    uint8_t ipv4[4] = {}; // first version only
};

// The fields both versions share, at the same offsets.
void put_leading_fields(std::vector<uint8_t> &reply, const wire_client &c) {
    put_be32(&reply[28], c.flags);
    put_be32(&reply[32], c.type);
    put_be32(&reply[36], c.cpu_count);
    put_be32(&reply[40], c.expiry_time);
    put_be32(&reply[44], c.uptime);
    put_be64(&reply[48], c.hashed_id);
}

std::vector<uint8_t> current_reply(const wire_client &c, uint32_t announced = 1168) {
    std::vector<uint8_t> reply = make_reply(announced, std::vector<uint8_t>(1168 - 24));
    put_leading_fields(reply, c);
    memcpy(&reply[56], c.ip_address.bytes, 16);
    memcpy(&reply[72], c.local_address.bytes, 16);
    memcpy(&reply[88], c.id_address.bytes, 16);
    put_be32(&reply[104], c.io_test_rate);
    put_be64(&reply[112], c.io_test_last);
    memcpy(&reply[120], c.build_text.data(), std::min<size_t>(c.build_text.size(), 1024));
    put_be64(&reply[1144], c.reconnect_time);
    put_be32(&reply[1152], c.reconnect_count);
    reply.resize(std::min<size_t>(reply.size(), announced < 24 ? 24 : announced));
    return reply;
}

std::vector<uint8_t> v1_reply(const wire_client &c) {
    std::vector<uint8_t> reply = make_reply(60, std::vector<uint8_t>(36));
    put_leading_fields(reply, c);
    memcpy(&reply[56], c.ipv4, 4);
    return reply;
}

std::vector<uint8_t> error_reply(uint16_t code, uint8_t flag = 1) {
    return make_reply(24, {}, flag, code);
}

host_addr mapped(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    host_addr address{};
    const uint8_t ipv4[4] = {a, b, c, d};
    host_addr_set_ipv4(&address, ipv4);
    return address;
}

host_addr ipv6(uint8_t last) {
    host_addr address{};
    address.bytes[0] = 0xFD;
    address.bytes[15] = last;
    return address;
}

wire_client rich_client() {
    wire_client c;
    c.flags = 2 | CLIENT_FLAG_DLAN_SERVER | CLIENT_FLAG_GATEWAY_LICENCE;
    c.type = CLIENT_TYPE_FSM;
    c.cpu_count = 16;
    c.expiry_time = 0x6F000001;
    c.uptime = 86401;
    c.hashed_id = 0x0123456789ABCDEFull;
    c.ip_address = mapped(10, 1, 2, 3);
    c.local_address = ipv6(9);
    c.id_address = mapped(192, 168, 0, 1);
    c.io_test_rate = 750;
    c.io_test_last = 0xFEDCBA9876543210ull;
    c.build_text = "Built Mar  3 2026 by kx (rev 4711)";
    c.reconnect_time = 0x1122334455667788ull;
    c.reconnect_count = 3;
    return c;
}

void expect_entry(const client_entry &e, const wire_client &c, uint32_t index) {
    EXPECT_EQ(e.index, index);
    EXPECT_EQ(e.flags, c.flags);
    EXPECT_EQ(e.type, c.type);
    EXPECT_EQ(e.cpu_count, c.cpu_count);
    EXPECT_EQ(e.expiry_time, c.expiry_time);
    EXPECT_EQ(e.uptime, c.uptime);
    EXPECT_EQ(e.hashed_id, c.hashed_id);
    EXPECT_TRUE(host_addr_equal(&e.ip_address, &c.ip_address));
    EXPECT_TRUE(host_addr_equal(&e.local_address, &c.local_address));
    EXPECT_TRUE(host_addr_equal(&e.id_address, &c.id_address));
    EXPECT_EQ(e.io_test_rate, c.io_test_rate);
    EXPECT_EQ(e.io_test_last, c.io_test_last);
    EXPECT_STREQ(e.build_text, c.build_text.c_str());
    EXPECT_EQ(e.reconnect_time, c.reconnect_time);
    EXPECT_EQ(e.reconnect_count, c.reconnect_count);
}

bool all_zero(const void *bytes, size_t length) {
    const auto *p = static_cast<const uint8_t *>(bytes);
    for (size_t i = 0; i < length; ++i)
        if (p[i] != 0)
            return false;
    return true;
}

// ---- Decoding without a network ----

TEST(ClientEntryDecode, CurrentReplyFillsEveryFieldAndTakesTheIndexAskedFor) {
    const wire_client c = rich_client();
    std::vector<uint8_t> reply = current_reply(c);
    put_be32(&reply[24], 999); // an index echoed by the FSM is not the one asked for
    client_entry e;
    memset(&e, 0x5A, sizeof e);
    client_entry_decode(reply.data(), reply.size(), 7, &e);
    expect_entry(e, c, 7);
    EXPECT_TRUE(all_zero(e.reserved, sizeof e.reserved));
}

// Replies cut short on the walk are covered there; these are the cuts inside a field.
TEST(ClientEntryDecode, FieldCutByTheReplyEndKeepsOnlyWhatArrived) {
    const std::vector<uint8_t> reply = current_reply(rich_client());
    client_entry e;
    client_entry_decode(reply.data(), 125, 1, &e);
    EXPECT_STREQ(e.build_text, "Built");

    std::vector<uint8_t> buffer(FSM_WHO_REPLY_CAPACITY, 0xEE);
    client_entry_v1 v;
    client_entry_v1_decode(buffer.data(), 58, 2, &v); // the IPv4 address is cut short
    EXPECT_TRUE(all_zero(v.ipv4, 4));
}

TEST(ClientEntryDecode, StoredLengthIsTheAnnouncedLengthWithinTheCapacity) {
    EXPECT_EQ(fsm_reply_stored_length(make_reply(5000).data(), 4096), 4096u);
    EXPECT_EQ(fsm_reply_stored_length(make_reply(1168).data(), 4096), 1168u);
    EXPECT_EQ(fsm_reply_stored_length(make_reply(10).data(), 4096), 10u);
    EXPECT_EQ(fsm_reply_stored_length(make_reply(1168).data(), 16), 0u);
}

TEST(ClientEntryDecode, FirstVersionIsWidenedWithItsAddressAsLocalAddress) {
    wire_client c;
    c.flags = 3 | CLIENT_FLAG_DLAN_CLIENT;
    c.type = CLIENT_TYPE_NAME_SERVER;
    c.cpu_count = 4;
    c.expiry_time = 1700000000;
    c.uptime = 59;
    c.hashed_id = 0xA1B2C3D4E5F60718ull;
    const uint8_t address[4] = {10, 0, 0, 7};
    memcpy(c.ipv4, address, 4);
    const std::vector<uint8_t> reply = v1_reply(c);

    client_entry_v1 v;
    client_entry_v1_decode(reply.data(), reply.size(), 5, &v);
    client_entry e;
    memset(&e, 0x5A, sizeof e);
    client_entry_widen(&v, &e);
    wire_client expected = c;
    expected.local_address = mapped(10, 0, 0, 7);
    expect_entry(e, expected, 5);
    char text[64];
    EXPECT_STREQ(addr_to_string(&e.local_address, text, sizeof text), "10.0.0.7");
    EXPECT_TRUE(all_zero(e.reserved, sizeof e.reserved));

    v.ipv4[3] = 0;
    client_entry_widen(&v, &e);
    EXPECT_FALSE(host_addr_is_zero(&e.local_address)) << "10.0.0.0 is still an address";
    memset(v.ipv4, 0, 4);
    client_entry_widen(&v, &e);
    EXPECT_TRUE(host_addr_is_zero(&e.local_address));
}

TEST(ClientEntryTaken, ConnectionStateBitsDecideExceptForTheFirstEntry) {
    EXPECT_TRUE(client_entry_taken(1, 5));
    EXPECT_TRUE(client_entry_taken(2, 5));
    EXPECT_TRUE(client_entry_taken(3, 5));
    EXPECT_FALSE(client_entry_taken(0, 5));
    EXPECT_FALSE(client_entry_taken(CLIENT_FLAG_DLAN_SERVER | CLIENT_FLAG_DLAN_CLIENT | 4, 5));
    EXPECT_TRUE(client_entry_taken(0, 0));
}

// ---- The walk against a loopback FSM ----

struct seen_request {
    int length;
    int msg_class;
    int type;
    int argument;
    uint32_t index;
    uint32_t tail; // bytes 28-31
};

// Answers each request with `answer(index)`; an empty answer closes the connection.
struct walk_result {
    int rc = -1;
    std::vector<client_entry> entries;
    bool array_returned = false;
    int count = -1;
    std::string text;
    std::vector<seen_request> requests;
};

walk_result run_walk(int current_version,
                     const std::function<std::vector<uint8_t>(uint32_t)> &answer,
                     bool want_entries = true) {
    walk_result result;
    loopback_peer peer([&](int fd) {
        for (int i = 0; i < 400; ++i) {
            uint8_t request[32];
            if (recv_bytes(fd, request, sizeof request) != sizeof request)
                return;
            const uint32_t index = get_be32(request + 24);
            result.requests.push_back({static_cast<int>(get_be24(request + 5)), request[8],
                                       request[9], get_be16(request + 12), index,
                                       get_be32(request + 28)});
            const std::vector<uint8_t> reply = answer(index);
            if (reply.empty() || !send_bytes(fd, reply))
                return;
        }
    });
    if (!peer.listening())
        return result;
    const int fd = connect_loopback(peer.port());
    if (fd < 0)
        return result;
    client_entry *entries = reinterpret_cast<client_entry *>(1);
    char text[256];
    memset(text, 'z', sizeof text);
    result.rc = fsm_who(fd, current_version, want_entries ? &entries : nullptr, &result.count, text,
                        sizeof text);
    close(fd);
    peer.join();
    result.text = text;
    if (want_entries && entries != nullptr) {
        result.array_returned = true;
        result.entries.assign(entries, entries + result.count);
        free(entries);
    }
    return result;
}

std::vector<size_t> g_allocations;
int g_fail_at = 0; // 1-based allocation that fails, 0 none

void *recording_realloc(void *block, size_t size) {
    g_allocations.push_back(size);
    if (static_cast<int>(g_allocations.size()) == g_fail_at)
        return nullptr;
    return realloc(block, size);
}

class ClientWalk : public testing::Test {
protected:
    void SetUp() override {
        unsetenv("TIMEDWAIT_VALUE");
        g_allocations.clear();
        g_fail_at = 0;
        client_list_set_realloc_for_tests(recording_realloc);
    }
    void TearDown() override { client_list_set_realloc_for_tests(nullptr); }
};

// A client whose fields tell its index; state bits rotate through 1, 2, 3.
wire_client numbered_client(uint32_t index) {
    wire_client c;
    c.flags = 1 + index % 3;
    c.cpu_count = index;
    c.hashed_id = 0x1000 + index;
    c.build_text = "client " + std::to_string(index);
    if (index % 5 != 0) { // every fifth client has no IP address
        c.ip_address = mapped(10, 0, 1, static_cast<uint8_t>(index));
        c.ipv4[0] = 10;
        c.ipv4[3] = static_cast<uint8_t>(index);
    }
    return c;
}

// 45 clients at indexes 0-59, with a process that has left (state bits 0) at every index
// 2, 6, 10, ...; index 60 ends the list.
bool departed(uint32_t index) {
    return index % 4 == 2;
}

std::vector<uint8_t> forty_five(uint32_t index, bool current) {
    if (index >= 60)
        return error_reply(FSM_WHO_END_OF_LIST);
    wire_client c = numbered_client(index);
    if (departed(index))
        c.flags = CLIENT_FLAG_DLAN_SERVER | CLIENT_FLAG_GATEWAY_LICENCE;
    return current ? current_reply(c) : v1_reply(c);
}

TEST_F(ClientWalk, CurrentVersionWalksEveryIndexAndGrowsInStepsOfTwenty) {
    const walk_result r = run_walk(1, [](uint32_t i) { return forty_five(i, true); });
    ASSERT_EQ(r.rc, 0) << r.text;
    EXPECT_EQ(r.text, "");
    ASSERT_EQ(r.count, 45);
    ASSERT_EQ(r.entries.size(), 45u);
    const size_t s = sizeof(client_entry);
    EXPECT_EQ(g_allocations, (std::vector<size_t>{20 * s, 40 * s, 60 * s}));

    uint32_t expected_index = 0;
    for (const client_entry &e : r.entries) {
        if (departed(expected_index))
            ++expected_index;
        expect_entry(e, numbered_client(expected_index), expected_index);
        ++expected_index;
    }
    ASSERT_EQ(r.requests.size(), 61u);
    for (uint32_t i = 0; i < r.requests.size(); ++i) {
        const seen_request &q = r.requests[i];
        EXPECT_EQ(q.index, i);
        EXPECT_EQ(q.length, 32);
        EXPECT_EQ(q.msg_class, 2);
        EXPECT_EQ(q.type, 22);
        EXPECT_EQ(q.argument, 0);
        EXPECT_EQ(q.tail, 0u);
    }
}

TEST_F(ClientWalk, FirstVersionIsWidenedAfterTheWalk) {
    const walk_result r = run_walk(0, [](uint32_t i) { return forty_five(i, false); });
    ASSERT_EQ(r.rc, 0) << r.text;
    ASSERT_EQ(r.entries.size(), 45u);
    const size_t s = sizeof(client_entry_v1);
    EXPECT_EQ(g_allocations,
              (std::vector<size_t>{20 * s, 40 * s, 60 * s, 45 * sizeof(client_entry)}));
    for (const seen_request &q : r.requests)
        EXPECT_EQ(q.type, 10);
    EXPECT_EQ(r.requests.size(), 61u);

    const client_entry &first = r.entries[0];
    EXPECT_EQ(first.index, 0u);
    EXPECT_EQ(first.flags, 1u);
    EXPECT_TRUE(host_addr_is_zero(&first.ip_address));
    EXPECT_TRUE(host_addr_is_zero(&first.local_address));
    const client_entry &index_seven = r.entries[5]; // index 2 was skipped
    EXPECT_EQ(index_seven.index, 7u);
    EXPECT_EQ(index_seven.hashed_id, 0x1007u);
    EXPECT_EQ(index_seven.cpu_count, 7u);
    const host_addr expected = mapped(10, 0, 0, 7);
    EXPECT_TRUE(host_addr_equal(&index_seven.local_address, &expected));
    EXPECT_TRUE(host_addr_is_zero(&index_seven.ip_address));
    EXPECT_STREQ(index_seven.build_text, "");
}

TEST_F(ClientWalk, AllocationsFollowTheNumberOfEntriesTaken) {
    const size_t s = sizeof(client_entry);
    const std::pair<uint32_t, std::vector<size_t>> cases[] = {
        {1, {20 * s}}, {20, {20 * s}}, {21, {20 * s, 40 * s}}, {40, {20 * s, 40 * s}}};
    for (const auto &[clients, sizes] : cases) {
        g_allocations.clear();
        const walk_result r = run_walk(1, [clients](uint32_t i) {
            return i < clients ? current_reply(numbered_client(i))
                               : error_reply(FSM_WHO_END_OF_LIST);
        });
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(r.count, static_cast<int>(clients));
        EXPECT_EQ(g_allocations, sizes) << clients << " clients";
    }
}

TEST_F(ClientWalk, FirstEntryIsTakenWhateverItsStateAndLaterOnesAreNot) {
    for (int version : {0, 1}) {
        const walk_result r = run_walk(version, [version](uint32_t i) {
            wire_client c;
            c.flags = CLIENT_FLAG_DLAN_CLIENT;
            c.cpu_count = 8 + i;
            if (i > 2)
                return error_reply(FSM_WHO_END_OF_LIST);
            return version ? current_reply(c) : v1_reply(c);
        });
        ASSERT_EQ(r.rc, 0) << r.text;
        ASSERT_EQ(r.entries.size(), 1u) << "version " << version;
        EXPECT_EQ(r.entries[0].cpu_count, 8u);
        EXPECT_EQ(r.entries[0].flags, CLIENT_FLAG_DLAN_CLIENT);
        EXPECT_EQ(r.requests.size(), 4u);
    }
}

TEST_F(ClientWalk, EndOfListAtFirstIndexIsAnEmptySuccess) {
    for (int version : {0, 1}) {
        const walk_result r =
            run_walk(version, [](uint32_t) { return error_reply(FSM_WHO_END_OF_LIST); });
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(r.count, 0);
        EXPECT_FALSE(r.array_returned);
        EXPECT_EQ(r.text, "");
        EXPECT_TRUE(g_allocations.empty());
    }
}

TEST_F(ClientWalk, WithoutAnArrayTheListIsStillReadAndCounted) {
    const walk_result r = run_walk(
        1, [](uint32_t i) { return forty_five(i, true); }, false);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.count, 45);
    EXPECT_EQ(r.requests.size(), 61u);
}

TEST_F(ClientWalk, PeerErrorsEndTheWalkWithTheirValueAndText) {
    const auto error_at_three = [](bool current) {
        return [current](uint32_t i) {
            if (i >= 3)
                return error_reply(5);
            return current ? current_reply(numbered_client(i)) : v1_reply(numbered_client(i));
        };
    };
    const std::string e5 = strerror(5), e1 = strerror(1);
    const struct {
        int version;
        std::function<std::vector<uint8_t>(uint32_t)> answer;
        int rc;
        std::string text;
    } cases[] = {
        {1, error_at_three(true), 5, "Fsm returned error 5 (" + e5 + ") for 'who' request."},
        {0, error_at_three(false), 5, "Fsm 'who' (V1) returned error 5 - " + e5},
        // An FSM that does not know the current request says so with flag 255 and code 1.
        {1, [](uint32_t) { return error_reply(1, 255); }, 1,
         "Fsm returned error 1 (" + e1 + ") for 'who' request."},
        // A peer that goes away mid-list is a transport failure, not the end of the list.
        {1,
         [](uint32_t i) {
             return i < 2 ? current_reply(numbered_client(i)) : std::vector<uint8_t>{};
         },
         10054, ""},
    };
    for (const auto &c : cases) {
        const walk_result r = run_walk(c.version, c.answer);
        EXPECT_EQ(r.rc, c.rc);
        EXPECT_EQ(r.count, 0);
        EXPECT_FALSE(r.array_returned);
        if (!c.text.empty()) {
            EXPECT_EQ(r.text, c.text);
        }
    }
}

TEST_F(ClientWalk, OutOfMemoryFreesEverythingAndStopsAsking) {
    g_fail_at = 2; // growing from 20 to 40 entries
    walk_result r = run_walk(1, [](uint32_t i) { return forty_five(i, true); });
    EXPECT_EQ(r.rc, 20);
    EXPECT_EQ(r.count, 0);
    EXPECT_FALSE(r.array_returned);
    EXPECT_EQ(r.text, "FsmWho failed - out of memory");
    EXPECT_EQ(r.requests.size(), 28u) << "the 21st client is at index 27";

    g_allocations.clear();
    r = run_walk(0, [](uint32_t i) { return forty_five(i, false); });
    EXPECT_EQ(r.rc, 20);
    EXPECT_FALSE(r.array_returned);
    EXPECT_EQ(r.text, "Fsm 'who' (V1) failed - out of memory");

    g_allocations.clear();
    g_fail_at = 4; // the widening after three growths
    r = run_walk(0, [](uint32_t i) { return forty_five(i, false); });
    EXPECT_EQ(r.rc, 20);
    EXPECT_EQ(r.count, 0);
    EXPECT_FALSE(r.array_returned);
    EXPECT_EQ(r.text, "FsmWho failed - out of memory");
    EXPECT_EQ(r.requests.size(), 61u);
}

TEST_F(ClientWalk, RepliesOfAnyLengthAreReadOnlyAsFarAsTheyGo) {
    const walk_result r = run_walk(1, [](uint32_t i) -> std::vector<uint8_t> {
        wire_client c = rich_client();
        switch (i) {
        case 0: // header only, announcing less than a header
            return make_reply(8);
        case 1: // the whole entry, then its build text and more beyond the reply buffer
        {
            c.build_text = std::string(1024, 'b');
            std::vector<uint8_t> reply = current_reply(c, 5000);
            reply.resize(5000, 0x77);
            return reply;
        }
        case 2: // ends after the expiry time: nothing of the long entry before may remain
            c.flags = 1;
            return current_reply(c, 44);
        case 3:
            return current_reply(numbered_client(3));
        default:
            return error_reply(FSM_WHO_END_OF_LIST);
        }
    });
    ASSERT_EQ(r.rc, 0) << r.text;
    ASSERT_EQ(r.entries.size(), 4u);
    EXPECT_TRUE(all_zero(&r.entries[0], sizeof(client_entry)));
    EXPECT_EQ(r.entries[1].hashed_id, rich_client().hashed_id);
    EXPECT_EQ(strlen(r.entries[1].build_text), 1023u);
    EXPECT_EQ(r.entries[1].reconnect_count, rich_client().reconnect_count);
    const client_entry &short_one = r.entries[2];
    EXPECT_EQ(short_one.flags, 1u);
    EXPECT_EQ(short_one.expiry_time, rich_client().expiry_time);
    EXPECT_EQ(short_one.uptime, 0u);
    EXPECT_EQ(short_one.hashed_id, 0u);
    EXPECT_TRUE(host_addr_is_zero(&short_one.ip_address));
    EXPECT_STREQ(short_one.build_text, "");
    EXPECT_EQ(short_one.reconnect_count, 0u);
    expect_entry(r.entries[3], numbered_client(3), 3);
}

// ---- Against the cluster simulator ----

constexpr const char *kSimulatedClients = R"({
  "hosts": [{"address": "127.0.0.1", "name": "alpha"}],
  "filesystems": [{
    "name": "snfs1", "managers": [{"host": "127.0.0.1", "state": "active"}],
    "tap_capability": 1,
    "clients": [
      {"flags": 3, "type": 2, "cpus": 8, "expiry": 1800000000, "uptime": 3600,
       "hashed_id": 81985529216486895, "ip": "127.0.0.1", "local": "10.0.0.7",
       "identity": "fd00::1", "io_rate": 250, "io_last": 1700000000000,
       "build": "kxfsm 4.2.1", "reconnect_time": 1700000100, "reconnect_count": 2},
      {"flags": 131072, "type": 3, "local": "10.0.0.9"},
      {"flags": 33816577, "type": 3, "cpus": 2},
      {"flags": 2, "type": 5, "ip": "fd00::5", "local": "10.0.0.8"}
    ]}]})";

// Registers `fd` as an administration tap; the FSM answers its capability word.
int admin_tap(int fd, uint32_t *capability) {
    uint8_t message[FSM_WHO_REPLY_CAPACITY] = {};
    fsm_msg_init(message, 7, 0);
    int error = 0;
    if (fsm_send_and_wait(fd, message, 32, sizeof message, &error, 1) != 0)
        return error;
    *capability = get_be32(message + 24);
    return 0;
}

host_addr parsed(const char *text) {
    host_addr address{};
    EXPECT_TRUE(address_parse(text, address.bytes)) << text;
    return address;
}

TEST_F(ClientWalk, SimulatedFileSystemListsTheSameClientsInBothVersions) {
    private_root root;
    sim_scenario scenario;
    char text[256];
    ASSERT_EQ(scenario_parse(kSimulatedClients, &scenario, text, sizeof text), 0) << text;
    sim_cluster *cluster = nullptr;
    const std::string root_path = std::filesystem::path(root.config_dir()).parent_path();
    ASSERT_EQ(cluster_start(scenario, root_path.c_str(), &cluster, text, sizeof text), 0) << text;

    std::vector<client_entry> lists[2];
    for (int version : {1, 0}) {
        const int fd = connect_loopback(cluster_manager_port(cluster, "snfs1", "127.0.0.1"));
        ASSERT_GE(fd, 0);
        uint32_t capability = 0;
        EXPECT_EQ(admin_tap(fd, &capability), 0);
        EXPECT_EQ(capability & 1, 1u) << "the FSM answers the current version";
        client_entry *entries = nullptr;
        int count = 0;
        EXPECT_EQ(fsm_who(fd, version, &entries, &count, text, sizeof text), 0) << text;
        close(fd);
        if (entries != nullptr)
            lists[version].assign(entries, entries + count);
        free(entries);
    }
    cluster_stop(cluster);

    // Index 1 has left (state bits 0) and is skipped by both versions.
    const std::vector<client_entry> &current = lists[1], &first = lists[0];
    ASSERT_EQ(current.size(), 3u);
    ASSERT_EQ(first.size(), 3u);
    wire_client fsm;
    fsm.flags = 3;
    fsm.type = CLIENT_TYPE_FSM;
    fsm.cpu_count = 8;
    fsm.expiry_time = 1800000000;
    fsm.uptime = 3600;
    fsm.hashed_id = 0x0123456789ABCDEFull;
    fsm.ip_address = mapped(127, 0, 0, 1);
    fsm.local_address = mapped(10, 0, 0, 7);
    fsm.id_address = parsed("fd00::1");
    fsm.io_test_rate = 250;
    fsm.io_test_last = 1700000000000ull;
    fsm.build_text = "kxfsm 4.2.1";
    fsm.reconnect_time = 1700000100;
    fsm.reconnect_count = 2;
    expect_entry(current[0], fsm, 0);

    wire_client without_addresses;
    without_addresses.flags = 1 | CLIENT_FLAG_DLAN_CLIENT | CLIENT_FLAG_GATEWAY_LICENCE;
    without_addresses.cpu_count = 2;
    expect_entry(current[1], without_addresses, 2);

    wire_client tool;
    tool.flags = 2;
    tool.type = CLIENT_TYPE_ADMIN_TOOL;
    tool.cpu_count = 1;
    tool.ip_address = parsed("fd00::5");
    tool.local_address = mapped(10, 0, 0, 8);
    expect_entry(current[2], tool, 3);

    // The first version has only the leading fields and the IPv4 address, which widening
    // makes the local address; everything else is zero.
    for (size_t i = 0; i < first.size(); ++i) {
        wire_client widened;
        const client_entry &c = current[i];
        widened.flags = c.flags;
        widened.type = c.type;
        widened.cpu_count = c.cpu_count;
        widened.expiry_time = c.expiry_time;
        widened.uptime = c.uptime;
        widened.hashed_id = c.hashed_id;
        widened.local_address = c.local_address;
        expect_entry(first[i], widened, c.index);
    }
}

} // namespace
