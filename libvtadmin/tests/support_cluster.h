// Running the cluster simulator for the admin API tests: a cluster of a JSON scenario on the
// program's private root, read back through snapshots.
#pragma once

#include "clustersim/cluster.h"
#include "libvtadmin/vorud.h"

#include <string>
#include <vector>

// Starts the scenario `json` on test_root() with a fresh mount table; null (with a test
// failure) when it cannot.
sim_cluster *start_test_cluster(const std::string &json);

// "active", "standby", "down", or "" when `fs_name` has no manager on `host_address`.
std::string manager_state(sim_cluster *cluster, const std::string &fs_name,
                          const std::string &host_address);

// Every FSM that the name server behind `nshandle` lists, in list order.
std::vector<VTA_FSM_ENTRY> list_fsms(int nshandle);

// The listed entry of `fs_name` in `state` (VTA_FSM_ACTIVE, VTA_FSM_STANDBY); false if none.
bool find_fsm(int nshandle, const char *fs_name, uint32_t state, VTA_FSM_ENTRY *entry);

// An FSM handle to the active manager of `fs_name` as the name server behind `nshandle` lists
// it; -1 (with a test failure) when there is none or the connection fails.
int connect_active_fsm(int nshandle, const char *fs_name);

// The messages of the library log `name` (see support_vtadmin.h), one per line.
std::vector<std::string> log_messages(const std::string &name);
