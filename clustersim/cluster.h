// A simulated cluster: an agent, a name server per host and a manager per running FSM, each on
// its own loopback socket, started in-process (threads) or as a child process (kxclustersim).
#pragma once

#include "clustersim/scenario.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

struct sim_cluster;

// Makes `root`/config, reads the agent port from the "altpmap" line of its fsports file and,
// when there is none, picks a free port and appends "altpmap <port>" to the file (created when
// missing). Writes `root`/config/hosts with the scenario's named hosts when that file is
// missing. Returns 0 with the port, or -1 with a message in `text`.
int cluster_prepare_root(const char *root, const sim_scenario &scenario, uint16_t *agent_port,
                         char *text, size_t text_size);

// The "altpmap" value of `root`/config/fsports (the last valid one), 0 when there is none.
uint16_t cluster_read_altpmap(const char *root);

// Prepares `root`, binds every socket and starts serving. Returns 0 with the running cluster,
// or -1 with a message in `text`.
int cluster_start(const sim_scenario &scenario, const char *root, sim_cluster **cluster, char *text,
                  size_t text_size);

// Stops serving: closes every socket, ends every connection and frees the cluster.
void cluster_stop(sim_cluster *cluster);

uint16_t cluster_agent_port(const sim_cluster *cluster);
// Port of the name server of the host with this address; 0 when there is no such host.
uint16_t cluster_name_server_port(const sim_cluster *cluster, const char *host_address);
// Port of the manager of `fs_name` on `host_address`; 0 when there is none.
uint16_t cluster_manager_port(const sim_cluster *cluster, const char *fs_name,
                              const char *host_address);

// "READY agent=<addr>:<port> ns=<addr>:<port>,... root=<root>".
std::string cluster_ready_line(const sim_cluster *cluster);

// Sets the fault of a target: "agent@ADDR", "ns@ADDR", "fsm:NAME" (every manager of NAME) or
// "fsm:NAME@ADDR". Also used on a scenario before start. 0, or -1 with a message.
int scenario_set_fault(sim_scenario *scenario, const char *target, const char *fault_text,
                       char *text, size_t text_size);
int cluster_set_fault(sim_cluster *cluster, const char *target, const char *fault_text, char *text,
                      size_t text_size);

// Runs `edit` on the live scenario under the cluster's lock (tests change disks, states...).
void cluster_edit(sim_cluster *cluster, void (*edit)(sim_scenario &, void *), void *context);
// A copy of the live scenario.
sim_scenario cluster_snapshot(sim_cluster *cluster);

// Starts `program` (kxclustersim) with --root, --scenario (when given) and one --fault per
// entry, and waits up to 10 seconds for its READY line. Returns 0 with the child's pid and the
// line, or -1 with a message (the child, if any, is stopped).
int cluster_spawn(const char *program, const char *root, const char *scenario_path,
                  const std::vector<std::string> &faults, pid_t *pid, std::string *ready_line,
                  char *text, size_t text_size);

// Sends SIGTERM to the child and waits for it up to `timeout_ms`, then kills it. Returns its
// exit status, 128 + signal when a signal ended it, or -1 when it had to be killed.
int cluster_child_stop(pid_t pid, int timeout_ms);
