// The shared state of a running simulated cluster: the scenario as it changes under requests,
// guarded by one lock, and the stop signal that every connection and every delay obeys.
#pragma once

#include "clustersim/scenario.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

// What the name servers derive from a host's disks, kept until the scenario is edited.
struct sim_disk_checksum {
    uint64_t edits = UINT64_MAX; // the edit count it was computed at
    uint32_t value = 0;
};

struct sim_world {
    std::mutex lock; // guards `scenario`, `edits` and `disk_checksums`
    sim_scenario scenario;
    uint64_t edits = 0; // edits from outside (cluster_edit); the daemons never change disks
    std::vector<sim_disk_checksum> disk_checksums; // per host
    std::atomic<bool> stopping{false};
    std::mutex wait_lock;
    std::condition_variable wake;
};

// Sleeps `ms` milliseconds unless the world stops first; false when it is stopping.
// `world` is a sim_world (the signature suits fault_send).
bool world_wait_ms(void *world, uint32_t ms);

// Marks the world as stopping and wakes every sleeper.
void world_stop(sim_world &world);
