// The name server's side of the authentication query and the 40-byte challenge-response
// exchange, driven over raw sockets; the digest comes from the shared implementation.
#include "support.h"

#include "libfsmcomm/auth.h"
#include "libutil/install_paths.h"

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

const std::string alpha = "127.0.0.1", beta = "127.0.0.2";
const std::string secret = "Sesame42 open";

class SimAuth : public ::testing::Test {
protected:
    void SetUp() override {
        sim_scenario s = default_scenario();
        s.hosts[1].auth_required = true;
        s.hosts[1].auth_secret = secret;
        sim = std::make_unique<running_cluster>(s);
        auth_key_from_line(secret.c_str(), secret.size(), key);
    }

    int beta_name_server() {
        return connect_to(beta, cluster_name_server_port(sim->cluster, beta.c_str()));
    }

    // Sends the unframed query and returns the answer word; the connection stays open.
    static uint64_t query(int fd) {
        send_bytes(fd, pm_request(0, 19, false));
        bytes reply = recv_bytes(fd, 1024);
        EXPECT_EQ(reply.size(), 1024u);
        return reply.size() == 1024 ? be(reply, 28, 2) : 0xFFFF;
    }

    static void put_digest(bytes &record, const uint32_t k[AUTH_KEY_WORDS], uint32_t x,
                           uint32_t y) {
        uint32_t d[4];
        auth_digest_keyed(k, x, y, d);
        for (int j = 0; j < 4; ++j)
            set_be(record, 16 + 4 * size_t(j), 4, d[j]);
    }

    // Our answer to the server's challenge record, carrying our own challenge (cx, cy).
    bytes answer(const bytes &challenge, const uint32_t k[AUTH_KEY_WORDS], uint32_t cx = 0x11223344,
                 uint32_t cy = 0x55667788) {
        bytes record(40, 0);
        set_be(record, 0, 4, 1);
        set_be(record, 4, 4, 1765000000);
        set_be(record, 8, 4, cx);
        set_be(record, 12, 4, cy);
        put_digest(record, k, uint32_t(be(challenge, 8, 4)), uint32_t(be(challenge, 12, 4)));
        std::copy(challenge.begin() + 8, challenge.begin() + 16, record.begin() + 32);
        return record;
    }

    std::unique_ptr<running_cluster> sim;
    uint32_t key[AUTH_KEY_WORDS];
};

TEST_F(SimAuth, ExchangeLayoutAndTheConnectionServesAfterwards) {
    int fd = beta_name_server();
    ASSERT_EQ(query(fd), 0u); // authentication required
    bytes challenge = recv_bytes(fd, 40);
    ASSERT_EQ(challenge.size(), 40u);
    EXPECT_EQ(be(challenge, 0, 4), 1u);
    ASSERT_TRUE(send_bytes(fd, answer(challenge, key)));
    bytes final_record = recv_bytes(fd, 40);
    ASSERT_EQ(final_record.size(), 40u);
    EXPECT_EQ(be(final_record, 0, 4), 1u);
    EXPECT_EQ(be(final_record, 32, 4), 0x11223344u);
    EXPECT_EQ(be(final_record, 36, 4), 0x55667788u);
    bytes expected(40, 0);
    put_digest(expected, key, 0x11223344, 0x55667788);
    EXPECT_EQ(bytes(final_record.begin() + 16, final_record.begin() + 32),
              bytes(expected.begin() + 16, expected.begin() + 32));
    EXPECT_EQ(round_trip(fd, pm_request(0, 11)).size(), 1024u);
    ::close(fd);

    fd = beta_name_server(); // every connection draws a new challenge
    ASSERT_EQ(query(fd), 0u);
    EXPECT_NE(recv_bytes(fd, 40), challenge);
    ::close(fd);
}

TEST_F(SimAuth, WrongSecretWrongEchoOrWrongKindCloseTheConnection) {
    uint32_t other[AUTH_KEY_WORDS];
    auth_key_from_line("Sesame43 open", 13, other);
    auto rejected = [&](auto spoil) {
        int fd = beta_name_server();
        EXPECT_EQ(query(fd), 0u);
        bytes challenge = recv_bytes(fd, 40);
        bytes record = answer(challenge, key);
        spoil(record, challenge);
        send_bytes(fd, record);
        bool closed = recv_bytes(fd, 40).empty();
        ::close(fd);
        return closed;
    };
    EXPECT_TRUE(rejected([&](bytes &r, const bytes &c) { r = answer(c, other); }));
    EXPECT_TRUE(rejected([](bytes &r, const bytes &) { r[39] ^= 1; }));
    EXPECT_TRUE(rejected([](bytes &r, const bytes &) { set_be(r, 0, 4, 0); }));
    EXPECT_FALSE(rejected([](bytes &, const bytes &) {}));
}

TEST_F(SimAuth, RequestsBeforeAuthenticationAreRefusedWhileOtherHostsNeedNone) {
    int fd = beta_name_server();
    EXPECT_TRUE(round_trip(fd, pm_request(0, 11)).empty());
    ::close(fd);
    fd = connect_to(alpha, cluster_name_server_port(sim->cluster, alpha.c_str()));
    EXPECT_EQ(query(fd), 2u);
    EXPECT_EQ(round_trip(fd, pm_request(0, 11)).size(), 1024u); // no record in between
    ::close(fd);
}

TEST_F(SimAuth, TheConsoleSideAuthenticatesWithTheSecretFileWrittenToTheRoot) {
    std::ifstream in(sim->root.path + "/config/.auth_secret");
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, secret);
    ::setenv("KXFSROOT", sim->root.path.c_str(), 1);
    install_paths_reset_for_tests();
    ASSERT_EQ(auth_secret_present(), 1);
    int fd = beta_name_server();
    EXPECT_EQ(auth_negotiate(fd), 1);
    EXPECT_EQ(round_trip(fd, pm_request(0, 36)).size(), 1024u);
    ::close(fd);
    ::unsetenv("KXFSROOT");
    install_paths_reset_for_tests();
}

} // namespace
