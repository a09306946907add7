// Generated scenarios for large clusters: one host, alpha (127.0.0.1), with many disks, and one
// file system, "big", active there with many clients.
#pragma once

#include "clustersim/scenario.h"

#include <cstddef>

// `disks` disks on alpha and `clients` connected clients of "big" (one stripe group). Disk
// labels ("disk" and six digits) come in a scattered order, as a real disk list would, and
// every client has an address of its own (127.B.C.D, counting up from 127.1.0.1).
sim_scenario scenario_generate(size_t clients, size_t disks);
