#include "support_cluster.h"

#include "support_vtadmin.h"

#include "libvtadmin/vtadmin_fsm.h"

#include <cstring>
#include <gtest/gtest.h>

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

std::vector<std::string> log_messages(const std::string &name) {
    std::vector<std::string> messages;
    for (const std::string &line : read_lines(log_path(name)))
        messages.push_back(log_message(line));
    return messages;
}
