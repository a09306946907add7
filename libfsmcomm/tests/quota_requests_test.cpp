// Quota state and quota operation requests: every field at its offset and byte order, the walk
// flag bits, reply decoding (short replies, quotas off) and the two exchanges over a socket.

#include "libfsmcomm/quota_requests.h"
#include "libfsmcomm/wire.h"
#include "support_peer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <sys/socket.h>
#include <vector>

namespace {

// A request built into a buffer larger than it, so that writing past it would show.
bytes build_op(uint32_t code, const char *name, uint64_t hard, uint64_t soft, uint32_t grace) {
    bytes message(FSM_QUOTA_OP_SEND_LENGTH + 16, 0xEE);
    fsm_quota_op_build(message.data(), code, name, hard, soft, grace);
    return message;
}

bytes be_bytes(uint64_t value, int width) {
    bytes out;
    for (int i = width - 1; i >= 0; --i)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    return out;
}

bytes slice(const bytes &b, size_t from, size_t to) {
    return bytes(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(to));
}

// A quota-operation reply of 320 bytes with every field set.
bytes op_reply(uint32_t state, uint32_t result, const char *name) {
    bytes reply(320, 0);
    put_be32(&reply[24], state);
    put_be32(&reply[28], 1440);
    put_be64(&reply[32], 0x0000000100000002ull);
    put_be64(&reply[40], 900);
    put_be64(&reply[48], 1234);
    put_be32(&reply[56], result);
    put_be32(&reply[60], static_cast<uint32_t>(-60));
    std::strcpy(reinterpret_cast<char *>(&reply[64]), name);
    return reply;
}

TEST(QuotaOpRequest, SetOfAliceCarriesEveryFieldBigEndian) {
    const bytes m = build_op(FSM_QUOTA_SET_USER, "alice", 100, 80, 60);
    EXPECT_EQ(m[8], 2) << "class";
    EXPECT_EQ(m[9], FSM_REQ_QUOTA_OP);
    EXPECT_EQ(slice(m, 24, 28), (bytes{0, 0, 0, 2}));
    EXPECT_EQ(slice(m, 28, 32), (bytes{0, 0, 0, 0x3C}));
    EXPECT_EQ(slice(m, 32, 40), be_bytes(100, 8));
    EXPECT_EQ(slice(m, 40, 48), be_bytes(80, 8));
    EXPECT_EQ(slice(m, 48, 53), (bytes{'a', 'l', 'i', 'c', 'e'}));
    EXPECT_EQ(slice(m, 53, 304), bytes(251, 0)) << "zeros up to byte 303";
    EXPECT_EQ(m[304], 0xEE) << "nothing written past the request";
}

TEST(QuotaOpRequest, OnlySetOperationsCarryLimits) {
    const struct {
        uint32_t code;
        bool carries;
    } rows[] = {
        {FSM_QUOTA_SET_USER, true},
        {FSM_QUOTA_SET_GROUP, true},
        {FSM_QUOTA_SET_DIR_SPACE, true},
        {FSM_QUOTA_SET_DIR_FILES, true},
        {FSM_QUOTA_NEXT_USER, false},
        {FSM_QUOTA_NEXT_GROUP, false},
        {FSM_QUOTA_NEXT_DIR_SPACE, false},
        {FSM_QUOTA_NEXT_DIR_FILES, false},
        {0xA0000004u, false},
        {0x80000002u, true},
    };
    for (const auto &row : rows) {
        const bytes m = build_op(row.code, "x", 7, 5, 3);
        EXPECT_EQ(get_be32(&m[24]), row.code) << row.code;
        EXPECT_EQ(get_be32(&m[28]), row.carries ? 3u : 0u) << row.code;
        EXPECT_EQ(get_be64(&m[32]), row.carries ? 7u : 0u) << row.code;
        EXPECT_EQ(get_be64(&m[40]), row.carries ? 5u : 0u) << row.code;
        EXPECT_EQ(fsm_quota_is_set(row.code), row.carries ? 1 : 0) << row.code;
    }
}

TEST(QuotaOpRequest, WalkFlagBits) {
    const struct {
        uint32_t operation;
        int flags;
        uint32_t word;
    } rows[] = {
        {FSM_QUOTA_NEXT_USER, 0, 0x00000004},  {FSM_QUOTA_NEXT_USER, 1, 0x80000004},
        {FSM_QUOTA_NEXT_USER, 2, 0x40000004},  {FSM_QUOTA_NEXT_USER, 4, 0x20000004},
        {FSM_QUOTA_NEXT_USER, 5, 0xA0000004},  {FSM_QUOTA_NEXT_GROUP, 7, 0xE0000005},
        {FSM_QUOTA_NEXT_GROUP, 8, 0x00000005}, // bits above 2 add nothing
    };
    for (const auto &row : rows) {
        EXPECT_EQ(fsm_quota_walk_code(row.operation, row.flags), row.word) << "flags " << row.flags;
    }
}

TEST(QuotaOpRequest, NamesAreCutToFitTheFieldWithItsTerminator) {
    const struct {
        size_t length;
        size_t kept;
    } rows[] = {{0, 0}, {1, 1}, {254, 254}, {255, 255}, {256, 255}, {400, 255}};
    for (const auto &row : rows) {
        const std::string name(row.length, 'n');
        const bytes m = build_op(FSM_QUOTA_NEXT_USER, name.c_str(), 0, 0, 0);
        EXPECT_EQ(strnlen(reinterpret_cast<const char *>(&m[48]), 256), row.kept) << row.length;
        EXPECT_EQ(m[303], 0) << row.length;
        EXPECT_EQ(m[304], 0xEE) << row.length;
    }
}

std::vector<uint64_t> fields(const fsm_quota_reply &r) {
    return {r.state, r.grace, r.hard, r.soft, r.used, r.result, r.time_remaining};
}

// Every field of a full reply; those beyond a short reply read as zero.
TEST(QuotaOpReply, DecodesEveryFieldTheReplyHolds) {
    const uint64_t minus_60 = static_cast<uint32_t>(-60);
    const struct {
        size_t length;
        std::vector<uint64_t> fields;
        const char *name;
    } rows[] = {
        {320, {1, 1440, 0x0000000100000002ull, 900, 1234, 7, minus_60}, "carol"},
        {67, {1, 1440, 0x0000000100000002ull, 900, 1234, 7, minus_60}, "car"},
        {64, {1, 1440, 0x0000000100000002ull, 900, 1234, 7, minus_60}, ""},
        {60, {1, 1440, 0x0000000100000002ull, 900, 1234, 7, 0}, ""},
        {58, {1, 1440, 0x0000000100000002ull, 900, 1234, 0, 0}, ""},
    };
    const bytes reply = op_reply(1, 7, "carol");
    for (const auto &row : rows) {
        fsm_quota_reply r;
        fsm_quota_op_decode(reply.data(), row.length, &r);
        EXPECT_EQ(fields(r), row.fields) << row.length;
        EXPECT_STREQ(r.name, row.name) << row.length;
    }
    bytes unterminated(320, 'z');
    fsm_quota_reply r;
    fsm_quota_op_decode(unterminated.data(), unterminated.size(), &r);
    EXPECT_EQ(std::string(r.name), std::string(255, 'z'));
}

TEST(QuotaStateRequest, LayoutAndReply) {
    bytes m(40, 0xEE);
    fsm_quota_state_build(m.data(), 0x01020304, 7);
    EXPECT_EQ(m[8], 2);
    EXPECT_EQ(m[9], FSM_REQ_QUOTA_STATE);
    EXPECT_EQ(slice(m, 24, 32), (bytes{1, 2, 3, 4, 0, 0, 0, 7}));
    EXPECT_EQ(m[32], 0xEE);

    bytes reply(96, 0);
    put_be32(&reply[24], 1);
    std::strcpy(reinterpret_cast<char *>(&reply[32]), "Quotas are enabled");
    const struct {
        size_t length, text_size;
        uint32_t state;
        const char *text;
    } rows[] = {
        {96, 64, 1, "Quotas are enabled"},
        {96, 7, 1, "Quotas"},
        {38, 64, 1, "Quotas"},
        {26, 64, 0, ""},
    };
    for (const auto &row : rows) {
        uint32_t state = 99;
        char text[64];
        fsm_quota_state_decode(reply.data(), row.length, &state, text, row.text_size);
        EXPECT_EQ(state, row.state) << row.length << "/" << row.text_size;
        EXPECT_STREQ(text, row.text) << row.length << "/" << row.text_size;
    }
}

// ---- Exchanges ----

struct op_outputs {
    char name[FSM_QUOTA_NAME_SIZE] = "start";
    uint64_t hard = 10, soft = 8, used = 99;
    uint32_t grace = 6, remaining = 5, state = 77, result = 77;

    int run(int fd, uint32_t code) {
        return fsm_quota_op(fd, code, name, &hard, &soft, &grace, &remaining, &used, &state,
                            &result);
    }
};

TEST(QuotaOpExchange, ResultsStateOffAndTransportFailure) {
    fsm_peer p(3, [](int fd, const bytes &, int i) {
        if (i == 0)
            send_framed(fd, op_reply(1, 22, "dave"), 320);
        else if (i == 1)
            send_framed(fd, op_reply(0, 0, "ignored"), 320);
        else
            shutdown(fd, SHUT_RDWR); // no reply at all
    });
    op_outputs out;
    ASSERT_EQ(out.run(p.fd, FSM_QUOTA_SET_GROUP), 0);
    EXPECT_EQ(out.state, 1u);
    EXPECT_EQ(out.result, 22u);
    EXPECT_STREQ(out.name, "dave");
    EXPECT_EQ(out.hard, 0x0000000100000002ull);
    EXPECT_EQ(out.used, 1234u);

    op_outputs off;
    ASSERT_EQ(off.run(p.fd, FSM_QUOTA_NEXT_USER), 0);
    EXPECT_EQ(off.state, 0u);
    EXPECT_STREQ(off.name, "start") << "a reply with quotas off leaves the name";
    EXPECT_EQ(off.result, 77u);
    EXPECT_EQ(off.hard, 10u);
    EXPECT_EQ(off.used, 99u);

    op_outputs failed;
    EXPECT_EQ(failed.run(p.fd, FSM_QUOTA_NEXT_USER), -1);
    EXPECT_NE(failed.result, 0u) << "the transport's error value";
    EXPECT_NE(failed.result, 77u);
    EXPECT_EQ(failed.state, 77u);
    p.finish();
    ASSERT_EQ(p.seen.size(), 3u);
    EXPECT_EQ(p.seen[0].size(), 304u);
    EXPECT_EQ(get_be32(&p.seen[0][24]), FSM_QUOTA_SET_GROUP);
    EXPECT_EQ(get_be64(&p.seen[0][32]), 10u);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&p.seen[0][48])), "start");
    EXPECT_EQ(get_be64(&p.seen[1][32]), 0u) << "a walk sends no limits";
}

TEST(QuotaStateExchange, StateAndText) {
    fsm_peer p(2, [](int fd, const bytes &, int i) {
        bytes reply(96, 0);
        std::strcpy(reinterpret_cast<char *>(&reply[32]), "Quotas are disabled");
        if (i == 0)
            send_framed(fd, reply, 96);
        else
            shutdown(fd, SHUT_RDWR);
    });
    uint32_t state = 9;
    char text[64] = "";
    int error = -1;
    ASSERT_EQ(fsm_quota_state(p.fd, 0, 0, &state, text, sizeof text, &error), 0);
    EXPECT_EQ(state, 0u);
    EXPECT_STREQ(text, "Quotas are disabled");
    EXPECT_EQ(fsm_quota_state(p.fd, 0, 0, &state, text, sizeof text, &error), -1);
    EXPECT_NE(error, 0);
    p.finish();
    EXPECT_EQ(p.seen[0].size(), 32u);
    EXPECT_EQ(p.seen[0][9], FSM_REQ_QUOTA_STATE);
}

} // namespace
