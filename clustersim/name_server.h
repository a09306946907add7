// Name server (port mapper) of one simulated host: 1024-byte records, framed or (activate and
// authentication query) unframed, with the command forms its generation knows.
#pragma once

#include "clustersim/world.h"

#include <cstddef>
#include <cstdint>
#include <vector>

constexpr size_t pm_message_size = 1024;
constexpr uint8_t pm_status_not_found = 1; // no such FSM / "FSM Not found"
constexpr uint8_t pm_status_running = 2;   // already running
constexpr uint8_t pm_status_unconfigured = 3;
constexpr uint8_t pm_status_not_local = 4;
constexpr uint8_t pm_status_standby = 5; // locate: the FSM is on standby
constexpr uint8_t pm_status_end = 7;     // past the end of a list

// Serves one accepted connection of the name server of host `host_index` until the peer
// closes, a fault closes it or the world stops. The fault filter matches the command byte.
// A host with a secret answers the authentication query with 0, runs the challenge-response
// exchange and closes connections that fail it or send anything else first.
void name_server_serve(sim_world &world, int host_index, int socket);

// ---- One request, without a socket (the connection loop uses these; so do tests and fuzzing)

// The length of the request whose first 24 bytes are `header`: the framed length (24 to
// 65536), or pm_message_size for an unframed record (bytes 0-7 zero), with `framed` set; 0 when
// the header is neither and the connection ends.
size_t name_server_request_length(const uint8_t *header, bool *framed);

// The reply of host `host_index`'s name server to `request` (padded to pm_message_size) as an
// authenticated connection gets it, under the world's lock. The request may change the world
// (start, stop, activate).
std::vector<uint8_t> name_server_reply(sim_world &world, int host_index,
                                       const std::vector<uint8_t> &request, bool framed);
