// The simulator's request handling, without sockets. The first byte picks the daemon: even
// values a host's name server, odd ones a file system's manager (with or without a tap
// registered first); the rest is one request as it would arrive. A request the connection
// loop would read gets a reply: framed replies announce their own length, unframed ones are
// one 1024-byte record. The world starts from the shipped default scenario for every input.
#include "clustersim/fsm_server.h"
#include "clustersim/name_server.h"
#include "clustersim/scenario.h"
#include "clustersim/world.h"
#include "libfsmcomm/wire.h"
#include "libutil/fuzz/fuzz_check.h"

#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

sim_scenario g_scenario;

void check_framed(const std::vector<uint8_t> &reply) {
    FUZZ_CHECK(reply.size() >= 24);
    FUZZ_CHECK(get_be24(reply.data() + 5) == reply.size());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    char text[256] = "";
    if (scenario_load(KX_CLUSTERSIM_DEFAULT_SCENARIO, &g_scenario, text, sizeof text) != 0) {
        fprintf(stderr, "sim_requests fuzz: %s\n", text);
        abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 + 24)
        return 0;
    sim_world world;
    world.scenario = g_scenario;
    const uint8_t choice = data[0];
    const std::vector<uint8_t> request(data + 1, data + size);
    if (choice % 2 == 0) {
        bool framed = false;
        const size_t length = name_server_request_length(request.data(), &framed);
        if (length == 0 || length > request.size())
            return 0; // the loop would close the connection, or wait for more
        const int host = (choice / 2) % static_cast<int>(world.scenario.hosts.size());
        const std::vector<uint8_t> message(request.begin(), request.begin() + long(length));
        const std::vector<uint8_t> reply = name_server_reply(world, host, message, framed);
        if (framed)
            check_framed(reply);
        else
            FUZZ_CHECK(reply.size() == pm_message_size);
        return 0;
    }
    const size_t length = fsm_request_length(request.data());
    if (length == 0 || length > request.size())
        return 0;
    const int fs = (choice / 4) % static_cast<int>(world.scenario.filesystems.size());
    const size_t managers = world.scenario.filesystems[size_t(fs)].managers.size();
    if (managers == 0)
        return 0;
    bool tapped = (choice / 2) % 2 == 1;
    const std::vector<uint8_t> message(request.begin(), request.begin() + long(length));
    check_framed(
        fsm_reply(world, fs, static_cast<int>((choice / 64) % managers), message, &tapped));
    return 0;
}
