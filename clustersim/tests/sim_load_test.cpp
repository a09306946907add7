// 100 concurrent connections and 50,000 requests: every reply must answer its own request.
#include "support.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr int connections = 100;
constexpr int requests_per_connection = 500;

TEST(SimLoad, HundredConnectionsFiftyThousandRequestsNoLostOrMixedReplies) {
    running_cluster sim(default_scenario());
    const std::string alpha = "127.0.0.1";
    const char *names[] = {"snfs1", "snfs1", "archive"};      // by list ordinal
    const uint64_t group_flags[] = {0x0D, 0x01, 0x00, 0x501}; // snfs1's stripe groups
    std::atomic<int> answered{0}, wrong{0}, failed_connections{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < connections; ++t)
        threads.emplace_back([&, t] {
            bool name_server = t % 5 == 0;
            int fd = name_server
                         ? connect_to(alpha, cluster_name_server_port(sim.cluster, alpha.c_str()))
                         : fsm_open(sim.cluster, "snfs1", alpha);
            if (fd < 0) {
                ++failed_connections;
                return;
            }
            for (int r = 0; r < requests_per_connection; ++r) {
                uint32_t sequence = uint32_t(t) << 16 | uint32_t(r);
                bytes request, reply;
                bool ok;
                if (name_server) {
                    request = framed(1024, 0, 0, sequence);
                    request[25] = 36;
                    set_be(request, 30, 2, uint64_t(r % 3));
                    reply = round_trip(fd, request);
                    ok = reply.size() == 1024 && text_at(reply, 40) == names[r % 3];
                } else {
                    uint8_t type = r % 2 ? 2 : 18;
                    request = framed(type == 2 ? 24 : 32, 2, type, sequence);
                    if (type == 18)
                        set_be(request, 24, 4, uint64_t(r % 4));
                    reply = round_trip(fd, request);
                    ok = reply.size() >= 96 && reply[9] == type && reply[11] == 0 &&
                         (type == 2 || be(reply, 24, 4) == group_flags[r % 4]);
                }
                ok = ok &&
                     std::equal(request.begin() + 16, request.begin() + 24, reply.begin() + 16);
                if (!ok) {
                    ++wrong;
                    break; // the stream is no longer trustworthy
                }
                ++answered;
            }
            ::close(fd);
        });
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(failed_connections.load(), 0);
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(answered.load(), connections * requests_per_connection);
}

} // namespace
