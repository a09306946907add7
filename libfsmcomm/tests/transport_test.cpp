#include "libfsmcomm/platform_error.h"
#include "libfsmcomm/transport.h"
#include "libfsmcomm/wire.h"
#include "support_peer.h"

#include <gtest/gtest.h>

#include <algorithm>
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
    explicit guarded_buffer(int capacity) : capacity(capacity), data(capacity + 64, kGuard) {}
    bool guard_intact() const {
        return std::all_of(data.begin() + capacity, data.end(),
                           [](uint8_t b) { return b == kGuard; });
    }
    int capacity;
    bytes data;
};

bytes pattern(size_t length, uint8_t seed) {
    bytes out(length);
    for (size_t i = 0; i < length; ++i)
        out[i] = static_cast<uint8_t>(seed + i * 7);
    return out;
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
    int fd;
};

// Sends a `request_length`-byte request on `fd` into `message` and waits for the reply.
int request(int fd, guarded_buffer &message, int request_length, int *error, int timed = 1) {
    fsm_msg_init(message.data.data(), 2, 0);
    return fsm_send_and_wait(fd, message.data.data(), request_length, message.capacity, error,
                             timed);
}

class Transport : public testing::Test {
protected:
    reply_timeout default_timeout_;
};

// ---- Framing without a network ----

TEST(MessageFraming, NotSupportedNeedsFlag255AndCode1) {
    const struct {
        uint8_t flag;
        uint16_t code;
        bool not_supported;
    } rows[] = {{255, 1, true}, {255, 2, false}, {1, 1, false}};
    for (const auto &row : rows) {
        uint8_t message[24] = {};
        message[11] = row.flag;
        put_be16(message + 14, row.code);
        EXPECT_EQ(msg_reply_not_supported(message), row.not_supported) << int(row.flag);
        EXPECT_EQ(msg_reply_error_code(message), row.code);
    }
}

TEST(MessageFraming, MsgInitStampsClassTypeArgumentAndConsecutiveSequence) {
    uint8_t first[32], second[32];
    memset(first, 0xEE, sizeof first);
    memset(second, 0xEE, sizeof second);
    fsm_msg_init(first, 7, 0x1234);
    fsm_msg_init(second, 2, 0);
    EXPECT_EQ(bytes(first + 7, first + 16), (bytes{0xEE, 2, 7, 0, 0, 0x12, 0x34, 0, 0}))
        << "bytes 0-7 are left for the send";
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
    bytes expected = {'a', 'p', 0, 2, 'K', 'X', 'F', 'S', 0, 0, 0, 47, 0, 0, 0, 6};
    expected.resize(32, 0);
    EXPECT_EQ(bytes(record, record + 32), expected);

    uint8_t reply[32] = {'a', 'p', 0, 3, 0xAB, 0xCD, 0x12, 0x34};
    EXPECT_EQ(agent_reply_port(reply), 0x1234) << "low half of the word at 4";
    reply[3] = 1;
    EXPECT_EQ(agent_reply_port(reply), 0);
}

TEST(ReplyTimeout, TimedWaitValueReadOnEveryCall) {
    const struct {
        const char *value; // nullptr: unset
        int timed;
        int expected;
    } rows[] = {{nullptr, 1, 30000}, {nullptr, 0, -1}, {"5", 1, 5000},
                {"5", 0, -1},        {"0", 1, 30000},  {"-3", 1, 30000},
                {"abc", 1, 30000},   {"", 1, 30000},   {"12", 7, 12000}};
    for (const auto &row : rows) {
        if (row.value)
            setenv("TIMEDWAIT_VALUE", row.value, 1);
        else
            unsetenv("TIMEDWAIT_VALUE");
        EXPECT_EQ(fsm_reply_timeout_ms(row.timed), row.expected)
            << (row.value ? row.value : "unset") << " timed " << row.timed;
    }
    unsetenv("TIMEDWAIT_VALUE");
}

// ---- Send and wait against loopback peers ----

TEST_F(Transport, RequestGoesOutFramedAndReplyOverwritesIt) {
    bytes seen(32);
    const auto body = pattern(16, 3);
    loopback_peer peer([&](int fd) {
        recv_bytes(fd, seen.data(), seen.size());
        send_bytes(fd, make_reply(40, body));
    });
    client_socket client(peer);
    ASSERT_GE(client.fd, 0);
    guarded_buffer message(64);
    fsm_msg_init(message.data.data(), 7, 0);
    message.data[11] = 9; // stale flag and code from an earlier reply
    put_be16(&message.data[14], 77);
    int error = -5;
    ASSERT_EQ(fsm_send_and_wait(client.fd, message.data.data(), 32, 64, &error, 1), 0);
    EXPECT_EQ(error, 0);
    peer.join();
    EXPECT_EQ(bytes(seen.begin(), seen.begin() + 16),
              (bytes{0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0, 0, 0x20, 2, 7, 0, 0, 0, 0, 0, 0}))
        << "stale error flag and code cleared before sending";
    EXPECT_EQ(bytes(&message.data[24], &message.data[40]), body);
    EXPECT_TRUE(message.guard_intact());
}

// Announced lengths from 0 to the 24-bit maximum never overrun the caller's buffer, and what
// does not fit is drained so that the next reply starts on a message boundary.
TEST_F(Transport, AnnouncedLengthsNeverOverrunTheCallerBuffer) {
    const auto huge = pattern(0xFFFFFF - 24, 1);
    const auto tail = pattern(16, 5);
    loopback_peer peer([&](int fd) {
        uint8_t scratch[24];
        for (uint32_t length : {0u, 1u, 23u, 24u}) {
            recv_bytes(fd, scratch, 24);
            send_bytes(fd, make_reply(length));
        }
        recv_bytes(fd, scratch, 24);
        send_bytes(fd, make_reply(0xFFFFFF, huge));
        recv_bytes(fd, scratch, 24);
        send_bytes(fd, make_reply(40, tail));
    });
    client_socket client(peer);
    ASSERT_GE(client.fd, 0);
    int error = 0;
    for (uint32_t length : {0u, 1u, 23u, 24u}) {
        guarded_buffer message(24);
        ASSERT_EQ(request(client.fd, message, 24, &error), 0) << length;
        EXPECT_EQ(msg_header_length(message.data.data()), length);
        EXPECT_TRUE(message.guard_intact()) << length;
    }
    guarded_buffer message(4096);
    ASSERT_EQ(request(client.fd, message, 24, &error), 0);
    EXPECT_EQ(msg_header_length(message.data.data()), 0xFFFFFFu);
    EXPECT_TRUE(message.guard_intact());
    EXPECT_EQ(memcmp(&message.data[24], huge.data(), 4072), 0);

    ASSERT_EQ(request(client.fd, message, 24, &error), 0) << "the excess bytes were consumed";
    EXPECT_EQ(msg_header_length(message.data.data()), 40u);
    EXPECT_EQ(bytes(&message.data[24], &message.data[40]), tail);
}

// Replies that end the request with a failure: the value, and a caller buffer left intact.
TEST_F(Transport, BrokenRepliesFailWithTheirValue) {
    auto wrong_magic = make_reply(24);
    wrong_magic[0] = 0xC1;
    const auto cut_short = make_reply(100, pattern(76, 0));
    const struct {
        const char *what;
        bytes reply;
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
            uint8_t scratch[24];
            recv_bytes(fd, scratch, 24);
            send_bytes(fd, c.reply.data(), c.sent);
        });
        client_socket client(peer);
        ASSERT_GE(client.fd, 0);
        guarded_buffer message(64);
        int error = 0;
        EXPECT_EQ(request(client.fd, message, 24, &error), -1) << c.what;
        EXPECT_EQ(error, c.error) << c.what;
        EXPECT_TRUE(message.guard_intact()) << c.what;
        if (c.error == 1) {
            EXPECT_EQ(message.data[11], 255) << "the header of the reply is kept";
        }
    }
}

TEST_F(Transport, SilentPeerTimesOutAfterTimedWaitValueReadAfresh) {
    loopback_peer peer([](int fd) { wait_for_close(fd, 10); });
    client_socket client(peer);
    ASSERT_GE(client.fd, 0);
    guarded_buffer message(32);
    for (int seconds : {1, 2}) {
        setenv("TIMEDWAIT_VALUE", std::to_string(seconds).c_str(), 1);
        int error = 0;
        const auto start = clock_type::now();
        EXPECT_EQ(request(client.fd, message, 32, &error), -1) << seconds;
        const double took = seconds_since(start);
        EXPECT_EQ(error, 10060) << seconds;
        EXPECT_GE(took, seconds - 0.1) << seconds;
        EXPECT_LT(took, seconds + 1.5) << seconds;
    }
}

TEST_F(Transport, UntimedRequestWaitsBeyondTheTimeOut) {
    loopback_peer peer([](int fd) {
        uint8_t scratch[24];
        recv_bytes(fd, scratch, 24);
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        send_bytes(fd, make_reply(24));
    });
    client_socket client(peer);
    ASSERT_GE(client.fd, 0);
    setenv("TIMEDWAIT_VALUE", "1", 1);
    guarded_buffer message(24);
    int error = 0;
    EXPECT_EQ(request(client.fd, message, 24, &error, 0), 0);
    EXPECT_EQ(error, 0);
}

TEST_F(Transport, SendOnAShutDownSocketFailsWithoutASignal) {
    loopback_peer peer([](int fd) { wait_for_close(fd, 10); });
    client_socket client(peer);
    ASSERT_GE(client.fd, 0);
    ASSERT_EQ(shutdown(client.fd, SHUT_WR), 0);
    guarded_buffer message(24);
    int error = 0;
    EXPECT_EQ(request(client.fd, message, 24, &error), -1);
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
    EXPECT_EQ(std::string(buffer, 10), "0123456789");
    EXPECT_EQ(sock_recv_all(client.fd, buffer, 8), 3) << "peer closed after 3 more bytes";
    EXPECT_EQ(std::string(buffer, 3), "abc");
    EXPECT_EQ(sock_recv_all(client.fd, buffer, 0), 0);
    EXPECT_EQ(sock_recv_all(client.fd, buffer, -4), 0);

    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    EXPECT_EQ(sock_recv_all(pipe_fds[0], buffer, 4), -1) << "not a socket";
    EXPECT_EQ(last_system_error(), 10038);
    close(pipe_fds[0]);
    close(pipe_fds[1]);
}

// The timed receive returns what arrived before a close, 0 when the wait runs out; the whole
// bounded receive times out on a peer that stops half-way like on a silent one.
TEST_F(Transport, TimedReceivesEndAtCloseOrTimeOut) {
    const struct {
        const char *peer;
        int sends;   // bytes of the 8 asked for
        bool closes; // after sending, else it waits for the client to close
        int timeout_ms;
        int within; // sock_recv_all_within; -1: timed out
        int timed;  // sock_recv_timed with the same wait, rounded up to seconds
    } rows[] = {
        {"sends all", 8, false, 1000, 8, 8},         {"sends all, no limit", 8, false, -1, 8, -99},
        {"sends 5, closes", 5, true, 1000, 5, 5},    {"silent", 0, false, 300, -1, 0},
        {"sends 5, stalls", 5, false, 300, -1, -99},
    };
    for (const auto &row : rows) {
        for (bool timed : {false, true}) {
            if (timed && row.timed == -99)
                continue;
            const std::string what = std::string(row.peer) + (timed ? " (timed)" : "");
            loopback_peer peer([&](int fd) {
                send_bytes(fd, "abcdefgh", static_cast<size_t>(row.sends));
                if (!row.closes)
                    wait_for_close(fd, 5);
            });
            client_socket client(peer);
            ASSERT_GE(client.fd, 0);
            char buffer[8];
            set_last_system_error(0);
            const auto start = clock_type::now();
            const int got = timed ? sock_recv_timed(client.fd, 1, buffer, 8)
                                  : sock_recv_all_within(client.fd, buffer, 8, row.timeout_ms);
            const double took = seconds_since(start);
            EXPECT_EQ(got, timed ? row.timed : row.within) << what;
            if (got > 0) {
                EXPECT_EQ(std::string(buffer, got), std::string("abcdefgh", got)) << what;
            }
            if (got <= 0) {
                if (!timed) {
                    EXPECT_EQ(last_system_error(), 10060) << what;
                }
                EXPECT_GE(took, timed ? 0.9 : row.timeout_ms / 1000.0 - 0.05) << what;
            }
            EXPECT_LT(took, 2.0) << what;
        }
    }
    char buffer[1];
    EXPECT_EQ(sock_recv_timed(-1, 1, buffer, 0), 0);
    EXPECT_EQ(sock_recv_timed(-1, 1, buffer, -2), -2);
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

TEST(SockConnectAddr, ConnectsOverBothLoopbacksAndReportsRefusal) {
    for (bool ipv6 : {false, true}) {
        loopback_peer peer([](int fd) { send_bytes(fd, "hi", 2); }, 1, ipv6);
        if (!peer.listening()) {
            EXPECT_TRUE(ipv6) << "IPv4 loopback must work";
            continue; // no IPv6 loopback on this machine
        }
        host_addr loopback{};
        const uint8_t ip[4] = {127, 0, 0, 1};
        if (ipv6)
            loopback.bytes[15] = 1;
        else
            host_addr_set_ipv4(&loopback, ip);
        int error = -1;
        kx_socket s = sock_connect_addr(&loopback, peer.port(), &error);
        ASSERT_NE(s, invalid_socket) << ipv6;
        EXPECT_EQ(error, 0);
        char text[2];
        EXPECT_EQ(sock_recv_all(s, text, 2), 2);
        EXPECT_EQ(std::string(text, 2), "hi");
        close(s);
        if (!ipv6) {
            EXPECT_EQ(sock_connect_addr(&loopback, unused_port(), &error), invalid_socket);
            EXPECT_EQ(error, 10061);
        }
    }
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
    int lookup() {
        host_addr loopback;
        const uint8_t ip[4] = {127, 0, 0, 1};
        host_addr_set_ipv4(&loopback, ip);
        return service_port_lookup(&loopback, NAME_SERVER_SERVICE_TAG, NAME_SERVER_SERVICE_NUMBER,
                                   NAME_SERVER_SERVICE_VERSION);
    }
    private_root root_;
};

bytes agent_record(uint32_t word0, uint32_t word1) {
    bytes record(32, 0);
    put_be32(&record[0], word0);
    put_be32(&record[4], word1);
    return record;
}

// The agent port comes from the fsports file, read once per process.
TEST_F(AgentLookup, AsksForTheNameServerAndReturnsItsPort) {
    bytes query(32);
    loopback_peer agent(
        [&](int fd) {
            send_bytes(fd, agent_record(AGENT_GREETING, 1));
            recv_bytes(fd, query.data(), 32);
            send_bytes(fd, agent_record(AGENT_REPLY, 0x00011F90));
        },
        2);
    ASSERT_TRUE(agent.listening());
    root_.use_agent_port(agent.port());
    EXPECT_EQ(lookup(), 0x1F90);
    bytes expected = {'a', 'p', 0, 2, 'K', 'X', 'F', 'S', 0, 0, 0, 47, 0, 0, 0, 6};
    expected.resize(32, 0);
    EXPECT_EQ(query, expected);
    root_.write_config("fsports", "altpmap " + std::to_string(unused_port()) + "\n");
    EXPECT_EQ(lookup(), 0x1F90) << "the fsports file is not read again";
}

TEST_F(AgentLookup, RefusedOrSilentAgentGivesZero) {
    root_.use_agent_port(unused_port());
    auto start = clock_type::now();
    EXPECT_EQ(lookup(), 0);
    EXPECT_LT(seconds_since(start), 2.0) << "refused: promptly";

    loopback_peer agent([](int fd) { wait_for_close(fd, 10); });
    ASSERT_TRUE(agent.listening());
    root_.use_agent_port(agent.port());
    start = clock_type::now();
    EXPECT_EQ(lookup(), 0);
    const double took = seconds_since(start);
    EXPECT_GE(took, 4.5) << "silent: within five seconds";
    EXPECT_LT(took, 6.5);
}

TEST_F(AgentLookup, GreetingAndReplyChecks) {
    const struct {
        const char *what;
        bytes greeting;
        size_t greeting_bytes;
        bytes reply;
        size_t reply_bytes;
    } cases[] = {
        {"wrong greeting word", agent_record(0x61700003, 1), 32, agent_record(AGENT_REPLY, 80), 32},
        {"greeting version 0", agent_record(AGENT_GREETING, 0), 32, agent_record(AGENT_REPLY, 80),
         32},
        {"short greeting", agent_record(AGENT_GREETING, 1), 20, agent_record(AGENT_REPLY, 80), 32},
        {"reply not ap 00 03", agent_record(AGENT_GREETING, 1), 32, agent_record(AGENT_QUERY, 80),
         32},
        {"short reply", agent_record(AGENT_GREETING, 1), 32, agent_record(AGENT_REPLY, 80), 31},
    };
    size_t round = 0;
    loopback_peer agent(
        [&](int fd) {
            const auto &c = cases[round++];
            send_bytes(fd, c.greeting.data(), c.greeting_bytes);
            uint8_t query[32];
            if (c.greeting_bytes < 32 || recv_bytes(fd, query, 32, 3) < 32)
                return;
            send_bytes(fd, c.reply.data(), c.reply_bytes);
        },
        static_cast<int>(std::size(cases)));
    ASSERT_TRUE(agent.listening());
    root_.use_agent_port(agent.port());
    for (const auto &c : cases)
        EXPECT_EQ(lookup(), 0) << c.what;
}

} // namespace
