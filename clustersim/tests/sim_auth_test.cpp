// The name server's side of the authentication query and the 40-byte challenge-response
// exchange: the console's own client authenticates, spoilt answers close the connection.
#include "support.h"

#include "libfsmcomm/auth.h"
#include "libutil/install_paths.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

const std::string secret = "Sesame42 open";

class SimAuth : public ::testing::Test {
protected:
    void SetUp() override {
        sim_scenario s = default_scenario();
        s.hosts[1].auth_required = true;
        s.hosts[1].auth_secret = secret;
        sim = std::make_unique<running_cluster>(s);
    }

    // A connection to a name server that has sent the unframed query and checked its answer
    // word (0: authentication required, 2: none).
    int queried(const std::string &address, uint64_t answer) {
        int fd = connect_to(address, cluster_name_server_port(sim->cluster, address.c_str()));
        send_bytes(fd, pm_request(0, 19, false));
        const bytes reply = recv_bytes(fd, 1024);
        EXPECT_EQ(reply.size() == 1024 ? be(reply, 28, 2) : 0xFFFF, answer);
        return fd;
    }

    std::unique_ptr<running_cluster> sim;
};

// Our answer to the challenge record (kind 1, the challenge at 8) must carry kind 1, the
// digest of the challenge at 16 and the challenge echoed at 32; each spoilt part closes.
TEST_F(SimAuth, WrongSecretWrongEchoOrWrongKindCloseTheConnection) {
    uint32_t right[AUTH_KEY_WORDS], wrong[AUTH_KEY_WORDS];
    auth_key_from_line(secret.c_str(), secret.size(), right);
    auth_key_from_line("Sesame43 open", 13, wrong);
    const struct {
        const char *row;
        const uint32_t *key;
        size_t spoilt; // the byte flipped; 0: none
        bool closed;
    } rows[] = {{"right", right, 0, false},
                {"wrong secret", wrong, 0, true},
                {"wrong echo", right, 39, true},
                {"wrong kind", right, 3, true}};
    for (const auto &row : rows) {
        const int fd = queried(beta, 0);
        const bytes challenge = recv_bytes(fd, 40);
        ASSERT_EQ(challenge.size(), 40u) << row.row;
        bytes record(40, 0);
        set_be(record, 0, 4, 1);
        set_be(record, 8, 8, 0x1122334455667788); // our own challenge
        uint32_t digest[4];
        auth_digest_keyed(row.key, uint32_t(be(challenge, 8, 4)), uint32_t(be(challenge, 12, 4)),
                          digest);
        for (size_t j = 0; j < 4; ++j)
            set_be(record, 16 + 4 * j, 4, digest[j]);
        std::copy(challenge.begin() + 8, challenge.begin() + 16, record.begin() + 32);
        if (row.spoilt != 0)
            record[row.spoilt] ^= 1;
        send_bytes(fd, record);
        EXPECT_EQ(recv_bytes(fd, 40).empty(), row.closed) << row.row;
        ::close(fd);
    }
}

TEST_F(SimAuth, RequestsBeforeAuthenticationAreRefusedWhileOtherHostsNeedNone) {
    int fd = connect_to(beta, cluster_name_server_port(sim->cluster, beta.c_str()));
    EXPECT_TRUE(round_trip(fd, pm_request(0, 11)).empty());
    ::close(fd);
    fd = queried(alpha, 2);
    EXPECT_EQ(round_trip(fd, pm_request(0, 11)).size(), 1024u); // no record in between
    ::close(fd);
}

TEST_F(SimAuth, TheConsoleSideAuthenticatesWithTheSecretFileWrittenToTheRoot) {
    const std::string file = read_file(sim->root.path + "/config/.auth_secret");
    EXPECT_EQ(file.substr(0, file.find('\n')), secret);
    ::setenv("KXFSROOT", sim->root.path.c_str(), 1);
    install_paths_reset_for_tests();
    ASSERT_EQ(auth_secret_present(), 1);
    int fd = connect_to(beta, cluster_name_server_port(sim->cluster, beta.c_str()));
    EXPECT_EQ(auth_negotiate(fd), 1);
    EXPECT_EQ(round_trip(fd, pm_request(0, 36)).size(), 1024u);
    ::close(fd);
    ::unsetenv("KXFSROOT");
    install_paths_reset_for_tests();
}

} // namespace
