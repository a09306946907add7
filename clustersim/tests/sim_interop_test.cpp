// The console's own transport against the simulator: both were written independently from
// the same wire description, so an agreement here checks each against the other.
#include "support.h"

#include "libfsmcomm/transport.h"
#include "libutil/install_paths.h"

#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

host_addr ipv4(uint8_t last) {
    host_addr a{};
    const uint8_t v4[4] = {127, 0, 0, last};
    host_addr_set_ipv4(&a, v4);
    return a;
}

class SimInterop : public ::testing::Test {
protected:
    void SetUp() override {
        sim = std::make_unique<running_cluster>(default_scenario());
        ::setenv("KXFSROOT", sim->root.path.c_str(), 1);
        install_paths_reset_for_tests();
        service_port_reset_for_tests();
    }
    void TearDown() override {
        sim.reset();
        ::unsetenv("KXFSROOT");
        install_paths_reset_for_tests();
        service_port_reset_for_tests();
    }

    kx_socket fsm(const char *fs, uint8_t host) {
        host_addr a = ipv4(host);
        std::string address = "127.0.0." + std::to_string(host);
        int error = 0;
        kx_socket s =
            sock_connect_addr(&a, cluster_manager_port(sim->cluster, fs, address.c_str()), &error);
        uint8_t message[4096] = {};
        fsm_msg_init(message, 7, 0);
        EXPECT_EQ(fsm_send_and_wait(s, message, 32, sizeof message, &error, 1), 0) << error;
        return s;
    }

    std::unique_ptr<running_cluster> sim;
};

TEST_F(SimInterop, AgentLookupFindsEachHostsNameServer) {
    host_addr beta = ipv4(2);
    EXPECT_EQ(service_port_lookup(&beta, 0x4B584653, 47, 6),
              cluster_name_server_port(sim->cluster, "127.0.0.2"));
    EXPECT_EQ(service_port_lookup(&beta, 0x4B584653, 47, 5), 0);
}

TEST_F(SimInterop, FramedRepliesAndFaultsReadAsTheConsoleExpects) {
    kx_socket s = fsm("snfs1", 1);
    uint8_t message[4096] = {};
    int error = -1;
    fsm_msg_init(message, 2, 0);
    ASSERT_EQ(fsm_send_and_wait(s, message, 24, sizeof message, &error, 1), 0) << error;
    EXPECT_EQ(msg_header_length(message), 96u);

    set_fault(sim->cluster, "fsm:snfs1", "oversize:5000/2");
    fsm_msg_init(message, 2, 0);
    EXPECT_EQ(fsm_send_and_wait(s, message, 24, sizeof message, &error, 1), 0) << error;
    std::memset(message, 0, sizeof message); // index 0
    fsm_msg_init(message, 22, 0);            // the stream stays aligned after the dropped excess
    EXPECT_EQ(fsm_send_and_wait(s, message, 32, sizeof message, &error, 1), 0) << error;
    EXPECT_EQ(msg_header_length(message), 1168u);

    set_fault(sim->cluster, "fsm:snfs1", "error:255:1/22");
    std::memset(message, 0, sizeof message);
    fsm_msg_init(message, 22, 0);
    EXPECT_EQ(fsm_send_and_wait(s, message, 32, sizeof message, &error, 1), -1);
    EXPECT_EQ(error, 1);
    EXPECT_EQ(msg_reply_not_supported(message), 1);

    set_fault(sim->cluster, "fsm:snfs1", "wrong_magic");
    fsm_msg_init(message, 2, 0);
    EXPECT_EQ(fsm_send_and_wait(s, message, 24, sizeof message, &error, 1), -1);
    EXPECT_EQ(error, 22);
    ::close(s);

    s = fsm("archive", 2);
    set_fault(sim->cluster, "fsm:archive", "close_after:10");
    fsm_msg_init(message, 2, 0);
    EXPECT_EQ(fsm_send_and_wait(s, message, 24, sizeof message, &error, 1), -1);
    EXPECT_EQ(error, 10054);
    ::close(s);
}

} // namespace
