// Port-mapper agent: greets each connection with its 32-byte record and answers service-port
// queries; the only service it knows is the name server ("KXFS", 47, 6).
#pragma once

#include "clustersim/world.h"

constexpr uint32_t agent_greeting_word = 0x61700001; // "ap", 0, 1
constexpr uint32_t agent_query_word = 0x61700002;
constexpr uint32_t agent_reply_word = 0x61700003;
constexpr uint32_t agent_service_tag = 0x4B584653; // "KXFS"
constexpr uint32_t agent_service_number = 47;
constexpr uint32_t agent_service_version = 6;

// Serves one accepted connection of the agent of host `host_index` until the peer closes, a
// fault closes it or the world stops. Requests for the fault filter: 1 greeting, 2 query.
void agent_serve(sim_world &world, int host_index, uint16_t name_server_port, int socket);
