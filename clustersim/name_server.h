// Name server (port mapper) of one simulated host: 1024-byte records, framed or (activate and
// authentication query) unframed, with the command forms its generation knows.
#pragma once

#include "clustersim/world.h"

#include <cstdint>
#include <vector>

constexpr size_t pm_message_size = 1024;
constexpr uint8_t pm_status_not_found = 1; // no such FSM / "FSM Not found"
constexpr uint8_t pm_status_running = 2;   // already running
constexpr uint8_t pm_status_unconfigured = 3;
constexpr uint8_t pm_status_not_local = 4;
constexpr uint8_t pm_status_standby = 5; // locate: the FSM is on standby
constexpr uint8_t pm_status_end = 7;     // past the end of a list

// True when the host's generation (and its refusal list) answers command (form, command).
bool name_server_knows(const sim_host &host, uint8_t form, uint8_t command);

// Checksum of a disk set, as the disk-list replies carry it; changes with any disk field.
uint32_t disk_set_checksum(const std::vector<sim_disk> &disks);

// Serves one accepted connection of the name server of host `host_index` until the peer
// closes, a fault closes it or the world stops. The fault filter matches the command byte.
void name_server_serve(sim_world &world, int host_index, int socket);
