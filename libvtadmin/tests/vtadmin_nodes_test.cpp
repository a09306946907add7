// Computers, file systems, disks, stripe groups, clients and QoS nodes against the cluster
// simulator (in-process, on the program's private install root).

#include "support_nodes.h"
#include "support_vtadmin.h"

#include "clustersim/cluster.h"
#include "libvtadmin/vtadmin_computer.h"
#include "libvtadmin/vtadmin_fsobjs.h"
#include "libvtadmin/vtadmin_recent.h"
#include "libvtadmin/vtadminlib.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string disks_json(int count) {
    std::string disks;
    for (int i = 0; i < count; ++i) {
        char disk[200];
        snprintf(disk, sizeof disk,
                 "%s{\"label\": \"disk%02d\", \"serial\": \"SN%02d\", \"size\": %d, "
                 "\"hba_id\": 1, \"lun_id\": %d}",
                 i ? "," : "", i, i, 1048576 * (i + 1), i);
        disks += disk;
    }
    return disks;
}

std::string nodes_scenario_json() {
    return R"({"hosts": [
        {"address": "127.0.0.1", "name": "alpha", "disks": [)" +
           disks_json(40) + R"(]},
        {"address": "127.0.0.2", "name": "beta"}],
      "filesystems": [
        {"name": "snfs1", "block_size": 4096, "total_blocks": 1220703, "free_blocks": 610351,
         "status": {"capability_flags": 4096},
         "managers": [{"host": "127.0.0.1", "state": "active", "priority": 0},
                      {"host": "127.0.0.2", "state": "standby", "priority": 1}],
         "stripe_groups": [
            {"name": "MetaFiles", "flags": 13, "access": 1, "multipath": 1, "disks": 2,
             "total_blocks": 2000, "free_blocks": 500, "reserved_blocks": 7,
             "qos": {"limit_iops": 5000, "limit_mbps": 400, "current_iops": 12,
                     "reserved_iops": 3, "clients_iops": 4, "hint_iops": 5}},
            {"name": "Data", "flags": 1, "access": 2}],
         "clients": [
            {"type": 2, "ip": "127.0.0.1", "local": "127.0.0.1", "uptime": 90061,
             "hashed_id": 255, "build": "kxfsm 4.2"},
            {"type": 3, "flags": 262145, "cpus": 4, "build": "no address"}]},
        {"name": "empty", "block_size": 4096, "total_blocks": 0,
         "managers": [{"host": "127.0.0.2", "state": "active"}]}]})";
}

class Nodes : public ClusterTreeTest {
protected:
    std::string scenario_json() const override { return nodes_scenario_json(); }
    // Expects the value children of `node` named by each pair's label to show its text.
    static void expect_values(VTAObj *node,
                              std::initializer_list<std::pair<const char *, const char *>> pairs) {
        for (const auto &[label, text] : pairs)
            EXPECT_EQ(value(node, label), text) << node->VTA_Name << ": " << label;
    }
};

// ---- Computers and file systems ----

TEST_F(Nodes, ComputerGetsItsTwoFoldersWithoutConnecting) {
    VTAObj *alpha = computer("alpha");
    EXPECT_EQ(child_names(tree_, alpha), (std::vector<std::string>{"Disks", "File Systems"}));
    EXPECT_EQ(VTAObj_FindChildOfType(tree_, alpha, VTA_OBJ_ALL_FS)->VTA_LoadOnDemand, 1);
    VTA_CONN_INFO conn;
    VTAObj_GetData(alpha, &conn, sizeof conn);
    EXPECT_EQ(conn.reserved, VTA_NO_HANDLE);

    EXPECT_EQ(allowed(alpha, VTA_OP_CLOSE), VTA_MENU_ALLOWED);
    EXPECT_EQ(op(VTA_OP_DELETE, alpha), 22);
    EXPECT_STREQ(msg_, "Cannot delete 'alpha'");
    ASSERT_EQ(op(VTA_OP_CLOSE, alpha), 0);
    EXPECT_TRUE(child_names(tree_, tree_->VTA_Root).empty());
}

TEST_F(Nodes, OneNameAtTwoAddressesGivesTwoNodesThatKeepTheirIdentity) {
    VTAObj *folder = open(computer("alpha"), "File Systems");
    EXPECT_EQ(rows(folder), (std::vector<std::string>{
                                "Name|Host|State|Size|Free",
                                "empty|127.0.0.2|Active|0|-",
                                "snfs1|127.0.0.1|Active|4768M|49%",
                                "snfs1|127.0.0.2|Standby|-|-",
                            }));
    const std::vector<VTAObj *> before = children(folder);
    ASSERT_EQ(op(VTA_OP_REFRESH, folder), 0) << msg_;
    EXPECT_EQ(children(folder), before) << "found again by name and address, not re-created";
    EXPECT_EQ(before[1]->VTA_Type, VTA_OBJ_FS_ACTIVE);
    EXPECT_EQ(before[2]->VTA_Type, VTA_OBJ_FS_STANDBY);
}

TEST_F(Nodes, StandbyShowsHostAndStateAndGainsFoldersOnceActive) {
    VTAObj *folder = open(computer("alpha"), "File Systems");
    VTAObj *standby = open(folder, "snfs1", 2);
    EXPECT_EQ(rows(standby),
              (std::vector<std::string>{"Name|Value|Type", "Host|127.0.0.2| ", "State|Standby| "}));

    edit([](sim_scenario &s, void *) {
        s.filesystems[0].managers[0].state = SIM_STANDBY;
        s.filesystems[0].managers[1].state = SIM_ACTIVE;
    });
    ASSERT_EQ(op(VTA_OP_REFRESH, folder), 0) << msg_;
    ASSERT_EQ(standby->VTA_Type, VTA_OBJ_FS_ACTIVE) << "the same node, now active";
    ASSERT_EQ(op(VTA_OP_REFRESH, standby), 0) << msg_;
    EXPECT_EQ(rows(standby), (std::vector<std::string>{
                                 "Name|Value|Type",
                                 "Clients| |All Clients",
                                 "Debug| |Debug",
                                 "Quality of Service| |Quality of Service",
                                 "Quotas| |All Quotas",
                                 "Stripe Groups| |All Stripe Groups",
                                 "Host|127.0.0.2| ",
                                 "Percent Free|49%| ",
                                 "Size|4768M| ",
                                 "State|Active| ",
                             }));

    // Back to standby: the folders and sizes are no longer confirmed.
    edit([](sim_scenario &s, void *) {
        s.filesystems[0].managers[0].state = SIM_ACTIVE;
        s.filesystems[0].managers[1].state = SIM_STANDBY;
    });
    ASSERT_EQ(op(VTA_OP_REFRESH, folder), 0) << msg_;
    ASSERT_EQ(op(VTA_OP_REFRESH, standby), 0) << msg_;
    EXPECT_EQ(child_names(tree_, standby), (std::vector<std::string>{"Host", "State"}));
}

TEST_F(Nodes, UnchangedFileSystemChildrenAreNotAnnouncedAgain) {
    VTAObj *fs = open(open(computer("alpha"), "File Systems"), "snfs1");
    recorder_.clear();
    ASSERT_EQ(op(VTA_OP_REFRESH, fs), 0) << msg_;
    for (const std::string &note : recorder_.notes)
        EXPECT_TRUE(note.rfind("message", 0) == 0 ||
                    note.find("_NEED_REFRESH_") != std::string::npos)
            << note;
}

TEST_F(Nodes, UnreachableHostReportsVorudAndLosesItsChildren) {
    VTAObj *alpha = computer("alpha");
    VTAObj *folder = open(alpha, "File Systems");
    ASSERT_FALSE(child_names(tree_, folder).empty());
    // The host goes away: "gone" is an address where no daemon answers.
    const std::vector<std::string> hosts = read_lines(test_config_dir() + "/hosts");
    std::string text;
    for (const std::string &line : hosts)
        text += line + "\n";
    write_config_file("hosts", text + "127.0.0.9 gone\n");
    VTAObj_SetName(alpha, "gone");
    EXPECT_EQ(op(VTA_OP_REFRESH, folder), 113);
    EXPECT_NE(strstr(msg_, "\n\nERROR (113): Services (VORUD) may be stopped on 'gone'"), nullptr)
        << msg_;
    EXPECT_TRUE(child_names(tree_, folder).empty());

    VTAObj *disks = VTAObj_FindChildOfType(tree_, alpha, VTA_OBJ_ALL_DISKS);
    EXPECT_EQ(op(VTA_OP_REFRESH, disks), 113);
    EXPECT_TRUE(child_names(tree_, disks).empty()) << "the placeholder is gone as well";
}

TEST_F(Nodes, FailoverRemovesTheFileSystemEverywhereAndMakesTheComputerCurrent) {
    VTAObj *alpha = computer("alpha");
    VTAObj *beta = computer("beta");
    VTAObj *alpha_fs = open(alpha, "File Systems");
    VTAObj *beta_fs = open(beta, "File Systems");
    VTAObj *target = open(alpha_fs, "snfs1");
    ASSERT_EQ(VTATree_SetCurrent(tree_, target, msg_, sizeof msg_), 0) << msg_;
    recorder_.clear();

    VTA_FS_CONTROL control{};
    control.VTA_Action = VTA_FS_FAILOVER;
    strcpy(control.VTA_FsName, "snfs1");
    strcpy(control.VTA_Host, "alpha");
    control.VTA_Node = target;
    control.VTA_Tree = tree_;
    ASSERT_EQ(op(VTA_OP_FAILOVER, target, &control, sizeof control), 0) << msg_;

    EXPECT_EQ(VTATree_GetCurrent(tree_), alpha);
    EXPECT_EQ(std::count(recorder_.notes.begin(), recorder_.notes.end(), "removed snfs1"), 4)
        << "both nodes under both computers";
    // The open folders were listed again: only the former standby, now active, is back.
    EXPECT_EQ(rows(alpha_fs),
              (std::vector<std::string>{"Name|Host|State|Size|Free", "empty|127.0.0.2|Active|0|-",
                                        "snfs1|127.0.0.2|Active|4768M|49%"}));
    EXPECT_EQ(rows(beta_fs), rows(alpha_fs));
}

TEST_F(Nodes, FailedActionLeavesTheTreeAndReturnsTheLibraryMessage) {
    VTAObj *folder = open(computer("alpha"), "File Systems");
    VTAObj *fs = open(folder, "snfs1");
    const std::vector<VTAObj *> before = children(folder);
    VTA_FS_CONTROL control{};
    control.VTA_Action = VTA_FS_START;
    strcpy(control.VTA_FsName, "snfs1");
    strcpy(control.VTA_Host, "alpha");
    control.VTA_Tree = tree_;
    EXPECT_EQ(op(VTA_OP_START, fs, &control, sizeof control), 3) << "already running";
    EXPECT_STRNE(msg_, "");
    EXPECT_EQ(children(folder), before);

    control.VTA_Action = 9;
    EXPECT_EQ(op(VTA_OP_STOP, fs, &control, sizeof control), 22);
    EXPECT_STREQ(msg_, "Internal Error: Bad FS Op");
}

TEST_F(Nodes, FileSystemMenusFollowTheState) {
    VTAObj *folder = open(computer("alpha"), "File Systems");
    VTAObj *active = VTAObj_GetNthChild(tree_, folder, 2);
    for (uint32_t asked : {VTA_OP_START, VTA_OP_STOP, VTA_OP_FAILOVER, VTA_OP_ACTIVATE})
        EXPECT_EQ(allowed(active, asked), asked == VTA_OP_START ? 0u : 2u) << asked;
    active->VTA_Type = VTA_OBJ_FS_DOWN;
    EXPECT_EQ(allowed(active, VTA_OP_START), 2u);
}

// ---- Disks ----

TEST_F(Nodes, FortyDisksArriveThroughGrowingPages) {
    VTAObj *disks = open(computer("alpha"), "Disks");
    const std::vector<VTAObj *> nodes = children(disks);
    ASSERT_EQ(nodes.size(), 40u);
    EXPECT_STREQ(nodes[39]->VTA_Name, "disk39");
    ASSERT_EQ(op(VTA_OP_REFRESH, nodes[39]), 0) << msg_;
    expect_values(nodes[39], {{"Serial Nbr", "SN39"}, {"Size", "40M"}, {"LUN ID", "39"}});
    EXPECT_EQ(rows(nodes[39]).front(), "Name|Value");
    EXPECT_EQ(rows(nodes[39]).size(), 11u);
}

TEST_F(Nodes, RunOfEqualDiskNamesKeepsTheLastRecord) {
    edit([](sim_scenario &s, void *) {
        s.hosts[0].disks.resize(4);
        for (int i = 1; i < 4; ++i) {
            s.hosts[0].disks[i].label = "twin";
            s.hosts[0].disks[i].serial = "third" + std::to_string(i);
        }
    });
    VTAObj *disks = open(computer("alpha"), "Disks");
    EXPECT_EQ(child_names(tree_, disks), (std::vector<std::string>{"disk00", "twin"}));
    VTAObj *twin = open(disks, "twin");
    EXPECT_EQ(value(twin, "Serial Nbr"), "third3");
}

TEST_F(Nodes, NoDisksFoundPrunesEveryDisk) {
    VTAObj *disks = open(computer("alpha"), "Disks");
    ASSERT_EQ(children(disks).size(), 40u);
    edit([](sim_scenario &s, void *) { s.hosts[0].disks.clear(); });
    EXPECT_EQ(op(VTA_OP_REFRESH, disks), 2);
    EXPECT_STREQ(msg_, "No disks found.");
    EXPECT_TRUE(children(disks).empty());
}

// ---- Stripe groups and QoS ----

TEST_F(Nodes, StripeGroupPropertiesAndDisabling) {
    VTAObj *sgs = open(open(open(computer("alpha"), "File Systems"), "snfs1"), "Stripe Groups");
    EXPECT_EQ(child_names(tree_, sgs), (std::vector<std::string>{"Data", "MetaFiles"}));
    VTAObj *meta = open(sgs, "MetaFiles");
    EXPECT_EQ(meta->VTA_Type, VTA_OBJ_SG_ONLINE);
    expect_values(meta, {{"Status", "Enabled"},
                         {"Metadata", "Yes"},
                         {"Journal", "Yes"},
                         {"Realtime", "Off"},
                         {"Multi-path", "Static"},
                         {"Device Flags", "Read Only"},
                         {"Blocks: Reserved", "7"},
                         {"Ordinal", "1"}});
    EXPECT_EQ(value(open(sgs, "Data"), "Device Flags"), "Write Only");

    edit([](sim_scenario &s, void *) { s.filesystems[0].stripe_groups[0].flags = 12; });
    ASSERT_EQ(op(VTA_OP_REFRESH, sgs), 0) << msg_;
    EXPECT_EQ(meta->VTA_Type, VTA_OBJ_SG_DISABLED);
    ASSERT_EQ(op(VTA_OP_REFRESH, meta), 0) << msg_;
    EXPECT_EQ(value(meta, "Status"), "* Disabled *");
}

TEST(NodeTexts, DeviceFlagsUptimeSizeAndPercentFree) {
    const char *flags[] = {"Disabled", "Read Only", "Write Only", "Read/Write"};
    for (uint32_t f = 0; f < 4; ++f)
        EXPECT_STREQ(VTAObj_DeviceFlagsText(f), flags[f]);
    char text[80];
    VTAObj_UptimeText(90061, text, sizeof text);
    EXPECT_STREQ(text, "1d-1h-1m");
    VTAObj_FsSizeText(4096, 1220703, text, sizeof text);
    EXPECT_STREQ(text, "4768M");
    VTAObj_FsSizeText(4096, 256, text, sizeof text);
    EXPECT_STREQ(text, "1M");
    VTAObj_FsPercentFree(5, 0, text, sizeof text);
    EXPECT_STREQ(text, "-");
    VTAObj_FsPercentFree(1, 3, text, sizeof text);
    EXPECT_STREQ(text, "33%");
}

TEST_F(Nodes, QualityOfServiceRowsPerStripeGroup) {
    VTAObj *qos =
        open(open(open(computer("alpha"), "File Systems"), "snfs1"), "Quality of Service");
    EXPECT_EQ(rows(qos), (std::vector<std::string>{
                             "Stripe Group|Max IO/Sec|Max MB/Sec|Reserve|Curr IO/Sec|Clients|Hint",
                             "Data|0|0|0|0|0|0", "MetaFiles|5000|400|3|12|4|5"}));
    VTAObj *meta = VTAObj_GetNthChild(tree_, qos, 2);
    EXPECT_EQ(meta->VTA_IsFolder, 0);
    ASSERT_EQ(op(VTA_OP_REFRESH, meta), 0) << msg_;
    EXPECT_EQ(value(meta, "Limit: MB/Sec"), "400");
    EXPECT_EQ(value(meta, "Reserved: IO/Sec"), "3");
    EXPECT_EQ(rows(meta).size(), 7u);
}

// ---- Clients ----

TEST_F(Nodes, ClientPropertiesAndRows) {
    VTAObj *clients = open(open(open(computer("alpha"), "File Systems"), "snfs1"), "Clients");
    const std::vector<std::string> list = rows(clients);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0], "Host|Type");
    EXPECT_EQ(list[1], "127.0.0.1|File System Manager (FSM)");
    EXPECT_EQ(list[2].substr(0, 8), "Unknown ");
    EXPECT_EQ(list[2].substr(list[2].find('|')), "|Client (DLAN Client)");

    VTAObj *fsm = open(clients, "127.0.0.1");
    expect_values(fsm, {{"Uptime", "1d-1h-1m"},
                        {"Type", "FSM"},
                        {"Hashed ID", "0xff"},
                        {"Expires", "<Unspecified>"},
                        {"ID", "<Unspecified>"},
                        {"Build", "kxfsm 4.2"}});
}

TEST_F(Nodes, ClientWithoutAddressIsRenamedAtEveryRefresh) {
    VTAObj *clients = open(open(open(computer("alpha"), "File Systems"), "snfs1"), "Clients");
    VTAObj *fsm_before = VTAObj_GetNthChild(tree_, clients, 1);
    const std::string first = VTAObj_GetNthChild(tree_, clients, 2)->VTA_Name;
    ASSERT_EQ(op(VTA_OP_REFRESH, clients), 0) << msg_;
    const std::string second = VTAObj_GetNthChild(tree_, clients, 2)->VTA_Name;
    EXPECT_EQ(atoi(second.c_str() + 8), atoi(first.c_str() + 8) + 1) << first << " " << second;
    EXPECT_EQ(std::count(recorder_.notes.begin(), recorder_.notes.end(), "removed " + first), 1);
    EXPECT_EQ(VTAObj_GetNthChild(tree_, clients, 1), fsm_before) << "addressed clients stay";
}

// ---- Connection helpers ----

TEST_F(Nodes, ConnectionHelpersNameWhatIsMissing) {
    VTAObj *computer_node = nullptr;
    VTA_CONN_INFO *conn = nullptr;
    VTAObj *root = tree_->VTA_Root;
    EXPECT_EQ(VTAObj_ConnectComputer(root, &computer_node, &conn, msg_, sizeof msg_), 2);
    EXPECT_STREQ(msg_, "No parent \"Computer\" found for node 'Connections'.");
    EXPECT_EQ(VTAObj_DisconnectComputer(root, msg_, sizeof msg_), 22);
    EXPECT_STREQ(msg_, "Cannot connect.  Object 'Connections' is not a computer.");
    int fsm = 5;
    VTAObj *fs = root;
    EXPECT_EQ(VTAObj_ConnectFsm(root, &fsm, &fs, msg_, sizeof msg_), 22);
    EXPECT_STREQ(msg_, "No parent file system for 'Connections'");
    EXPECT_EQ(fsm, -1);
    EXPECT_EQ(fs, nullptr);

    VTAObj *alpha = computer("alpha");
    ASSERT_EQ(VTAObj_ConnectComputer(alpha, &computer_node, &conn, msg_, sizeof msg_), 0) << msg_;
    EXPECT_EQ(computer_node, alpha);
    EXPECT_NE(conn->reserved, VTA_NO_HANDLE);
    ASSERT_EQ(VTAObj_DisconnectComputer(alpha, msg_, sizeof msg_), 0);
    EXPECT_EQ(conn->reserved, VTA_NO_HANDLE) << "the last hold closed the slot";
}

} // namespace
