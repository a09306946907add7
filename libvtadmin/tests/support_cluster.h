// Running the cluster simulator for the admin API tests: a cluster of a JSON scenario on the
// program's private root, read back through snapshots, and the library's trace lines.
#pragma once

#include "clustersim/cluster.h"
#include "libvtadmin/vorud.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

// Starts the scenario `json` on test_root() with a fresh mount table; null (with a test failure)
// when it cannot.
sim_cluster *start_test_cluster(const std::string &json);

// "active", "standby", "down", or "" when `fs_name` has no manager on `host_address`.
std::string manager_state(sim_cluster *cluster, const std::string &fs_name,
                          const std::string &host_address);

// Every FSM that the name server behind `nshandle` lists, in list order.
std::vector<VTA_FSM_ENTRY> list_fsms(int nshandle);

// The listed entry of `fs_name` in `state` (VTA_FSM_ACTIVE, VTA_FSM_STANDBY); false if none.
bool find_fsm(int nshandle, const char *fs_name, uint32_t state, VTA_FSM_ENTRY *entry);

// An FSM handle to the active manager of `fs_name` as the name server behind `nshandle` lists it;
// -1 (with a test failure) when there is none or the connection fails.
int connect_active_fsm(int nshandle, const char *fs_name);

// The text of an address ("" when it has none).
std::string address_text(const host_addr &address);

// `values` as one text separated by blanks: the fields of a record compared in one line.
std::string numbers(std::initializer_list<uint64_t> values);

// `path` with symbolic links resolved (as given when it cannot be resolved).
std::string canonical(const std::string &path);
// The inode number of `path` (with a test failure when there is none).
uint64_t inode_of(const std::string &path);
// The directory-quota name of the directory at `path`: "D:" and its inode number.
std::string dir_quota_name(const std::string &path);

// The messages of the library log `name` (see support_vtadmin.h), one per line.
std::vector<std::string> log_messages(const std::string &name);

// Opens the library log `name` with the trace facility `bits` on; the count of its lines so far.
size_t start_trace(const std::string &name, std::initializer_list<int> bits = {1});

// Expects the lines of log `name` after the first `from` that are among `expected` to be
// `expected`, in order (other layers add lines of their own in between); removes the log.
void expect_traced(const std::string &name, size_t from, const std::vector<std::string> &expected);

// The library over an in-process cluster of the test's scenario, with a name-server connection to
// alpha (127.0.0.1) and administrator rights.
class ClusterTest : public ::testing::Test {
protected:
    virtual std::string scenario_json() const = 0;
    void SetUp() override;
    void TearDown() override;

    std::string state(const char *fs, const char *host) {
        return manager_state(cluster_, fs, host);
    }
    void fault(const char *target, const char *fault_text);
    void edit(void (*fn)(sim_scenario &, void *)) { cluster_edit(cluster_, fn, nullptr); }

    sim_cluster *cluster_ = nullptr;
    int ns_ = -1;
    char msg_[VTA_MESSAGE_SIZE] = "";
};
