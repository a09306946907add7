// Peers that break the protocol on purpose: a name server that authenticates by reflecting the
// client's own answer, replies that stop half-way and stay open, lists that never end. Each
// must end promptly with its failure, never hang or pass.
#include "libfsmcomm/auth.h"
#include "libfsmcomm/client_list.h"
#include "libfsmcomm/ns_requests.h"
#include "libfsmcomm/platform_error.h"
#include "libfsmcomm/transport.h"
#include "libfsmcomm/wire.h"
#include "libutil/fatal.h"
#include "support_ns_peer.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Record = std::vector<uint8_t>;

constexpr int PEER_SECONDS = 5; // a peer gives up on a silent client after this long
const char *const SECRET = "Correct-Horse 42";

std::vector<std::string> g_logged;

void capture_syslog(int, const char *format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    g_logged.emplace_back(text);
}

// The server's opening record: kind 1 and the challenge (x, y).
Record challenge_record(uint32_t x, uint32_t y) {
    Record record(AUTH_RECORD_SIZE, 0);
    put_be32(&record[AUTH_RECORD_KIND], AUTH_RECORD_KIND_ANSWER);
    put_be32(&record[AUTH_RECORD_CHALLENGE], x);
    put_be32(&record[AUTH_RECORD_CHALLENGE + 4], y);
    return record;
}

// Server sides of the exchange. None of the hostile ones knows the secret.
using ServerSide = std::function<void(int fd)>;

// Sends its challenge, then returns the client's record unchanged: kind 1, a correct answer to
// the server's own challenge, echoing that challenge.
void reflect_answer(int fd) {
    Record record = challenge_record(0x1234, 0x5678);
    Record answer(AUTH_RECORD_SIZE);
    if (send_bytes(fd, record) &&
        recv_bytes(fd, answer.data(), answer.size(), PEER_SECONDS) == AUTH_RECORD_SIZE)
        send_bytes(fd, answer);
    wait_for_close(fd, PEER_SECONDS);
}

// As reflect_answer, but the echo claims the client's challenge.
void reflect_with_claimed_echo(int fd) {
    Record record = challenge_record(0x1234, 0x5678);
    Record answer(AUTH_RECORD_SIZE);
    if (send_bytes(fd, record) &&
        recv_bytes(fd, answer.data(), answer.size(), PEER_SECONDS) == AUTH_RECORD_SIZE) {
        memcpy(&answer[AUTH_RECORD_ECHO], &answer[AUTH_RECORD_CHALLENGE], 8);
        send_bytes(fd, answer);
    }
    wait_for_close(fd, PEER_SECONDS);
}

// The honest server, which holds the secret.
void honest_server(int fd) {
    uint32_t key[AUTH_KEY_WORDS];
    auth_key_from_line(SECRET, strlen(SECRET), key);
    server_authenticate(fd, key, 0x1234, 0x5678);
    wait_for_close(fd, PEER_SECONDS);
}

class HostileAuth : public testing::Test {
protected:
    void SetUp() override {
        root_.write_config(".auth_secret", std::string(SECRET) + "\n");
        saved_hook_ = syslog_hook;
        syslog_hook = capture_syslog;
        auth_secret_loaded = 0;
        g_logged.clear();
    }
    void TearDown() override {
        syslog_hook = saved_hook_;
        auth_secret_loaded = 0;
        network_auth_enabled = 0;
        service_port_reset_for_tests();
    }
    private_root root_;
    syslog_hook_fn saved_hook_ = nullptr;
};

TEST_F(HostileAuth, OnlyAServerThatAnswersTheClientsOwnChallengePasses) {
    const std::string failed = "client_authenticate: SERVER AUTH FAILED";
    struct Row {
        const char *server;
        ServerSide serve;
        int expected;
        std::vector<std::string> logged;
    } rows[] = {
        {"reflects the client's record", reflect_answer, 0, {failed}},
        {"reflects it claiming the client's challenge", reflect_with_claimed_echo, 0, {failed}},
        {"honest server with the secret", honest_server, 1, {}},
    };
    for (const Row &row : rows) {
        g_logged.clear();
        loopback_peer peer(row.serve);
        const int fd = connect_loopback(peer.port());
        ASSERT_GE(fd, 0) << row.server;
        EXPECT_EQ(client_authenticate(fd), row.expected) << row.server;
        close(fd);
        peer.join();
        EXPECT_EQ(g_logged, row.logged) << row.server;
    }
}

TEST_F(HostileAuth, AReflectingNameServerIsRefusedAtConnect) {
    loopback_peer name_server([](int fd) {
        Record query(AUTH_QUERY_SIZE);
        if (recv_bytes(fd, query.data(), query.size(), PEER_SECONDS) != AUTH_QUERY_SIZE)
            return;
        Record reply(AUTH_QUERY_SIZE, 0);
        put_be16(&reply[AUTH_QUERY_ANSWER_OFFSET], AUTH_ANSWER_REQUIRED);
        send_bytes(fd, reply);
        reflect_answer(fd);
    });
    const int name_server_port = name_server.port();
    loopback_peer agent([name_server_port](int fd) { serve_agent(fd, name_server_port); });
    root_.write_config("fsports", "altpmap " + std::to_string(agent.port()) + "\n");
    service_port_reset_for_tests();
    network_auth_enabled = 1;

    char text[NS_TEXT_SIZE] = "";
    const kx_socket s = ns_connect("127.0.0.1", text, sizeof text);
    EXPECT_EQ(s, invalid_socket);
    EXPECT_STREQ(text, "Authentication Failed");
    if (s != invalid_socket)
        close(s);
    agent.join();
    name_server.join();
}

// ---- Replies that stop half-way ----

class StalledReply : public testing::Test {
protected:
    void SetUp() override { setenv("TIMEDWAIT_VALUE", "1", 1); }
    void TearDown() override { unsetenv("TIMEDWAIT_VALUE"); }
};

// Reads a request of `request_size` bytes, sends `bytes` and keeps the connection open until
// the client leaves.
ServerSide send_then_stall(size_t request_size, Record bytes) {
    return [request_size, bytes](int fd) {
        Record request(request_size);
        recv_bytes(fd, request.data(), request.size(), PEER_SECONDS);
        send_bytes(fd, bytes);
        wait_for_close(fd, PEER_SECONDS);
    };
}

Record framed(uint32_t length, size_t body_bytes_sent) {
    return make_reply(length, Record(body_bytes_sent, 0x5A));
}

Record first_bytes(Record bytes, size_t count) {
    bytes.resize(count);
    return bytes;
}

TEST_F(StalledReply, EndsWithinTheReplyTimeOut) {
    // The client side of one exchange: the transport error value, 0 when it succeeded.
    using Client = std::function<int(int fd)>;
    const Client framed_request = [](int fd) {
        uint8_t message[1024] = {};
        fsm_msg_init(message, 2, 0);
        int error = 0;
        return fsm_send_and_wait(fd, message, 32, sizeof message, &error, 1) == 0 ? 0 : error;
    };
    const Client activate = [](int fd) {
        pm_message message = {};
        char text[NS_TEXT_SIZE] = "";
        return ns_fsm_activate(fd, "fsA", &message, text) == 0 ? 0 : last_system_error();
    };
    const Client auth_query = [](int fd) {
        return auth_negotiate(fd) == 1 ? 0 : last_system_error();
    };
    Record whole_unframed(PM_MESSAGE_SIZE, 0);
    struct Row {
        const char *reply;
        ServerSide serve;
        Client client;
        int expected;
    } rows[] = {
        {"a whole framed reply", send_then_stall(32, framed(64, 40)), framed_request, 0},
        {"10 header bytes", send_then_stall(32, first_bytes(framed(64, 0), 10)), framed_request,
         WSAETIMEDOUT},
        {"the header only", send_then_stall(32, framed(1024, 0)), framed_request, WSAETIMEDOUT},
        {"half the body", send_then_stall(32, framed(1024, 500)), framed_request, WSAETIMEDOUT},
        {"the stored part but not the excess", send_then_stall(32, framed(5000, 1000)),
         framed_request, WSAETIMEDOUT},
        {"a whole activate record", send_then_stall(1024, whole_unframed), activate, 0},
        {"half an activate record", send_then_stall(1024, Record(500, 0)), activate, WSAETIMEDOUT},
        {"half an authentication answer", send_then_stall(1024, Record(500, 0)), auth_query,
         WSAETIMEDOUT},
    };
    for (const Row &row : rows) {
        loopback_peer peer(row.serve);
        const int fd = connect_loopback(peer.port());
        ASSERT_GE(fd, 0) << row.reply;
        set_last_system_error(0);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(row.client(fd), row.expected) << row.reply;
        EXPECT_LT(seconds_since(start), 2.5) << row.reply;
        close(fd);
        peer.join();
    }
}

// ---- Lists that never end ----

constexpr uint32_t WALK_LIMIT = 200;
constexpr int SPARE_ANSWERS = 5; // answered past the limit, so that a walk that goes on shows

class EndlessList : public testing::Test {
protected:
    void SetUp() override {
        setenv("TIMEDWAIT_VALUE", "1", 1);
        list_walk_limit_set_for_tests(WALK_LIMIT);
    }
    void TearDown() override {
        list_walk_limit_set_for_tests(0);
        unsetenv("TIMEDWAIT_VALUE");
    }
};

TEST_F(EndlessList, FindingAnFsmStopsAtTheLimit) {
    // Every position holds another FSM; the one asked for is never among them.
    fsm_peer peer(1 + WALK_LIMIT + SPARE_ANSWERS, [](int fd, const Record &request, int i) {
        Record reply = pm_reply_to(request);
        snprintf(reinterpret_cast<char *>(&reply[PM_NAME]), 32, "other%d", i);
        send_framed(fd, reply);
    });
    pm_message message = {};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ns_find_fsm(peer.fd, "fsA", &message), -1);
    EXPECT_LT(seconds_since(start), 10.0);
    peer.finish();
    EXPECT_EQ(peer.seen.size(), 1 + WALK_LIMIT) << "the by-name request, then the walk";
    EXPECT_EQ(ns_list_walk_limit(), static_cast<int>(WALK_LIMIT));
    list_walk_limit_set_for_tests(0);
    EXPECT_EQ(ns_list_walk_limit(), NS_LIST_INDEX_COUNT) << "the index names no more positions";
}

TEST_F(EndlessList, TheClientListStopsAtTheLimit) {
    struct Row {
        const char *list;
        int current_version;
        uint32_t flags; // 0: every entry is skipped, yet each one still counts
    } rows[] = {
        {"current version, connected clients", 1, 1},
        {"first version, connected clients", 0, 1},
        {"current version, entries that are skipped", 1, 0},
    };
    for (const Row &row : rows) {
        const uint32_t flags = row.flags;
        fsm_peer peer(WALK_LIMIT + SPARE_ANSWERS, [flags](int fd, const Record &, int) {
            Record reply(FSM_WHO_REPLY_CAPACITY, 0);
            put_be32(&reply[28], flags);
            send_framed(fd, reply, 1184);
        });
        client_entry *entries = reinterpret_cast<client_entry *>(&peer); // must be cleared
        int count = -1;
        char text[256] = "";
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(fsm_who(peer.fd, row.current_version, &entries, &count, text, sizeof text),
                  FSM_WHO_NO_END)
            << row.list;
        EXPECT_LT(seconds_since(start), 10.0) << row.list;
        EXPECT_EQ(entries, nullptr) << row.list;
        EXPECT_EQ(count, 0) << row.list;
        EXPECT_STREQ(text, "Fsm 'who' list does not end: stopped after 200 entries") << row.list;
        peer.finish();
        EXPECT_EQ(peer.seen.size(), WALK_LIMIT) << row.list;
    }
}

} // namespace
