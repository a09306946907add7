#include "libfsmcomm/platform_error.h"
#include "libfsmcomm/transport.h"
#include "libfsmcomm/wire.h"
#include "support_peer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using clock_type = std::chrono::steady_clock;

constexpr uint8_t kGuard = 0xA5;

// A caller buffer of `capacity` bytes followed by guard bytes that must stay untouched.
struct guarded_buffer {
    explicit guarded_buffer(int capacity) : capacity(capacity), bytes(capacity + 64, kGuard) {}
    bool guard_intact() const {
        for (size_t i = capacity; i < bytes.size(); ++i)
            if (bytes[i] != kGuard)
                return false;
        return true;
    }
    uint8_t *data() { return bytes.data(); }
    int capacity;
    std::vector<uint8_t> bytes;
};

std::vector<uint8_t> pattern(size_t length, uint8_t seed) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<uint8_t>(seed + i * 7);
    return bytes;
}

// The client end of a connection to a peer; declared after the peer, it closes first, which
// releases peers that wait for the client to go away.
struct client_socket {
    explicit client_socket(const loopback_peer &peer)
        : fd(peer.listening() ? connect_loopback(peer.port()) : -1) {}
    ~client_socket() {
        if (fd >= 0)
            close(fd);
    }
    client_socket(const client_socket &) = delete;
    client_socket &operator=(const client_socket &) = delete;
    int fd;
};

class Transport : public testing::Test {
protected:
    void SetUp() override { unsetenv("TIMEDWAIT_VALUE"); }
    void TearDown() override { unsetenv("TIMEDWAIT_VALUE"); }
};

// ---- Framing without a network ----

TEST(MessageFraming, HeaderOfA32ByteRequestAnd24BitLength) {
    uint8_t message[32];
    memset(message, 0xEE, sizeof message);
    msg_header_frame(message, 32);
    const uint8_t expected[8] = {0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0x00, 0x00, 0x20};
    EXPECT_EQ(memcmp(message, expected, 8), 0);
    EXPECT_EQ(message[8], 0xEE) << "the frame covers bytes 0-7 only";
    EXPECT_TRUE(msg_header_has_magic(message));
    EXPECT_EQ(msg_header_length(message), 32u);

    msg_header_frame(message, 0x012345);
    EXPECT_EQ(get_be24(message + 5), 0x012345u);
    EXPECT_EQ(msg_header_length(message), 0x012345u);
    message[0] = 0xC1;
    EXPECT_FALSE(msg_header_has_magic(message));
}

TEST(MessageFraming, NotSupportedNeedsFlag255AndCode1) {
    uint8_t message[24] = {};
    message[11] = 255;
    put_be16(message + 14, 1);
    EXPECT_TRUE(msg_reply_not_supported(message));
    EXPECT_EQ(msg_reply_error_code(message), 1);
    put_be16(message + 14, 2);
    EXPECT_FALSE(msg_reply_not_supported(message));
    message[11] = 1;
    put_be16(message + 14, 1);
    EXPECT_FALSE(msg_reply_not_supported(message));
}

TEST(MessageFraming, MsgInitStampsClassTypeArgumentAndConsecutiveSequence) {
    uint8_t first[32], second[32];
    memset(first, 0xEE, sizeof first);
    memset(second, 0xEE, sizeof second);
    fsm_msg_init(first, 7, 0x1234);
    fsm_msg_init(second, 2, 0);
    EXPECT_EQ(first[0], 0xEE) << "bytes 0-7 are left for the send";
    EXPECT_EQ(first[8], 2);
    EXPECT_EQ(first[9], 7);
    EXPECT_EQ(first[10], 0);
    EXPECT_EQ(first[11], 0);
    EXPECT_EQ(get_be16(first + 12), 0x1234);
    EXPECT_EQ(get_be16(first + 14), 0);
    const uint64_t n = get_le64(first + 16);
    EXPECT_GE(n, 1u);
    EXPECT_EQ(get_le64(second + 16), n + 1);
    EXPECT_EQ(get_be32(second + 20), 0u) << "the 32-bit counter is zero-extended";
    EXPECT_EQ(sequence_counter.load(), n + 1);
    EXPECT_EQ(first[24], 0xEE) << "the body is not touched";
}

TEST(AgentRecords, GreetingQueryAndReply) {
    uint8_t record[32] = {'a', 'p', 0, 1, 0, 0, 0, 1};
    EXPECT_TRUE(agent_greeting_valid(record));
    record[7] = 0;
    EXPECT_FALSE(agent_greeting_valid(record)) << "version word 0";
    record[7] = 1;
    record[3] = 3;
    EXPECT_FALSE(agent_greeting_valid(record));

    memset(record, 0xEE, sizeof record);
    agent_query_build(record, NAME_SERVER_SERVICE_TAG, 47, 6);
    const uint8_t expected[16] = {'a', 'p', 0, 2, 'K', 'X', 'F', 'S', 0, 0, 0, 47, 0, 0, 0, 6};
    EXPECT_EQ(memcmp(record, expected, 16), 0);
    for (int i = 16; i < 32; ++i)
        EXPECT_EQ(record[i], 0) << i;

    uint8_t reply[32] = {'a', 'p', 0, 3, 0xAB, 0xCD, 0x12, 0x34};
    EXPECT_EQ(agent_reply_port(reply), 0x1234) << "low half of the word at 4";
    reply[3] = 1;
    EXPECT_EQ(agent_reply_port(reply), 0);
}

TEST(ReplyTimeout, TimedWaitValueReadOnEveryCall) {
    unsetenv("TIMEDWAIT_VALUE");
    EXPECT_EQ(fsm_reply_timeout_ms(1), 30000);
    EXPECT_EQ(fsm_reply_timeout_ms(0), -1);
    setenv("TIMEDWAIT_VALUE", "5", 1);
    EXPECT_EQ(fsm_reply_timeout_ms(1), 5000);
    EXPECT_EQ(fsm_reply_timeout_ms(0), -1);
    for (const char *bad : {"0", "-3", "abc", ""}) {
        setenv("TIMEDWAIT_VALUE", bad, 1);
        EXPECT_EQ(fsm_reply_timeout_ms(1), 30000) << bad;
    }
    setenv("TIMEDWAIT_VALUE", "12", 1);
    EXPECT_EQ(fsm_reply_timeout_ms(7), 12000);
    unsetenv("TIMEDWAIT_VALUE");
}

// ---- Send and wait against loopback peers ----

TEST_F(Transport, RequestGoesOutFramedAndReplyOverwritesIt) {
    std::vector<uint8_t> seen(32);
    const auto body = pattern(16, 3);
    loopback_peer peer([&](int fd) {
        recv_bytes(fd, seen.data(), seen.size());
        send_bytes(fd, make_reply(40, body));
    });
    client_socket client(peer);
    ASSERT_GE(client.fd, 0);
    guarded_buffer message(64);
    fsm_msg_init(message.data(), 7, 0);
    message.bytes[11] = 9; // stale flag and code from an earlier reply
    put_be16(message.data() + 14, 77);
    int error = -5;
    ASSERT_EQ(fsm_send_and_wait(client.fd, message.data(), 32, 64, &error, 1), 0);
    EXPECT_EQ(error, 0);
    peer.join();
    const uint8_t expected[12] = {0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0x00, 0x00, 0x20, 2, 7, 0, 0};
    EXPECT_EQ(memcmp(seen.data(), expected, 12), 0);
    EXPECT_EQ(get_be16(&seen[14]), 0) << "stale error code cleared before sending";
    EXPECT_EQ(memcmp(message.data() + 24, body.data(), body.size()), 0);
    EXPECT_TRUE(message.guard_intact());
}

TEST_F(Transport, ConsecutiveRequestsCarryNAndNPlusOne) {
    std::vector<uint8_t> first(24), second(24);
    loopback_peer peer([&](int fd) {
        recv_bytes(fd, first.data(), 24);
        send_bytes(fd, make_reply(24));
        recv_bytes(fd, second.data(), 24);
        send_bytes(fd, make_reply(24));
    });
    client_socket client(peer);
    ASSERT_GE(client.fd, 0);
    uint8_t message[24];
    int error = 0;
    fsm_msg_init(message, 2, 0);
    ASSERT_EQ(fsm_send_and_wait(client.fd, message, 24, 24, &error, 1), 0);
    fsm_msg_init(message, 2, 0);
    ASSERT_EQ(fsm_send_and_wait(client.fd, message, 24, 24, &error, 1), 0);
    peer.join();
    const uint64_t n = get_le64(&first[16]);
    EXPECT_GE(n, 1u);
    EXPECT_EQ(get_le64(&second[16]), n + 1);
    EXPECT_EQ(get_be32(&first[20]), 0u);
    EXPECT_EQ(get_be32(&second[20]), 0u);
}

TEST_F(Transport, OversizeReplyIsCutToCapacityAndTheRestDrained) {
    const auto big_body = pattern(5000 - 24, 11);
    const auto next_body = pattern(8, 99);
    loopback_peer peer([&](int fd) {
        uint8_t request[32];
        recv_bytes(fd, request, 32);
        send_bytes(fd, make_reply(5000, big_body));
        recv_bytes(fd, request, 32);
        send_bytes(fd, make_reply(32, next_body));
    });
    client_socket client(peer);
    ASSERT_GE(client.fd, 0);
    guarded_buffer message(4096);
    int error = 0;
    fsm_msg_init(message.data(), 3, 0);
    ASSERT_EQ(fsm_send_and_wait(client.fd, message.data(), 32, 4096, &error, 1), 0);
    EXPECT_EQ(msg_header_length(message.data()), 5000u);
    EXPECT_EQ(memcmp(message.data() + 24, big_body.data(), 4072), 0);
    EXPECT_TRUE(message.guard_intact());

    fsm_msg_init(message.data(), 3, 0);
    ASSERT_EQ(fsm_send_and_wait(client.fd, message.data(), 32, 4096, &error, 1), 0)
        << "the 904 excess bytes were consumed";
    EXPECT_EQ(msg_header_length(message.data()), 32u);
    EXPECT_EQ(memcmp(message.data() + 24, next_body.data(), 8), 0);
}

TEST_F(Transport, AnnouncedLengthsNeverOverrunTheCallerBuffer) {
    const auto tail = pattern(16, 5);
    loopback_peer peer([&](int fd) {
        for (uint32_t length : {0u, 1u, 23u, 24u}) {
            uint8_t request[24];
            recv_bytes(fd, request, 24);
            send_bytes(fd, make_reply(length));
        }
        uint8_t request[24];
        recv_bytes(fd, request, 24);
        send_bytes(fd, make_reply(0xFFFFFF, pattern(0xFFFFFF - 24, 1)));
        recv_bytes(fd, request, 24);
        send_bytes(fd, make_reply(40, tail));
    });
    client_socket client(peer);
    ASSERT_GE(client.fd, 0);
    int error = 0;
    for (uint32_t length : {0u, 1u, 23u, 24u}) {
        guarded_buffer message(24);
        fsm_msg_init(message.data(), 2, 0);
        ASSERT_EQ(fsm_send_and_wait(client.fd, message.data(), 24, 24, &error, 1), 0) << length;
        EXPECT_EQ(msg_header_length(message.data()), length);
        EXPECT_TRUE(message.guard_intact()) << length;
    }
    guarded_buffer message(4096);
    fsm_msg_init(message.data(), 2, 0);
    ASSERT_EQ(fsm_send_and_wait(client.fd, message.data(), 24, 4096, &error, 1), 0);
    EXPECT_TRUE(message.guard_intact());
    const auto expected = pattern(4072, 1);
    EXPECT_EQ(memcmp(message.data() + 24, expected.data(), 4072), 0);

    guarded_buffer next(4096);
    fsm_msg_init(next.data(), 2, 0);
    ASSERT_EQ(fsm_send_and_wait(client.fd, next.data(), 24, 4096, &error, 1), 0);
    EXPECT_EQ(msg_header_length(next.data()), 40u) << "stream still on a message boundary";
    EXPECT_EQ(memcmp(next.data() + 24, tail.data(), tail.size()), 0);
}

// Replies that end the request with a failure: the value, and a caller buffer left intact.
TEST_F(Transport, BrokenRepliesFailWithTheirValue) {
    auto wrong_magic = make_reply(24);
    wrong_magic[0] = 0xC1;
    const auto cut_short = make_reply(100, pattern(76, 0));
    const struct {
        const char *what;
        std::vector<uint8_t> reply;
        size_t sent;
        int error;
    } cases[] = {
        {"wrong magic", wrong_magic, 24, 22},
        {"10 header bytes, then close", cut_short, 10, 10054},
        {"short body, then close", cut_short, 50, 10054},
        {"error flag 255 with code 1", make_reply(24, {}, 255, 1), 24, 1},
    };
    for (const auto &c : cases) {
        loopback_peer peer([&](int fd) {
            uint8_t request[24];
            recv_bytes(fd, request, 24);
            send_bytes(fd, c.reply.data(), c.sent);
        });
        client_socket client(peer);
        ASSERT_GE(client.fd, 0);
        guarded_buffer message(64);
        int error = 0;
        fsm_msg_init(message.data(), 2, 0);
        EXPECT_EQ(fsm_send_and_wait(client.fd, message.data(), 24, 64, &error, 1), -1) << c.what;
        EXPECT_EQ(error, c.error) << c.what;
        EXPECT_TRUE(message.guard_intact()) << c.what;
        if (c.error == 1) {
            EXPECT_EQ(message.bytes[11], 255) << "the header of the reply is kept";
        }
    }
}

TEST_F(Transport, SilentPeerTimesOutAfterTimedWaitValueReadAfresh) {
    loopback_peer peer([](int fd) { wait_for_close(fd, 10); });
    client_socket client(peer);
    ASSERT_GE(client.fd, 0);
    uint8_t message[32];
    int error = 0;
    setenv("TIMEDWAIT_VALUE", "1", 1);
    auto start = clock_type::now();
    fsm_msg_init(message, 2, 0);
    EXPECT_EQ(fsm_send_and_wait(client.fd, message, 32, 32, &error, 1), -1);
    double took = seconds_since(start);
    EXPECT_EQ(error, 10060);
    EXPECT_GE(took, 0.9);
    EXPECT_LT(took, 1.9);

    setenv("TIMEDWAIT_VALUE", "2", 1);
    start = clock_type::now();
    fsm_msg_init(message, 2, 0);
    EXPECT_EQ(fsm_send_and_wait(client.fd, message, 32, 32, &error, 1), -1);
    took = seconds_since(start);
    EXPECT_EQ(error, 10060);
    EXPECT_GE(took, 1.9);
    EXPECT_LT(took, 5.0);
}

TEST_F(Transport, UntimedRequestWaitsBeyondTheTimeOut) {
    loopback_peer peer([](int fd) {
        uint8_t request[24];
        recv_bytes(fd, request, 24);
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        send_bytes(fd, make_reply(24));
    });
    client_socket client(peer);
    ASSERT_GE(client.fd, 0);
    setenv("TIMEDWAIT_VALUE", "1", 1);
    uint8_t message[24];
    int error = 0;
    fsm_msg_init(message, 2, 0);
    EXPECT_EQ(fsm_send_and_wait(client.fd, message, 24, 24, &error, 0), 0);
    EXPECT_EQ(error, 0);
}

TEST_F(Transport, SendOnAShutDownSocketFailsWithoutASignal) {
    loopback_peer peer([](int fd) { wait_for_close(fd, 10); });
    client_socket client(peer);
    ASSERT_GE(client.fd, 0);
    ASSERT_EQ(shutdown(client.fd, SHUT_WR), 0);
    uint8_t message[24];
    int error = 0;
    fsm_msg_init(message, 2, 0);
    EXPECT_EQ(fsm_send_and_wait(client.fd, message, 24, 24, &error, 1), -1);
    EXPECT_EQ(error, 10058);
    EXPECT_EQ(last_system_error(), 10058);
}

// ---- Exact, timed and readable waits ----

TEST_F(Transport, RecvAllWaitsOnANonBlockingSocketAndStopsAtClose) {
    loopback_peer peer([](int fd) {
        send_bytes(fd, "01234", 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        send_bytes(fd, "56789", 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        send_bytes(fd, "abc", 3);
    });
    client_socket client(peer);
    ASSERT_GE(client.fd, 0);
    ASSERT_EQ(fcntl(client.fd, F_SETFL, fcntl(client.fd, F_GETFL) | O_NONBLOCK), 0);
    char buffer[16] = {};
    EXPECT_EQ(sock_recv_all(client.fd, buffer, 10), 10);
    EXPECT_EQ(memcmp(buffer, "0123456789", 10), 0);
    memset(buffer, 0, sizeof buffer);
    EXPECT_EQ(sock_recv_all(client.fd, buffer, 8), 3) << "peer closed after 3 more bytes";
    EXPECT_EQ(memcmp(buffer, "abc", 3), 0);
    EXPECT_EQ(sock_recv_all(client.fd, buffer, 0), 0);
    EXPECT_EQ(sock_recv_all(client.fd, buffer, -4), 0);
}

TEST(SockRecvAll, FailsOnANonSocket) {
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    char buffer[4];
    EXPECT_EQ(sock_recv_all(pipe_fds[0], buffer, 4), -1);
    EXPECT_EQ(last_system_error(), 10038);
    close(pipe_fds[0]);
    close(pipe_fds[1]);
}

TEST_F(Transport, RecvTimedReturnsAllPartialAtCloseOrZeroAtTimeOut) {
    int served = 0;
    loopback_peer peer(
        [&](int fd) {
            switch (served++) {
            case 0:
                send_bytes(fd, "abcdefgh", 8);
                break;
            case 1:
                send_bytes(fd, "abcde", 5);
                break;
            default:
                send_bytes(fd, "abcde", 5);
                wait_for_close(fd, 10);
            }
        },
        3);
    ASSERT_TRUE(peer.listening());
    char buffer[8];
    int fd = connect_loopback(peer.port());
    EXPECT_EQ(sock_recv_timed(fd, 2, buffer, 8), 8);
    EXPECT_EQ(memcmp(buffer, "abcdefgh", 8), 0);
    close(fd);

    fd = connect_loopback(peer.port());
    EXPECT_EQ(sock_recv_timed(fd, 2, buffer, 8), 5) << "peer closed after 5 bytes";
    close(fd);

    fd = connect_loopback(peer.port());
    auto start = clock_type::now();
    EXPECT_EQ(sock_recv_timed(fd, 1, buffer, 8), 0) << "a wait that runs out returns 0";
    const double took = seconds_since(start);
    EXPECT_GE(took, 0.9);
    EXPECT_LT(took, 3.0);
    EXPECT_EQ(sock_recv_timed(fd, 1, buffer, 0), 0);
    EXPECT_EQ(sock_recv_timed(fd, 1, buffer, -2), -2);
    close(fd);
}

// The whole receive is bounded: a peer that stops half-way times out like a silent one.
TEST_F(Transport, RecvAllWithinEndsAtTheTimeOutWithTimedOut) {
    const struct {
        const char *peer;
        int sends;   // bytes of the 8 asked for
        bool closes; // after sending, else it waits for the client to close
        int timeout_ms;
        int expected; // -1: timed out
    } rows[] = {
        {"sends all", 8, false, 1000, 8},       {"sends all, no limit", 8, false, -1, 8},
        {"sends 5, closes", 5, true, 1000, 5},  {"silent", 0, false, 300, -1},
        {"sends 5, stalls", 5, false, 300, -1},
    };
    for (const auto &row : rows) {
        const std::string what = row.peer;
        loopback_peer peer([&](int fd) {
            send_bytes(fd, "abcdefgh", static_cast<size_t>(row.sends));
            if (!row.closes)
                wait_for_close(fd, 5);
        });
        ASSERT_TRUE(peer.listening());
        const int fd = connect_loopback(peer.port());
        char buffer[8];
        set_last_system_error(0);
        const auto start = clock_type::now();
        EXPECT_EQ(sock_recv_all_within(fd, buffer, 8, row.timeout_ms), row.expected) << what;
        const double took = seconds_since(start);
        if (row.expected < 0) {
            EXPECT_EQ(last_system_error(), 10060) << what;
            EXPECT_GE(took, 0.25) << what;
        }
        EXPECT_LT(took, 1.0) << what;
        close(fd);
    }
}

TEST_F(Transport, WaitReadableTimesOutOrReportsData) {
    loopback_peer peer([](int fd) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1300));
        send_bytes(fd, "x", 1);
        wait_for_close(fd, 10);
    });
    client_socket client(peer);
    ASSERT_GE(client.fd, 0);
    auto start = clock_type::now();
    EXPECT_EQ(sock_wait_readable(client.fd, 1), 0);
    EXPECT_GE(seconds_since(start), 0.9);
    EXPECT_GT(sock_wait_readable(client.fd, 5), 0);
}

// ---- Connecting and address texts ----

TEST(SockConnectAddr, ConnectsOverIpv4AndReportsRefusal) {
    loopback_peer peer([](int fd) { send_bytes(fd, "hi", 2); });
    ASSERT_TRUE(peer.listening());
    host_addr loopback;
    const uint8_t ip[4] = {127, 0, 0, 1};
    host_addr_set_ipv4(&loopback, ip);
    int error = -1;
    kx_socket s = sock_connect_addr(&loopback, peer.port(), &error);
    ASSERT_NE(s, invalid_socket);
    EXPECT_EQ(error, 0);
    char text[2];
    EXPECT_EQ(sock_recv_all(s, text, 2), 2);
    close(s);

    EXPECT_EQ(sock_connect_addr(&loopback, unused_port(), &error), invalid_socket);
    EXPECT_EQ(error, 10061);
}

TEST(SockConnectAddr, ConnectsOverIpv6Loopback) {
    loopback_peer peer([](int fd) { send_bytes(fd, "v6", 2); }, 1, true);
    if (!peer.listening())
        GTEST_SKIP() << "no IPv6 loopback on this machine";
    host_addr loopback6 = {};
    loopback6.bytes[15] = 1;
    int error = -1;
    kx_socket s = sock_connect_addr(&loopback6, peer.port(), &error);
    ASSERT_NE(s, invalid_socket);
    char text[2];
    EXPECT_EQ(sock_recv_all(s, text, 2), 2);
    EXPECT_EQ(memcmp(text, "v6", 2), 0);
    close(s);
}

TEST(AddrToString, Ipv4MappedIpv6AndTruncation) {
    host_addr address;
    const uint8_t ip[4] = {10, 1, 2, 3};
    host_addr_set_ipv4(&address, ip);
    char text[64];
    EXPECT_STREQ(addr_to_string(&address, text, sizeof text), "10.1.2.3");

    host_addr v6 = {{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01}};
    EXPECT_STREQ(addr_to_string(&v6, text, sizeof text), "2001:db8::1");

    char small[6];
    memset(small, 'x', sizeof small);
    EXPECT_STREQ(addr_to_string(&address, small, 5), "10.1");
    EXPECT_EQ(small[5], 'x') << "nothing written past size";
}

// ---- Port-mapper agent lookup ----

class AgentLookup : public testing::Test {
protected:
    void SetUp() override { service_port_reset_for_tests(); }
    void TearDown() override { service_port_reset_for_tests(); }
    void use_agent_port(int port) {
        root_.write_config("fsports", "altpmap " + std::to_string(port) + "\n");
    }
    int lookup() {
        host_addr loopback;
        set_loopback_ipv4(&loopback);
        return service_port_lookup(&loopback, NAME_SERVER_SERVICE_TAG, NAME_SERVER_SERVICE_NUMBER,
                                   NAME_SERVER_SERVICE_VERSION);
    }
    static void set_loopback_ipv4(host_addr *address) {
        const uint8_t ip[4] = {127, 0, 0, 1};
        host_addr_set_ipv4(address, ip);
    }
    private_root root_;
};

std::vector<uint8_t> agent_record(uint32_t word0, uint32_t word1) {
    std::vector<uint8_t> record(32, 0);
    put_be32(&record[0], word0);
    put_be32(&record[4], word1);
    return record;
}

TEST_F(AgentLookup, AsksForTheNameServerAndReturnsItsPort) {
    std::vector<uint8_t> query(32);
    loopback_peer agent([&](int fd) {
        send_bytes(fd, agent_record(AGENT_GREETING, 1));
        recv_bytes(fd, query.data(), 32);
        send_bytes(fd, agent_record(AGENT_REPLY, 0x00011F90));
    });
    ASSERT_TRUE(agent.listening());
    use_agent_port(agent.port());
    EXPECT_EQ(lookup(), 0x1F90);
    agent.join();
    const uint8_t expected[16] = {'a', 'p', 0, 2, 'K', 'X', 'F', 'S', 0, 0, 0, 47, 0, 0, 0, 6};
    EXPECT_EQ(memcmp(query.data(), expected, 16), 0);
}

TEST_F(AgentLookup, AgentPortIsReadOncePerProcess) {
    loopback_peer agent(
        [](int fd) {
            send_bytes(fd, agent_record(AGENT_GREETING, 2));
            uint8_t query[32];
            recv_bytes(fd, query, 32);
            send_bytes(fd, agent_record(AGENT_REPLY, 4000));
        },
        2);
    ASSERT_TRUE(agent.listening());
    use_agent_port(agent.port());
    EXPECT_EQ(lookup(), 4000);
    use_agent_port(unused_port());
    EXPECT_EQ(lookup(), 4000) << "the fsports file is not read again";
}

TEST_F(AgentLookup, RefusedConnectionGivesZeroPromptly) {
    use_agent_port(unused_port());
    const auto start = clock_type::now();
    EXPECT_EQ(lookup(), 0);
    EXPECT_LT(seconds_since(start), 2.0);
}

TEST_F(AgentLookup, SilentAgentGivesZeroWithinFiveSeconds) {
    loopback_peer agent([](int fd) { wait_for_close(fd, 10); });
    ASSERT_TRUE(agent.listening());
    use_agent_port(agent.port());
    const auto start = clock_type::now();
    EXPECT_EQ(lookup(), 0);
    const double took = seconds_since(start);
    EXPECT_GE(took, 4.5);
    EXPECT_LT(took, 6.5);
}

TEST_F(AgentLookup, GreetingAndReplyChecks) {
    struct exchange {
        const char *what;
        std::vector<uint8_t> greeting;
        size_t greeting_bytes;
        std::vector<uint8_t> reply;
    };
    const std::vector<exchange> cases = {
        {"wrong greeting word", agent_record(0x61700003, 1), 32, agent_record(AGENT_REPLY, 80)},
        {"greeting version 0", agent_record(AGENT_GREETING, 0), 32, agent_record(AGENT_REPLY, 80)},
        {"short greeting", agent_record(AGENT_GREETING, 1), 20, agent_record(AGENT_REPLY, 80)},
        {"reply not ap 00 03", agent_record(AGENT_GREETING, 1), 32, agent_record(AGENT_QUERY, 80)},
        {"short reply", agent_record(AGENT_GREETING, 1), 32, agent_record(AGENT_REPLY, 80)},
    };
    size_t round = 0;
    loopback_peer agent(
        [&](int fd) {
            const exchange &c = cases[round];
            const bool short_reply = round == 4;
            ++round;
            send_bytes(fd, c.greeting.data(), c.greeting_bytes);
            if (c.greeting_bytes < 32)
                return;
            uint8_t query[32];
            if (recv_bytes(fd, query, 32, 3) < 32)
                return;
            send_bytes(fd, c.reply.data(), short_reply ? 31 : 32);
        },
        static_cast<int>(cases.size()));
    ASSERT_TRUE(agent.listening());
    use_agent_port(agent.port());
    for (const exchange &c : cases)
        EXPECT_EQ(lookup(), 0) << c.what;
}

} // namespace
