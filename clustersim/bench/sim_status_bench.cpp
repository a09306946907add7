// Status requests per second against one simulated FSM, over one connection per thread.
#include "clustersim/cluster.h"

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

sim_scenario bench_scenario() {
    sim_scenario s;
    char text[256];
    int rc = scenario_parse(R"({"hosts": [{"address": "127.0.0.1"}], "filesystems": [
        {"name": "bench", "managers": [{"host": "127.0.0.1"}], "total_blocks": 1000}]})",
                            &s, text, sizeof text);
    if (rc != 0)
        std::abort();
    return s;
}

// One request and its whole reply, read as it arrives (mostly in one receive) into `reply`, which
// holds 4096 bytes.
bool ask(int fd, uint8_t type, size_t length, uint8_t *reply) {
    uint8_t request[32] = {0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0, 0, uint8_t(length), 2, type};
    if (::send(fd, request, length, MSG_NOSIGNAL) != ssize_t(length))
        return false;
    size_t got = 0, total = 24;
    while (got < total) {
        const ssize_t r = ::recv(fd, reply + got, 4096 - got, 0);
        if (r <= 0)
            return false;
        got += size_t(r);
        if (got >= 24) {
            total = size_t(reply[5]) << 16 | size_t(reply[6]) << 8 | reply[7];
            if (total < 24 || total > 4096)
                return false;
        }
    }
    return true;
}

struct bench_cluster {
    bench_cluster() {
        char pattern[] = "/tmp/kxsimbench.XXXXXX";
        root = ::mkdtemp(pattern);
        char text[256];
        if (cluster_start(bench_scenario(), root.c_str(), &cluster, text, sizeof text) != 0)
            std::abort();
    }
    ~bench_cluster() {
        cluster_stop(cluster);
        std::filesystem::remove_all(root);
    }
    std::string root;
    sim_cluster *cluster = nullptr;
};

bench_cluster &shared_cluster() {
    static bench_cluster c;
    return c;
}

void StatusRequests(benchmark::State &state) {
    sim_cluster *cluster = shared_cluster().cluster;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(cluster_manager_port(cluster, "bench", "127.0.0.1"));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    uint8_t reply[4096];
    if (::connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 ||
        !ask(fd, 7, 32, reply)) {
        state.SkipWithError("cannot reach the simulated FSM");
        ::close(fd);
        return;
    }
    for (auto _ : state)
        if (!ask(fd, 2, 24, reply)) {
            state.SkipWithError("status request failed");
            break;
        }
    state.SetItemsProcessed(state.iterations());
    ::close(fd);
}

} // namespace

BENCHMARK(StatusRequests)->Threads(1)->Threads(4)->UseRealTime();
