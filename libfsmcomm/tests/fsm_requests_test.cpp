// FSM connection and status requests against small loopback peers: an agent, a name server
// answering the locate request and an FSM.

#include "libfsmcomm/fsm_requests.h"
#include "libfsmcomm/ns_requests.h"
#include "libfsmcomm/platform_error.h"
#include "libfsmcomm/transport.h"
#include "libfsmcomm/wire.h"
#include "support_peer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

bytes locate_reply(const bytes &request, uint16_t status, uint16_t port, const uint8_t ipv4[4],
                   const uint8_t mapped[4]) {
    bytes reply = pm_reply_to(request);
    put_be16(&reply[28], status);
    put_be16(&reply[26], port);
    if (ipv4 != nullptr)
        std::memcpy(&reply[32], ipv4, 4);
    if (mapped != nullptr) {
        reply[306] = 0xFF;
        reply[307] = 0xFF;
        std::memcpy(&reply[308], mapped, 4);
    }
    return reply;
}

const uint8_t LOOPBACK[4] = {127, 0, 0, 1};
const uint8_t UNUSED_LOOPBACK[4] = {127, 0, 0, 9};

// An agent for one lookup and the fsports file that points the client at it.
class FsmConnect : public ::testing::Test {
protected:
    void start_agent(int name_server_port) {
        agent_ = std::make_unique<loopback_peer>(
            [name_server_port](int fd) { serve_agent(fd, name_server_port); });
        root_.use_agent_port(agent_->port());
    }

    private_root root_;
    std::unique_ptr<loopback_peer> agent_;
};

void tap_answer(int fd, const bytes &, int) {
    bytes reply(32, 0);
    put_be32(&reply[24], 0x5);
    send_framed(fd, reply, 32);
}

TEST_F(FsmConnect, OlderLocateFormConnectsToTheIPv4AddressAt32AndRegisters) {
    std::vector<bytes> fsm_seen, ns_seen;
    auto fsm = serve(1, &fsm_seen, tap_answer);
    ASSERT_TRUE(fsm->listening());
    const uint16_t fsm_port = static_cast<uint16_t>(fsm->port());
    auto ns = serve(2, &ns_seen, [fsm_port](int fd, const bytes &request, int i) {
        if (i == 0)
            return refuse(fd, request);
        // The address at 296 must be ignored after the older form.
        send_framed(fd, locate_reply(request, 0, fsm_port, LOOPBACK, UNUSED_LOOPBACK));
    });
    start_agent(ns->port());

    char text[256] = "stale";
    uint32_t tap = 0;
    const kx_socket s = fsm_connect("127.0.0.1", "snfs1", text, sizeof text, &tap);
    ASSERT_NE(s, invalid_socket) << text;
    EXPECT_EQ(tap, 0x5u);
    EXPECT_STREQ(text, "");
    close(s);
    fsm->join();
    ns->join();
    ASSERT_EQ(ns_seen.size(), 2u);
    EXPECT_EQ(ns_seen[0][25], 140);
    EXPECT_EQ(ns_seen[1][25], 12);
    EXPECT_STREQ(reinterpret_cast<const char *>(&ns_seen[1][40]), "snfs1");
    ASSERT_EQ(fsm_seen.size(), 1u);
    EXPECT_EQ(fsm_seen[0].size(), 32u);
    EXPECT_EQ(fsm_seen[0][8], 2) << "class";
    EXPECT_EQ(fsm_seen[0][9], FSM_REQ_ADMIN_TAP);
}

TEST_F(FsmConnect, LocateAnswersEndTheConnectWithTheirTexts) {
    struct row {
        uint16_t status;
        bool refuse;
        const char *text;
    };
    const row rows[] = {
        {5, false, "File System Manager \"snfs1\" on 127.0.0.1 is in standby mode.\n"},
        {1, false, "Could not find File System Manager for \"snfs1\" on 127.0.0.1.\n"},
        {0, true, "unsupported request"}};
    for (const row &r : rows) {
        std::vector<bytes> ns_seen;
        auto ns = serve(r.refuse ? 2 : 1, &ns_seen, [&r](int fd, const bytes &request, int) {
            if (r.refuse)
                return refuse(fd, request);
            send_framed(fd, locate_reply(request, r.status, 1, LOOPBACK, LOOPBACK));
        });
        start_agent(ns->port());
        char text[256];
        uint32_t tap = 77;
        EXPECT_EQ(fsm_connect("127.0.0.1", "snfs1", text, sizeof text, &tap), invalid_socket);
        EXPECT_STREQ(text, r.text);
        EXPECT_EQ(tap, 77u) << "no connection, no tap value";
        ns->join(); // returns once the client closed the name-server socket
        agent_.reset();
    }
}

TEST_F(FsmConnect, ResetDuringTheTapPointsAtTheKxlog) {
    std::vector<bytes> fsm_seen, ns_seen;
    auto fsm = std::make_unique<loopback_peer>([&](int fd) {
        fsm_seen.push_back(read_request(fd));
        // Close at once: the client sees the connection reset.
        linger hard{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    });
    const uint16_t fsm_port = static_cast<uint16_t>(fsm->port());
    auto ns = serve(1, &ns_seen, [fsm_port](int fd, const bytes &request, int) {
        send_framed(fd, locate_reply(request, 0, fsm_port, nullptr, LOOPBACK));
    });
    start_agent(ns->port());
    char text[512];
    uint32_t tap = 0;
    EXPECT_EQ(fsm_connect("127.0.0.1", "snfs1", text, sizeof text, &tap), invalid_socket);
    const std::string t = text;
    EXPECT_EQ(t.rfind("Admin Tap Connection to FSM failed: [Win32 error 10054]", 0), 0u) << t;
    const std::string kxlog = "\nFSM may have ended abnormally. Check the kxlog for details.\n";
    ASSERT_GE(t.size(), kxlog.size());
    EXPECT_EQ(t.substr(t.size() - kxlog.size()), kxlog);
}

// ---- Requests on an open connection ----

TEST(NsPing, NotSupportedCountsAsAliveOtherErrorsDoNot) {
    fsm_peer p(4, [](int fd, const bytes &request, int i) {
        if (i == 3)
            return (void)shutdown(fd, SHUT_WR); // no reply: the connection is reset
        const uint8_t flags[] = {0, 255, 1};
        const uint16_t codes[] = {0, 1, 13};
        send_framed(fd, pm_reply_to(request), 1024, flags[i], codes[i]);
    });
    char text[256] = "";
    EXPECT_EQ(ns_ping(p.fd, text, sizeof text), 0);
    EXPECT_EQ(ns_ping(p.fd, text, sizeof text), 0);
    // The standard error text, without the "[Win32 error ...]" form of other messages.
    EXPECT_EQ(ns_ping(p.fd, text, sizeof text), 13);
    EXPECT_EQ(std::string(text), std::string("FSM ping returned error (13): ") + strerror(EACCES));
    EXPECT_EQ(ns_ping(p.fd, text, sizeof text), WSAECONNRESET);
    EXPECT_EQ(std::string(text),
              std::string("FSM ping returned error (10054): ") + strerror(ECONNRESET));
    p.finish();
    EXPECT_EQ(p.seen[0][25], 11);
    EXPECT_EQ(p.seen[0].size(), 1024u);
}

// The tabled fields, bytes 48-55 left out; a failed status request is the liveness answer.
TEST(FsmStat, DecodesTheTabledFieldsAndReportsLiveness) {
    fsm_peer p(2, [](int fd, const bytes &, int i) {
        bytes reply(96, 0);
        put_be16(&reply[24], 0x1041);
        put_be16(&reply[28], 4);
        put_be32(&reply[32], 4096);
        put_be32(&reply[44], 99);
        std::memset(&reply[48], 0xFF, 8);
        put_be64(&reply[56], 11);
        put_be64(&reply[72], 33);
        put_be64(&reply[80], 262144000);
        put_be64(&reply[88], 98304000);
        if (i == 0)
            send_framed(fd, reply, 96);
        else
            send_framed(fd, reply, 24, 1, 22);
    });
    fsm_status s;
    int error = -5;
    EXPECT_EQ(fsm_stat(p.fd, &s, &error), 0);
    EXPECT_EQ(std::vector<uint64_t>({s.capability_flags, s.stripe_groups, s.block_size, s.word9,
                                     s.counter1, s.counter3, s.total_blocks, s.free_blocks}),
              std::vector<uint64_t>({0x1041, 4, 4096, 99, 11, 33, 262144000, 98304000}));
    EXPECT_EQ(fsm_alive(p.fd), 22) << "the error value of the failed status request";
    p.finish();
    EXPECT_EQ(p.seen[0].size(), 24u) << "header only";
    EXPECT_EQ(p.seen[0][9], FSM_REQ_STATUS);
}

std::vector<uint64_t> sg_fields(const sg_status &sg) {
    return {sg.flags,       sg.word,  sg.total_blocks, sg.reserved_blocks,
            sg.free_blocks, sg.disks, sg.multipath,    sg.breadth};
}

TEST(FsmSgStat, OlderFormWithoutCapabilityAndCurrentFormWithIt) {
    fsm_peer p(2, [](int fd, const bytes &request, int) {
        bytes reply(160, 0);
        put_be32(&reply[24], 0x105);
        put_be64(&reply[32], 1000);
        if (request[9] == FSM_REQ_SG_STATUS_OLD) {
            put_be64(&reply[40], 400); // free blocks in the older layout
            put_be32(&reply[72], 6);   // disks
            put_be16(&reply[84], 1);   // multipath
            std::strcpy(reinterpret_cast<char *>(&reply[104]), "OldGroup");
        } else {
            put_be64(&reply[40], 50); // reserved
            put_be64(&reply[48], 500);
            put_be32(&reply[80], 8);
            put_be16(&reply[92], 2);
            std::strcpy(reinterpret_cast<char *>(&reply[112]), "NewGroup");
        }
        send_framed(fd, reply, 160);
    });
    sg_status sg;
    int error = 0;
    ASSERT_EQ(fsm_sg_stat(p.fd, 3, 0x0FFF, &sg, &error), 0);
    EXPECT_EQ(sg_fields(sg), std::vector<uint64_t>({0x105, 0, 1000, 0, 400, 6, 1, 0}));
    EXPECT_STREQ(sg.name, "OldGroup");
    ASSERT_EQ(fsm_sg_stat(p.fd, 3, 0x1000, &sg, &error), 0);
    EXPECT_EQ(sg_fields(sg), std::vector<uint64_t>({0x105, 0, 1000, 50, 500, 8, 2, 0}));
    EXPECT_STREQ(sg.name, "NewGroup");
    p.finish();
    EXPECT_EQ(p.seen[0][9], FSM_REQ_SG_STATUS_OLD);
    EXPECT_EQ(p.seen[1][9], FSM_REQ_SG_STATUS);
    EXPECT_EQ(p.seen[0].size(), 32u);
    EXPECT_EQ(get_be32(&p.seen[0][24]), 3u);
}

// A reply that ended early (the fuzzing finding: 35 bytes) leaves the fields past its end 0,
// whatever the rest of the buffer still holds from the request; a name without terminator
// stops at the end of the reply.
TEST(FsmSgStat, FieldsPastAShortReplyReadAsZero) {
    for (int type : {FSM_REQ_SG_STATUS, FSM_REQ_SG_STATUS_OLD}) {
        bytes buffer(4096, 0xEE);
        const bytes received = {0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0, 0, 0x23, 2, 18, 0, 0,
                                0,    0,    0,    0,    0,    0, 0, 0,    0, 0,  0, 0,
                                0,    0,    0,    7,    0,    0, 0, 9,    1, 2,  3};
        std::copy(received.begin(), received.end(), buffer.begin());
        sg_status sg;
        sg_status_decode(buffer.data(), received.size(), type, &sg);
        EXPECT_EQ(sg_fields(sg), std::vector<uint64_t>({7, 9, 0, 0, 0, 0, 0, 0}))
            << type << ": 3 of the 8 bytes of the total arrived";
        EXPECT_STREQ(sg.name, "") << type;
    }
    bytes named(120, 'N');
    sg_status sg;
    sg_status_decode(named.data(), named.size(), FSM_REQ_SG_STATUS, &sg);
    EXPECT_EQ(std::string(sg.name), std::string(8, 'N'));
}

TEST(FsmDebug, SetAnsweredWithOtherFlagsFailsWith40) {
    fsm_peer p(2, [](int fd, const bytes &, int) {
        bytes reply(64, 0);
        put_be32(&reply[24], 0x10);
        std::strcpy(reinterpret_cast<char *>(&reply[32]), "flags now 0x10");
        send_framed(fd, reply, 64);
    });
    uint32_t current = 0;
    char text[8] = "";
    int error = 0;
    EXPECT_EQ(fsm_debug(p.fd, 1, 0x30, &current, text, sizeof text, &error), -1);
    EXPECT_EQ(error, 40);
    EXPECT_EQ(current, 0x10u);
    EXPECT_EQ(fsm_debug(p.fd, 0, 0, &current, text, sizeof text, &error), 0);
    EXPECT_STREQ(text, "flags n") << "cut within the caller's buffer";
    p.finish();
    EXPECT_EQ(get_be32(&p.seen[0][24]), 1u);
    EXPECT_EQ(get_be32(&p.seen[0][28]), 0x30u);
    EXPECT_EQ(p.seen[0][9], FSM_REQ_DEBUG);
}

TEST(FsmQosStat, RequestBodyAndReply) {
    fsm_peer p(1, [](int fd, const bytes &, int) {
        bytes reply(68, 0);
        const uint32_t words[] = {5000, 1200, 300, 0xDEAD /* unused */, 100, 700, 400};
        for (int i = 0; i < 7; ++i)
            put_be32(&reply[24 + 4 * i], words[i]);
        put_be32(&reply[64], 4);
        send_framed(fd, reply, 68);
    });
    qos_status q;
    int error = 0;
    ASSERT_EQ(fsm_qos_stat(p.fd, 2, &q, &error), 0);
    EXPECT_EQ(std::vector<uint32_t>({q.limit_iops, q.current_iops, q.reserved_iops, q.hint_iops,
                                     q.clients_iops, q.limit_mbps, q.words[3]}),
              std::vector<uint32_t>({5000, 1200, 300, 100, 700, 400, 4}));
    p.finish();
    const bytes &r = p.seen[0];
    ASSERT_EQ(r.size(), 40u);
    EXPECT_EQ(r[9], FSM_REQ_QOS);
    EXPECT_EQ(bytes(&r[24], &r[40]), (bytes{0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 0}));
}

} // namespace
