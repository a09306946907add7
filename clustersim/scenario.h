// Scenario: the simulated cluster as plain records (hosts, disks, file systems, managers,
// stripe groups, clients, quotas), loaded from JSON.
#pragma once

#include "clustersim/faults.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct sim_disk {
    std::string label, serial, block_device, raw_device, string5, string6, inquiry, controller;
    uint64_t size = 0;
    uint32_t state = 0, word_a = 0, word_b = 0, word_c = 0, word_d = 0, word_f = 0;
    uint8_t hba_id = 0, lun_id = 0, byte_e = 0;
};

// Name-server status to answer, instead of acting, for one file system; -1 acts normally.
struct sim_control_status {
    std::string fs_name;
    int start = -1, stop = -1, failover = -1, start_once = -1, activate = -1;
};

struct sim_host {
    std::string address;           // 127.0.0.N
    std::string name;              // written to the install's hosts file
    uint16_t name_server_port = 0; // 0: any free port
    int generation = 3;            // 3 answers every form, 2 refuses the newest, 1 the two newest
    std::vector<uint16_t> refused; // further refused commands: form byte << 8 | command
    bool auth_required = false;
    std::string auth_secret; // first line of the shared secret file
    std::vector<sim_disk> disks;
    std::vector<sim_control_status> control;
    sim_fault agent_fault, name_server_fault;
};

enum sim_manager_state { SIM_DOWN = 0, SIM_STANDBY = 1, SIM_ACTIVE = 2 };

struct sim_manager {
    std::string host;  // address of one of the hosts
    uint16_t port = 0; // 0: any free port
    sim_manager_state state = SIM_DOWN;
    uint16_t priority = 0;
    uint32_t pid = 0;
    uint32_t debug_flags = 0; // each FSM process has its own debug-flag word
    sim_fault fault;
};

struct sim_qos {
    uint32_t limit_iops = 0, current_iops = 0, reserved_iops = 0, hint_iops = 0, clients_iops = 0,
             limit_mbps = 0;
    uint32_t words[4] = {};
};

struct sim_stripe_group {
    std::string name;
    uint32_t flags = 1, word = 0;
    uint64_t total_blocks = 0, reserved_blocks = 0, free_blocks = 0;
    uint64_t counters[3] = {};
    uint32_t disks = 0, access = 3;
    uint16_t multipath = 0;
    uint32_t breadth = 0, affinity = 0, word2 = 0;
    sim_qos qos;
};

struct sim_client {
    uint32_t flags = 1, type = 3, cpus = 1, expiry = 0, uptime = 0;
    uint64_t hashed_id = 0;
    std::string ip, local, identity; // address texts; empty: all zero
    uint32_t io_rate = 0;
    uint64_t io_last = 0;
    std::string build;
    uint64_t reconnect_time = 0;
    uint32_t reconnect_count = 0;
};

// Amounts in blocks (directory file quotas: counts), grace in minutes, time remaining in
// seconds (negative once the grace has run out).
struct sim_quota {
    std::string name;
    uint64_t used = 0, hard = 0, soft = 0;
    uint32_t grace = 0;
    int32_t time_remaining = 0;
    // Directory quotas: the directory, relative to the mount point, whose name space the entry
    // belongs to; at start its inode number gives the name ("D:<inode>").
    std::string path;
};

// A directory's quota name space. `name` is "D:<inode>"; `path` is relative to the mount point
// (the scenario names name spaces by path, and the start resolves the name).
struct sim_name_space {
    std::string name;
    std::string path;
    bool busy = false; // every change of it answers "busy"
};

struct sim_fs_status {
    uint16_t capability_flags = 0x1000, word1 = 0, word3 = 0, word5 = 0, word6 = 0, word7 = 0,
             word8 = 0;
    uint32_t word9 = 0;
    uint64_t counters[3] = {};
};

struct sim_filesystem {
    std::string name;
    std::vector<sim_manager> managers;
    uint32_t tap_capability = 1; // bit 0: answers the current client-list request
    sim_fs_status status;
    uint32_t block_size = 4096;
    uint64_t total_blocks = 0, free_blocks = 0;
    std::vector<sim_stripe_group> stripe_groups;
    std::vector<sim_client> clients;
    bool quotas_enabled = false;
    // Each list is kept in name order (scenario_sort_quotas): walks answer the entry after a name.
    std::vector<sim_quota> user_quotas, group_quotas, dir_space_quotas, dir_file_quotas;
    // The users and groups that exist, besides those with a quota entry; a set for any other
    // name answers 22. Not given: every name exists.
    std::optional<std::vector<std::string>> users, groups;
    // Directory quotas: whether the FSM has them at all, the directories made below the mount
    // point at start (relative paths), and the name spaces, which directory quota entries
    // add to.
    bool dir_quotas = true;
    std::vector<std::string> directories;
    std::vector<sim_name_space> name_spaces;
    std::string mount_point;              // absolute; made at start as <root>/mnt/<name>
    uint32_t debug_settable = 0xFFFFFFFF; // bits a set request may change, on every manager
};

struct sim_scenario {
    std::vector<sim_host> hosts;
    std::vector<sim_filesystem> filesystems;
};

// Parses a scenario from JSON text / a file. Returns 0, or -1 with a message in `text`.
int scenario_parse(const char *json_text, sim_scenario *scenario, char *text, size_t text_size);
int scenario_load(const char *path, sim_scenario *scenario, char *text, size_t text_size);

// Puts every quota list of every file system in name order (after parsing and after edits).
void scenario_sort_quotas(sim_scenario *scenario);

// Index of the host with this address, or -1.
int scenario_host_index(const sim_scenario &scenario, const std::string &address);

// The 16-byte IPv4-mapped (or IPv6) form of an address text; false when it is not one.
bool address_parse(const std::string &text, uint8_t out[16]);
