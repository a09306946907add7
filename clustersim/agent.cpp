#include "clustersim/agent.h"

#include "libfsmcomm/wire.h"

#include <vector>

void agent_serve(sim_world &world, int host_index, uint16_t name_server_port, int socket) {
    sim_fault fault;
    {
        std::lock_guard<std::mutex> hold(world.lock);
        fault = world.scenario.hosts[size_t(host_index)].agent_fault;
    }
    auto send = [&](std::vector<uint8_t> &record, int request) {
        sim_fault none;
        return fault_send(socket, fault_applies(fault, request) ? fault : none, false, record,
                          world_wait_ms, &world) == SIM_SEND_OK;
    };
    std::vector<uint8_t> greeting(32, 0);
    put_be32(&greeting[0], agent_greeting_word);
    put_be32(&greeting[4], 1); // protocol version
    if (!send(greeting, 1))
        return;
    uint8_t query[32];
    while (!world.stopping && sim_recv_exact(socket, query, sizeof query)) {
        if (get_be32(query) != agent_query_word)
            return;
        std::vector<uint8_t> reply(32, 0);
        put_be32(&reply[0], agent_reply_word);
        if (get_be32(query + 4) == agent_service_tag &&
            get_be32(query + 8) == agent_service_number &&
            get_be32(query + 12) == agent_service_version)
            put_be32(&reply[4], name_server_port);
        if (!send(reply, 2))
            return;
    }
}
