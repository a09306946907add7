#include "libfsmcomm/client_list.h"

#include "libfsmcomm/transport.h"
#include "libfsmcomm/wire.h"
#include "support_peer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
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
    std::string build_text{};
    uint64_t reconnect_time = 0;
    uint32_t reconnect_count = 0;
    uint8_t ipv4[4] = {}; // first version only
};

// The fields both versions share, at the same offsets.
void put_leading_fields(bytes &reply, const wire_client &c) {
    put_be32(&reply[28], c.flags);
    put_be32(&reply[32], c.type);
    put_be32(&reply[36], c.cpu_count);
    put_be32(&reply[40], c.expiry_time);
    put_be32(&reply[44], c.uptime);
    put_be64(&reply[48], c.hashed_id);
}

bytes current_reply(const wire_client &c, uint32_t announced = 1168) {
    bytes reply = make_reply(announced, bytes(1168 - 24));
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

bytes v1_reply(const wire_client &c) {
    bytes reply = make_reply(60, bytes(36));
    put_leading_fields(reply, c);
    memcpy(&reply[56], c.ipv4, 4);
    return reply;
}

bytes error_reply(uint16_t code, uint8_t flag = 1) {
    return make_reply(24, {}, flag, code);
}

host_addr mapped(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    host_addr address{};
    const uint8_t ipv4[4] = {a, b, c, d};
    host_addr_set_ipv4(&address, ipv4);
    return address;
}

wire_client rich_client() {
    return {.flags = 2 | CLIENT_FLAG_DLAN_SERVER | CLIENT_FLAG_GATEWAY_LICENCE,
            .type = CLIENT_TYPE_FSM,
            .cpu_count = 16,
            .expiry_time = 0x6F000001,
            .uptime = 86401,
            .hashed_id = 0x0123456789ABCDEFull,
            .ip_address = mapped(10, 1, 2, 3),
            .local_address = {{0xFD, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9}},
            .id_address = mapped(192, 168, 0, 1),
            .io_test_rate = 750,
            .io_test_last = 0xFEDCBA9876543210ull,
            .build_text = "Built Mar  3 2026 by kx (rev 4711)",
            .reconnect_time = 0x1122334455667788ull,
            .reconnect_count = 3};
}

// What a first-version entry becomes: its leading fields, its IPv4 address as local address.
wire_client widened(const wire_client &c) {
    wire_client w{c.flags, c.type, c.cpu_count, c.expiry_time, c.uptime, c.hashed_id};
    if (c.ipv4[0] != 0 || c.ipv4[3] != 0)
        w.local_address = mapped(c.ipv4[0], c.ipv4[1], c.ipv4[2], c.ipv4[3]);
    return w;
}

void expect_entry(const client_entry &e, const wire_client &c, uint32_t index) {
    SCOPED_TRACE("entry " + std::to_string(index));
    EXPECT_EQ(e.index, index);
    EXPECT_EQ(std::vector<uint64_t>({e.flags, e.type, e.cpu_count, e.expiry_time, e.uptime,
                                     e.hashed_id, e.io_test_rate, e.io_test_last, e.reconnect_time,
                                     e.reconnect_count}),
              std::vector<uint64_t>({c.flags, c.type, c.cpu_count, c.expiry_time, c.uptime,
                                     c.hashed_id, c.io_test_rate, c.io_test_last, c.reconnect_time,
                                     c.reconnect_count}));
    EXPECT_TRUE(host_addr_equal(&e.ip_address, &c.ip_address));
    EXPECT_TRUE(host_addr_equal(&e.local_address, &c.local_address));
    EXPECT_TRUE(host_addr_equal(&e.id_address, &c.id_address));
    EXPECT_STREQ(e.build_text, c.build_text.c_str());
    EXPECT_EQ(bytes(e.reserved, e.reserved + sizeof e.reserved), bytes(sizeof e.reserved, 0));
}

// ---- Decoding without a network ----

TEST(ClientEntryDecode, CurrentReplyFillsEveryFieldAndTakesTheIndexAskedFor) {
    const wire_client c = rich_client();
    bytes reply = current_reply(c);
    put_be32(&reply[24],
             999); // an index echoed by the FSM is not the one asked for
    client_entry e;
    memset(&e, 0x5A, sizeof e);
    client_entry_decode(reply.data(), reply.size(), 7, &e);
    expect_entry(e, c, 7);

    client_entry_decode(reply.data(), 125, 1, &e); // cut inside the build text
    EXPECT_STREQ(e.build_text, "Built");

    EXPECT_EQ(fsm_reply_stored_length(make_reply(5000).data(), 4096), 4096u);
    EXPECT_EQ(fsm_reply_stored_length(make_reply(1168).data(), 4096), 1168u);
    EXPECT_EQ(fsm_reply_stored_length(make_reply(10).data(), 4096), 10u);
    EXPECT_EQ(fsm_reply_stored_length(make_reply(1168).data(), 16), 0u);
}

TEST(ClientEntryDecode, FirstVersionIsWidenedWithItsAddressAsLocalAddress) {
    const wire_client c{.flags = 3 | CLIENT_FLAG_DLAN_CLIENT,
                        .type = CLIENT_TYPE_NAME_SERVER,
                        .cpu_count = 4,
                        .expiry_time = 1700000000,
                        .uptime = 59,
                        .hashed_id = 0xA1B2C3D4E5F60718ull,
                        .ipv4 = {10, 0, 0, 7}};
    client_entry_v1 v;
    client_entry_v1_decode(v1_reply(c).data(), 60, 5, &v);
    client_entry e;
    memset(&e, 0x5A, sizeof e);
    client_entry_widen(&v, &e);
    expect_entry(e, widened(c), 5);

    v.ipv4[3] = 0;
    client_entry_widen(&v, &e);
    EXPECT_FALSE(host_addr_is_zero(&e.local_address)) << "10.0.0.0 is still an address";
    memset(v.ipv4, 0, 4);
    client_entry_widen(&v, &e);
    EXPECT_TRUE(host_addr_is_zero(&e.local_address));

    bytes buffer(FSM_WHO_REPLY_CAPACITY, 0xEE);
    client_entry_v1_decode(buffer.data(), 58, 2,
                           &v); // the IPv4 address is cut short
    EXPECT_EQ(bytes(v.ipv4, v.ipv4 + 4), bytes(4, 0));
}

// ---- The walk against a loopback FSM ----

struct walk_result {
    int rc = -1;
    std::vector<client_entry> entries;
    bool array_returned = false;
    int count = -1;
    std::string text;
    std::vector<bytes> requests;
};

// Answers each request with `answer(index)`.
walk_result run_walk(int current_version, const std::function<bytes(uint32_t)> &answer,
                     bool want_entries = true) {
    walk_result result;
    loopback_peer peer([&](int fd) {
        for (int i = 0; i < 400; ++i) {
            bytes request(32);
            if (recv_bytes(fd, request.data(), 32) != 32)
                return;
            result.requests.push_back(request);
            const bytes reply = answer(get_be32(&request[24]));
            if (!send_bytes(fd, reply))
                return;
        }
    });
    const int fd = connect_loopback(peer.port());
    EXPECT_GE(fd, 0);
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
        g_allocations.clear();
        g_fail_at = 0;
        client_list_set_realloc_for_tests(recording_realloc);
    }
    void TearDown() override { client_list_set_realloc_for_tests(nullptr); }
    reply_timeout default_timeout_;
};

// A client whose fields tell its index; state bits rotate through 1, 2, 3; every fifth client has
// no IP address.
wire_client numbered_client(uint32_t index) {
    wire_client c{.flags = 1 + index % 3,
                  .cpu_count = index,
                  .hashed_id = 0x1000 + index,
                  .build_text = "client " + std::to_string(index)};
    if (index % 5 != 0) {
        c.ip_address = mapped(10, 0, 1, static_cast<uint8_t>(index));
        c.ipv4[0] = 10;
        c.ipv4[3] = static_cast<uint8_t>(index);
    }
    return c;
}

// 45 clients at indexes 0-59, with a process that has left (state bits 0) at every index 2, 6, 10,
// ...; index 60 ends the list.
bool departed(uint32_t index) {
    return index % 4 == 2;
}

bytes forty_five(uint32_t index, bool current) {
    if (index >= 60)
        return error_reply(FSM_WHO_END_OF_LIST);
    wire_client c = numbered_client(index);
    if (departed(index))
        c.flags = CLIENT_FLAG_DLAN_SERVER | CLIENT_FLAG_GATEWAY_LICENCE;
    return current ? current_reply(c) : v1_reply(c);
}

// Both versions ask every index with a 32-byte request of their type, skip the processes that have
// left, grow the array by 20 entries; the first version is widened after the walk.
TEST_F(ClientWalk, BothVersionsWalkEveryIndexAndGrowInStepsOfTwenty) {
    const size_t s = sizeof(client_entry), s1 = sizeof(client_entry_v1);
    const struct {
        int version;
        uint8_t type;
        std::vector<size_t> allocations;
    } rows[] = {{1, 22, {20 * s, 40 * s, 60 * s}}, {0, 10, {20 * s1, 40 * s1, 60 * s1, 45 * s}}};
    for (const auto &row : rows) {
        SCOPED_TRACE("version " + std::to_string(row.version));
        g_allocations.clear();
        const walk_result r =
            run_walk(row.version, [&row](uint32_t i) { return forty_five(i, row.version); });
        ASSERT_EQ(r.rc, 0) << r.text;
        EXPECT_EQ(r.text, "");
        ASSERT_EQ(r.entries.size(), 45u);
        EXPECT_EQ(g_allocations, row.allocations);
        uint32_t index = 0;
        for (const client_entry &e : r.entries) {
            index += departed(index) ? 1 : 0;
            const wire_client c = numbered_client(index);
            expect_entry(e, row.version ? c : widened(c), index);
            ++index;
        }
        ASSERT_EQ(r.requests.size(), 61u);
        for (uint32_t i = 0; i < r.requests.size(); ++i) {
            const bytes &q = r.requests[i];
            EXPECT_EQ(std::vector<uint32_t>({get_be24(&q[5]), q[8], q[9], get_be16(&q[12]),
                                             get_be32(&q[24]), get_be32(&q[28])}),
                      std::vector<uint32_t>({32, 2, row.type, 0, i, 0}))
                << "length, class, type, argument, index, bytes 28-31 of request " << i;
        }
    }
    // Without an array the list is still read and counted.
    const walk_result counted = run_walk(
        1, [](uint32_t i) { return forty_five(i, true); }, false);
    EXPECT_EQ(counted.rc, 0);
    EXPECT_EQ(counted.count, 45);
    EXPECT_EQ(counted.requests.size(), 61u);
}

// The first entry is taken whatever its state and later ones are not; an end of list at the first
// index is an empty success with no array.
TEST_F(ClientWalk, EntriesTakenAndAllocations) {
    const size_t s = sizeof(client_entry);
    const struct {
        uint32_t clients;
        uint32_t flags;
        int version;
        int taken;
        std::vector<size_t> allocations;
    } rows[] = {{20, 1, 1, 20, {20 * s}},
                {21, 1, 1, 21, {20 * s, 40 * s}},
                {3, CLIENT_FLAG_DLAN_CLIENT, 1, 1, {20 * s}},
                {3, CLIENT_FLAG_DLAN_CLIENT, 0, 1, {20 * sizeof(client_entry_v1), s}},
                {0, 1, 1, 0, {}},
                {0, 1, 0, 0, {}}};
    for (const auto &row : rows) {
        const std::string name = std::to_string(row.clients) + " clients, flags " +
                                 std::to_string(row.flags) + ", version " +
                                 std::to_string(row.version);
        g_allocations.clear();
        const walk_result r = run_walk(row.version, [&row](uint32_t i) {
            if (i >= row.clients)
                return error_reply(FSM_WHO_END_OF_LIST);
            wire_client c = numbered_client(i);
            c.flags = row.flags;
            return row.version ? current_reply(c) : v1_reply(c);
        });
        EXPECT_EQ(r.rc, 0) << name;
        EXPECT_EQ(r.text, "") << name;
        EXPECT_EQ(r.count, row.taken) << name;
        EXPECT_EQ(r.array_returned, row.taken > 0) << name;
        EXPECT_EQ(g_allocations, row.allocations) << name;
        EXPECT_EQ(r.requests.size(), row.clients + 1) << name;
    }
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
        std::function<bytes(uint32_t)> answer;
        int rc;
        std::string text;
    } cases[] = {
        {1, error_at_three(true), 5, "Fsm returned error 5 (" + e5 + ") for 'who' request."},
        {0, error_at_three(false), 5, "Fsm 'who' (V1) returned error 5 - " + e5},
        // An FSM that does not know the current request says so with flag 255 and code 1.
        {1, [](uint32_t) { return error_reply(1, 255); }, 1,
         "Fsm returned error 1 (" + e1 + ") for 'who' request."},
    };
    for (const auto &c : cases) {
        const walk_result r = run_walk(c.version, c.answer);
        EXPECT_EQ(r.rc, c.rc) << c.text;
        EXPECT_EQ(r.count, 0) << c.text;
        EXPECT_FALSE(r.array_returned) << c.text;
        EXPECT_EQ(r.text, c.text);
    }
}

TEST_F(ClientWalk, OutOfMemoryFreesEverythingAndStopsAsking) {
    const struct {
        int version;
        int fail_at; // 2: growing from 20 to 40 entries; 4: the widening after
                     // three growths
        size_t requests;
        const char *text;
    } rows[] = {{1, 2, 28, "FsmWho failed - out of memory"}, // the 21st client is at index 27
                {0, 2, 28, "Fsm 'who' (V1) failed - out of memory"},
                {0, 4, 61, "FsmWho failed - out of memory"}};
    for (const auto &row : rows) {
        g_allocations.clear();
        g_fail_at = row.fail_at;
        const walk_result r =
            run_walk(row.version, [&row](uint32_t i) { return forty_five(i, row.version); });
        EXPECT_EQ(r.rc, FSM_WHO_OUT_OF_MEMORY) << row.text;
        EXPECT_EQ(r.count, 0) << row.text;
        EXPECT_FALSE(r.array_returned) << row.text;
        EXPECT_EQ(r.text, row.text);
        EXPECT_EQ(r.requests.size(), row.requests) << row.text;
    }
}

TEST_F(ClientWalk, RepliesOfAnyLengthAreReadOnlyAsFarAsTheyGo) {
    wire_client cut = rich_client();
    cut.build_text = std::string(1023, 'b');
    const walk_result r = run_walk(1, [](uint32_t i) -> bytes {
        wire_client c = rich_client();
        switch (i) {
        case 0: // header only, announcing less than a header
            return make_reply(8);
        case 1: { // the whole entry, then its build text and more beyond the reply
                  // buffer
            c.build_text = std::string(1024, 'b');
            bytes reply = current_reply(c, 5000);
            reply.resize(5000, 0x77);
            return reply;
        }
        case 2: // ends after the expiry time: nothing of the long entry before may
                // remain
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
    const auto *first = reinterpret_cast<const uint8_t *>(&r.entries[0]);
    EXPECT_EQ(bytes(first, first + sizeof(client_entry)), bytes(sizeof(client_entry), 0));
    expect_entry(r.entries[1], cut, 1);
    expect_entry(
        r.entries[2],
        {.flags = 1, .type = cut.type, .cpu_count = cut.cpu_count, .expiry_time = cut.expiry_time},
        2);
    expect_entry(r.entries[3], numbered_client(3), 3);
}

} // namespace
