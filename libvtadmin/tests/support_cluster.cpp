#include "support_cluster.h"

#include "support_vtadmin.h"

#include "libvtadmin/vtadmin_fsm.h"
#include "libvtadmin/vtadmin_trace.h"
#include "libvtadmin/vtadminlib.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

sim_cluster *start_test_cluster(const std::string &json) {
    test_root();
    // The simulator writes the mount table of its file systems only when there is none.
    write_config_file("mounttab", "");
    sim_scenario scenario;
    char text[256] = "";
    if (scenario_parse(json.c_str(), &scenario, text, sizeof text) != 0) {
        ADD_FAILURE() << "scenario: " << text;
        return nullptr;
    }
    sim_cluster *cluster = nullptr;
    if (cluster_start(scenario, test_root().c_str(), &cluster, text, sizeof text) != 0) {
        ADD_FAILURE() << "cluster: " << text;
        return nullptr;
    }
    return cluster;
}

std::string manager_state(sim_cluster *cluster, const std::string &fs_name,
                          const std::string &host_address) {
    const sim_scenario now = cluster_snapshot(cluster);
    for (const sim_filesystem &fs : now.filesystems) {
        if (fs.name != fs_name)
            continue;
        for (const sim_manager &m : fs.managers)
            if (m.host == host_address)
                return m.state == SIM_ACTIVE    ? "active"
                       : m.state == SIM_STANDBY ? "standby"
                                                : "down";
    }
    return "";
}

std::vector<VTA_FSM_ENTRY> list_fsms(int nshandle) {
    std::vector<VTA_FSM_ENTRY> entries;
    for (int ordinal = 0; ordinal < 100; ++ordinal) {
        VTA_FSM_ENTRY entry;
        char message[VTA_MESSAGE_SIZE] = "";
        const int rc = VTAdmin_NSListFsm(nshandle, ordinal, &entry, message);
        if (rc == 0)
            entries.push_back(entry);
        else if (rc != 3)
            break;
    }
    return entries;
}

bool find_fsm(int nshandle, const char *fs_name, uint32_t state, VTA_FSM_ENTRY *entry) {
    for (const VTA_FSM_ENTRY &e : list_fsms(nshandle)) {
        if (std::strncmp(e.name, fs_name, sizeof e.name) == 0 && e.state == state) {
            *entry = e;
            return true;
        }
    }
    return false;
}

int connect_active_fsm(int nshandle, const char *fs_name) {
    VTA_FSM_ENTRY entry{};
    if (!find_fsm(nshandle, fs_name, VTA_FSM_ACTIVE, &entry)) {
        ADD_FAILURE() << "no active FSM " << fs_name;
        return -1;
    }
    char message[VTA_MESSAGE_SIZE] = "";
    const int handle = VTAdmin_FSMConnect(nshandle, &entry, message);
    if (handle < 0)
        ADD_FAILURE() << fs_name << ": " << message;
    return handle;
}

std::string address_text(const host_addr &address) {
    char text[256];
    return VTAdmin_AddrToString(&address, text) ? text : "";
}

std::string numbers(std::initializer_list<uint64_t> values) {
    std::string text;
    for (uint64_t v : values)
        text += (text.empty() ? "" : " ") + std::to_string(v);
    return text;
}

std::string canonical(const std::string &path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? resolved : path;
}

uint64_t inode_of(const std::string &path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st.st_ino;
}

std::string dir_quota_name(const std::string &path) {
    return "D:" + std::to_string(inode_of(path));
}

std::vector<std::string> log_messages(const std::string &name) {
    std::vector<std::string> messages;
    for (const std::string &line : read_lines(log_path(name)))
        messages.push_back(log_message(line));
    return messages;
}

size_t start_trace(const std::string &name, std::initializer_list<int> bits) {
    VTAdmin_LogInit(name.c_str());
    for (int bit : bits)
        VTAdmin_LogEnable(bit, VTA_LOG_MODULE);
    return log_messages(name).size();
}

void expect_traced(const std::string &name, size_t from, const std::vector<std::string> &expected) {
    const std::vector<std::string> all = log_messages(name);
    std::vector<std::string> ours;
    for (size_t i = from; i < all.size(); ++i)
        if (std::find(expected.begin(), expected.end(), all[i]) != expected.end())
            ours.push_back(all[i]);
    EXPECT_EQ(ours, expected) << "log " << name;
    std::remove(log_path(name).c_str());
}

void ClusterTest::SetUp() {
    setenv("TIMEDWAIT_VALUE", "5", 1);
    cluster_ = start_test_cluster(scenario_json());
    ASSERT_NE(cluster_, nullptr);
    VTAdmin_Init();
    vtadmin_set_admin_for_tests(1);
    ns_ = VTAdmin_NSConnect("127.0.0.1", msg_);
    ASSERT_GE(ns_, 0) << msg_;
}

void ClusterTest::TearDown() {
    VTAdmin_Teardown();
    if (cluster_ != nullptr)
        cluster_stop(cluster_);
}

void ClusterTest::fault(const char *target, const char *fault_text) {
    char text[256] = "";
    ASSERT_EQ(cluster_set_fault(cluster_, target, fault_text, text, sizeof text), 0) << text;
}
