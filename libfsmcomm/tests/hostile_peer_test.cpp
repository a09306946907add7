// Peers that break the protocol on purpose: replies that stop half-way and stay open, lists that
// never end. Each must end promptly with its failure, never hang or pass.
#include "libfsmcomm/client_list.h"
#include "libfsmcomm/ns_requests.h"
#include "libfsmcomm/platform_error.h"
#include "libfsmcomm/transport.h"
#include "libfsmcomm/wire.h"
#include "support_peer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>

namespace {

constexpr int PEER_SECONDS = 5; // a peer gives up on a silent client after this long

// Reads a 32-byte request, sends the first `sent` bytes of a reply announcing `length` and keeps
// the connection open until the client leaves.
TEST(StalledReply, EndsWithinTheReplyTimeOut) {
    reply_timeout one_second("1");
    const struct {
        const char *reply;
        uint32_t length;
        size_t sent;
        int expected; // the transport's error value, 0 when the request succeeded
    } rows[] = {
        {"a whole framed reply", 64, 64, 0},
        {"10 header bytes", 64, 10, WSAETIMEDOUT},
        {"the header only", 1024, 24, WSAETIMEDOUT},
        {"half the body", 1024, 524, WSAETIMEDOUT},
        {"the stored part but not the excess", 5000, 1024 + 1000, WSAETIMEDOUT},
    };
    for (const auto &row : rows) {
        loopback_peer peer([&row](int fd) {
            bytes request(32);
            recv_bytes(fd, request.data(), request.size(), PEER_SECONDS);
            send_bytes(fd, make_reply(row.length, bytes(row.length - 24, 0x5A)).data(), row.sent);
            wait_for_close(fd, PEER_SECONDS);
        });
        const int fd = connect_loopback(peer.port());
        ASSERT_GE(fd, 0) << row.reply;
        uint8_t message[1024] = {};
        fsm_msg_init(message, 2, 0);
        int error = 0;
        const auto start = std::chrono::steady_clock::now();
        const int rc = fsm_send_and_wait(fd, message, 32, sizeof message, &error, 1);
        EXPECT_EQ(rc == 0 ? 0 : error, row.expected) << row.reply;
        EXPECT_LT(seconds_since(start), 2.5) << row.reply;
        close(fd);
        peer.join();
    }
}

constexpr uint32_t WALK_LIMIT = 200;
constexpr int SPARE_ANSWERS = 5; // answered past the limit, so that a walk that goes on shows

class EndlessList : public testing::Test {
protected:
    void SetUp() override { list_walk_limit_set_for_tests(WALK_LIMIT); }
    void TearDown() override { list_walk_limit_set_for_tests(0); }
    reply_timeout one_second_{"1"};
};

TEST_F(EndlessList, FindingAnFsmStopsAtTheLimit) {
    // Every position holds another FSM; the one asked for is never among them.
    fsm_peer peer(1 + WALK_LIMIT + SPARE_ANSWERS, [](int fd, const bytes &request, int i) {
        bytes reply = pm_reply_to(request);
        snprintf(reinterpret_cast<char *>(&reply[PM_NAME]), 32, "other%d", i);
        send_framed(fd, reply);
    });
    pm_message message = {};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ns_find_fsm(peer.fd, "fsA", &message), -1);
    EXPECT_LT(seconds_since(start), 10.0);
    peer.finish();
    EXPECT_EQ(peer.seen.size(), 1 + WALK_LIMIT) << "the by-name request, then the walk";
    list_walk_limit_set_for_tests(0);
    EXPECT_EQ(ns_list_walk_limit(), NS_LIST_INDEX_COUNT) << "the index names no more positions";
}

TEST_F(EndlessList, TheClientListStopsAtTheLimit) {
    const struct {
        const char *list;
        int current_version;
        uint32_t flags; // 0: every entry is skipped, yet each one still counts
    } rows[] = {
        {"current version, connected clients", 1, 1},
        {"first version, connected clients", 0, 1},
        {"current version, entries that are skipped", 1, 0},
    };
    for (const auto &row : rows) {
        const uint32_t flags = row.flags;
        fsm_peer peer(WALK_LIMIT + SPARE_ANSWERS, [flags](int fd, const bytes &, int) {
            bytes reply(FSM_WHO_REPLY_CAPACITY, 0);
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
