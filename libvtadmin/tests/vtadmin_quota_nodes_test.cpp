// The "Quotas" folder and its "Users & Groups" and "Directories" folders against the cluster
// simulator: the rows of every display state, add, update and delete with the refreshed rows,
// name spaces made and destroyed with directory quotas, and disabled quotas.

#include "support_cluster.h"
#include "support_nodes.h"
#include "support_vtadmin.h"

#include "libvtadmin/vtadmin_quota_nodes.h"
#include "libvtadmin/vtadminlib.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

VTA_QUOTA_EDIT edit_record(const char *name, uint32_t type, uint64_t hard, uint64_t soft,
                           uint32_t grace, const std::string &path = "") {
    VTA_QUOTA_EDIT e{};
    std::snprintf(e.VTA_Quota.name, sizeof e.VTA_Quota.name, "%s", name);
    e.VTA_Quota.type = type;
    e.VTA_Quota.hard = hard;
    e.VTA_Quota.soft = soft;
    e.VTA_Quota.grace = grace;
    std::snprintf(e.VTA_Path, sizeof e.VTA_Path, "%s", path.c_str());
    return e;
}

// ---- Users and groups ----
// snfs1 (4096-byte blocks, amounts in blocks): 1G = 262144 blocks.
const char *const kScenario = R"({"hosts": [{"address": "127.0.0.1", "name": "alpha"}],
  "filesystems": [
    {"name": "snfs1", "block_size": 4096, "total_blocks": 1000, "quotas_enabled": true,
     "managers": [{"host": "127.0.0.1", "state": "active"}],
     "user_quotas": [
       {"name": "alice", "used": 25600, "hard": 262144, "soft": 230400, "grace": 10080},
       {"name": "bob", "used": 1572864, "hard": 2621440, "soft": 1310720, "grace": 10080,
        "time_remaining": 5400},
       {"name": "carol", "used": 1572864, "hard": 2621440, "soft": 1310720, "grace": 10080,
        "time_remaining": -60},
       {"name": "dave", "used": 2883584, "hard": 2621440, "soft": 1310720, "grace": 10080},
       {"name": "devel", "used": 2560, "hard": 131072, "soft": 102400, "grace": 1440},
       {"name": "erin", "used": 51200},
       {"name": "frank", "used": 230400, "hard": 262144, "soft": 230400, "grace": 10080},
       {"name": "ghost"},
       {"name": "gina", "used": 256, "grace": 60}],
     "group_quotas": [
       {"name": "devel", "used": 1310720, "hard": 2621440, "soft": 1048576, "grace": 1440,
        "time_remaining": 600}],
     "users": ["harry"], "groups": ["ops"]},
    {"name": "off", "block_size": 4096, "total_blocks": 1000, "quotas_enabled": false,
     "managers": [{"host": "127.0.0.1", "state": "active"}]}]})";

const std::vector<std::string> kRows = {
    "Name|Type|Limit Hard|Limit Soft|Used|Grace Period|Time Remaining|Message",
    "alice|User|1G|900M|100M|   7d- 0h- 0m| | ",
    "bob|User|10G|5G|6G|   7d- 0h- 0m|   0d- 1h-30m|Warning: Soft limit exceeded",
    "carol|User|10G|5G|6G|   7d- 0h- 0m|-  0d- 0h- 1m|!! Soft limit expired !!",
    "dave|User|10G|5G|11G|   7d- 0h- 0m|Exceeded!|!! HARD LIMIT EXCEEDED !!",
    "devel|User|512M|400M|10M|   1d- 0h- 0m| | ",
    "devel|Group|10G|4G|5G|   1d- 0h- 0m|   0d- 0h-10m|Warning: Soft limit exceeded",
    "erin|User|Unlimited|Unlimited|200M|Unlimited| | ",
    "frank|User|1G|900M|900M|   7d- 0h- 0m| | ",
    "gina|User|0|0|1M|   0d- 1h- 0m| | ",
};

class QuotaNodes : public ClusterTreeTest {
protected:
    std::string scenario_json() const override { return kScenario; }

    // "Users & Groups" (refreshed) of file system `fs` on alpha.
    VTAObj *users_and_groups(const char *fs = "snfs1") {
        quotas_ = open(open(open(computer("alpha"), "File Systems"), fs), "Quotas");
        return open(quotas_, "Users & Groups");
    }
    // The row of `name` (first column) in the folder's rows, or "".
    std::string row_of(VTAObj *folder, const std::string &name) {
        for (const std::string &row : rows(folder))
            if (row.rfind(name + "|", 0) == 0)
                return row;
        return "";
    }

    VTAObj *quotas_ = nullptr;
};

TEST_F(QuotaNodes, QuotasFolderHoldsItsTwoSubFolders) {
    VTAObj *ug = users_and_groups();
    ASSERT_NE(ug, nullptr);
    EXPECT_EQ(child_names(tree_, quotas_),
              (std::vector<std::string>{"Directories", "Users & Groups"}));
    EXPECT_EQ(rows(quotas_),
              (std::vector<std::string>{"Name|Description", "Directories|Directory Quotas",
                                        "Users & Groups|User & Group Quotas"}));
    EXPECT_EQ(ug->VTA_Type, VTA_OBJ_QUOTAS_UG);
    EXPECT_EQ(ug->VTA_IsFolder, 1);
    EXPECT_EQ(ug->VTA_LoadOnDemand, 0);
    EXPECT_EQ(VTAObj_FindChildOfType(tree_, quotas_, VTA_OBJ_QUOTAS_DIR)->VTA_IsFolder, 1);
    ASSERT_EQ(op(VTA_OP_REFRESH, quotas_), 0) << msg_;
    EXPECT_EQ(VTAObj_FindChildOfType(tree_, quotas_, VTA_OBJ_QUOTAS_UG), ug) << "kept";

    EXPECT_EQ(allowed(quotas_, VTA_OP_CREATE), 0u);
    EXPECT_EQ(allowed(quotas_, VTA_OP_REFRESH_ALL), 2u);
    EXPECT_EQ(allowed(ug, VTA_OP_CREATE), 2u);
    EXPECT_EQ(allowed(ug, VTA_OP_DELETE), 0u);
}

TEST_F(QuotaNodes, DisabledQuotasShowOneMessageRowUntilEnabled) {
    VTAObj *ug = users_and_groups("off");
    const std::vector<std::string> disabled = {"Message", "Quotas are not enabled."};
    EXPECT_EQ(rows(ug), disabled);
    ASSERT_EQ(op(VTA_OP_REFRESH, ug), 0) << msg_;
    EXPECT_EQ(rows(ug), disabled) << "the message survives a second refresh";
    VTAObj *dirs = open(quotas_, "Directories");
    EXPECT_EQ(rows(dirs), disabled);

    edit([](sim_scenario &s, void *) {
        s.filesystems[1].quotas_enabled = true;
        s.filesystems[1].user_quotas.push_back({"zoe", 1, 2, 1, 5, 0, ""});
    });
    ASSERT_EQ(op(VTA_OP_REFRESH, ug), 0) << msg_;
    EXPECT_EQ(rows(ug),
              (std::vector<std::string>{kRows[0], "zoe|User|8K|4K|4K|   0d- 0h- 5m| | "}));
}

TEST_F(QuotaNodes, AddChangeAndDeleteEachShowTheRefreshedRows) {
    VTAObj *ug = users_and_groups();
    VTA_QUOTA_EDIT add = edit_record("harry", VTA_QUOTA_USER, 1073741824, 943718400, 43200);
    ASSERT_EQ(op(VTA_OP_CREATE, ug, &add, sizeof add), 0) << msg_;
    EXPECT_EQ(row_of(ug, "harry"), "harry|User|1G|900M|0|  30d- 0h- 0m| | ");

    VTAObj *harry = child(ug, "harry", VTA_OBJ_QUOTA_USER);
    ASSERT_NE(harry, nullptr);
    VTA_QUOTA_EDIT changed;
    VTAObj_GetData(harry, &changed, sizeof changed);
    changed.VTA_Quota.hard = 2147483648;
    VTAObj_SetData(harry, &changed, sizeof changed);
    ASSERT_EQ(op(VTA_OP_SAVE, harry), 0) << msg_;
    EXPECT_EQ(row_of(ug, "harry"), "harry|User|2G|900M|0|  30d- 0h- 0m| | ");
    EXPECT_EQ(child(ug, "harry", VTA_OBJ_QUOTA_USER), harry) << "updated in place";

    recorder_.clear();
    ASSERT_EQ(op(VTA_OP_DELETE, harry), 0) << msg_;
    EXPECT_EQ(row_of(ug, "harry"), "") << "no limits and no usage: gone";
    EXPECT_NE(std::find(recorder_.notes.begin(), recorder_.notes.end(), "removed harry"),
              recorder_.notes.end());

    ASSERT_EQ(op(VTA_OP_DELETE, child(ug, "dave", VTA_OBJ_QUOTA_USER)), 0) << msg_;
    EXPECT_EQ(row_of(ug, "dave"), "dave|User|Unlimited|Unlimited|11G|Unlimited| | ")
        << "usage keeps the entry, without limits";

    VTA_QUOTA_EDIT group = edit_record("ops", VTA_QUOTA_GROUP, 8192, 4096, 60);
    ASSERT_EQ(op(VTA_OP_CREATE, ug, &group, sizeof group), 0) << msg_;
    EXPECT_NE(child(ug, "ops", VTA_OBJ_QUOTA_GROUP), nullptr);
}

TEST_F(QuotaNodes, FailedAddsAndUpdatesLeaveTheListWithTheirMessages) {
    VTAObj *ug = users_and_groups();
    const struct {
        const char *name;
        uint32_t type;
        uint64_t hard, soft;
        int32_t rc;
        const char *message;
    } adds[] = {
        {"nosuch", VTA_QUOTA_USER, 8192, 4096, 2,
         "FSM returned 'Not Found'. Verify user 'nosuch' exists"},
        {"nosuch", VTA_QUOTA_GROUP, 8192, 4096, 2,
         "FSM returned 'Not Found'. Verify group 'nosuch' exists"},
        {"harry", VTA_QUOTA_DIR_SPACE, 8192, 4096, 22, "Bad quota type (3) adding new quota harry"},
        {"harry", VTA_QUOTA_USER, 4096, 8192, -1, "Error -1 adding new quota harry"},
    };
    for (const auto &a : adds) {
        VTA_QUOTA_EDIT e = edit_record(a.name, a.type, a.hard, a.soft, 60);
        EXPECT_EQ(op(VTA_OP_CREATE, ug, &e, sizeof e), a.rc) << a.message;
        EXPECT_STREQ(msg_, a.message);
    }
    VTA_QUOTA_EDIT e = edit_record("harry", VTA_QUOTA_USER, 1, 1, 1);
    EXPECT_EQ(op(VTA_OP_CREATE, ug, &e, sizeof e - 1), 22);
    EXPECT_STREQ(msg_, "Internal Error: Wrong size for quota record.");
    EXPECT_EQ(rows(ug), kRows);

    VTAObj *alice = child(ug, "alice", VTA_OBJ_QUOTA_USER);
    VTA_QUOTA_EDIT record;
    VTAObj_GetData(alice, &record, sizeof record);
    VTA_QUOTA_EDIT bad = record;
    bad.VTA_Quota.type = VTA_QUOTA_DIR_FILES;
    VTAObj_SetData(alice, &bad, sizeof bad);
    EXPECT_EQ(op(VTA_OP_SAVE, alice), 22);
    EXPECT_STREQ(msg_, "Bad quota type (4) for quota alice");
    VTAObj_SetData(alice, &record, sizeof record);
    vtadmin_set_admin_for_tests(0);
    EXPECT_EQ(op(VTA_OP_SAVE, alice), 1);
    EXPECT_STREQ(msg_, "Error 1 updating quota alice");
    EXPECT_EQ(op(VTA_OP_DELETE, alice), 1);
    vtadmin_set_admin_for_tests(1);
    EXPECT_EQ(rows(ug), kRows);
}

TEST_F(QuotaNodes, FailedQuotaStateNamesTheRequestAndEmptiesTheList) {
    VTAObj *ug = users_and_groups();
    char text[256] = "";
    ASSERT_EQ(cluster_set_fault(cluster_, "fsm:snfs1", "error:1:5/12", text, sizeof text), 0)
        << text;
    EXPECT_EQ(op(VTA_OP_REFRESH, ug), 1);
    EXPECT_EQ(std::string(msg_).rfind("Error retrieving Quota State: ", 0), 0u) << msg_;
    EXPECT_EQ(std::string(msg_).find("Permission denied"), std::string::npos) << msg_;
    EXPECT_TRUE(children(ug).empty());
}

// ---- Directories ----

// snfs1 counts in 4096-byte blocks (1G = 262144 blocks); files quotas count files.
const char *const kDirScenario = R"({"hosts": [{"address": "127.0.0.1", "name": "alpha"}],
  "filesystems": [
    {"name": "snfs1", "block_size": 4096, "total_blocks": 1000, "quotas_enabled": true,
     "managers": [{"host": "127.0.0.1", "state": "active"}],
     "directories": ["tmp", "home/bob"],
     "dir_space_quotas": [
       {"path": "projects", "used": 256, "hard": 262144, "soft": 230400, "grace": 2880},
       {"path": "home/alice", "used": 235520, "hard": 262144, "soft": 230400, "grace": 1440,
        "time_remaining": 3000}],
     "dir_file_quotas": [
       {"path": "projects", "used": 1500, "hard": 5000, "soft": 4000, "grace": 2880},
       {"path": "render", "used": 120000, "hard": 100000, "soft": 80000, "grace": 60}],
     "name_spaces": [{"path": "locked", "busy": true}]},
    {"name": "nodq", "block_size": 4096, "total_blocks": 1000, "quotas_enabled": true,
     "dir_quotas": false, "managers": [{"host": "127.0.0.1", "state": "active"}],
     "directories": ["x"]}]})";

const char *const kHeader =
    "Name|Type|Limit Hard|Limit Soft|Used|Grace Period|Time Remaining|Path|Message";

std::string mount_point(const char *fs) {
    return canonical(test_root() + "/mnt/" + fs);
}

std::string name_of(const std::string &relative) {
    return dir_quota_name(mount_point("snfs1") + "/" + relative);
}

class DirQuotaNodes : public ClusterTreeTest {
protected:
    std::string scenario_json() const override { return kDirScenario; }

    // "Directories" (refreshed) of file system `fs` on alpha.
    VTAObj *directories(const char *fs = "snfs1") {
        VTAObj *quotas = open(open(open(computer("alpha"), "File Systems"), fs), "Quotas");
        return open(quotas, "Directories");
    }
    // The node of the directory `relative` holding a quota of `type`, or null.
    static VTAObj *node(VTAObj *folder, const std::string &relative, uint32_t type) {
        const std::string name = name_of(relative);
        for (VTAObj *c = folder->VTA_Child; c != nullptr; c = c->VTA_SibRight) {
            VTA_QUOTA_EDIT e;
            VTAObj_GetData(c, &e, sizeof e);
            if (name == c->VTA_Name && c->VTA_Type == VTA_OBJ_QUOTA_DIR && e.VTA_Quota.type == type)
                return c;
        }
        return nullptr;
    }
    bool has_name_space(const std::string &relative) {
        const std::string name = name_of(relative);
        const sim_scenario now = cluster_snapshot(cluster_);
        return std::any_of(now.filesystems[0].name_spaces.begin(),
                           now.filesystems[0].name_spaces.end(),
                           [&](const sim_name_space &s) { return s.name == name; });
    }
    // The expected rows: `rows` as (path, the cells after the name), ordered as the tree
    // orders its nodes (by name, namesakes in the order listed).
    static std::vector<std::string>
    expected(std::vector<std::pair<std::string, std::string>> rows) {
        std::vector<std::pair<std::string, std::string>> named;
        for (const auto &[path, cells] : rows)
            named.emplace_back(name_of(path), name_of(path) + "|" + cells);
        std::stable_sort(named.begin(), named.end(),
                         [](const auto &a, const auto &b) { return a.first < b.first; });
        std::vector<std::string> lines = {kHeader};
        for (const auto &n : named)
            lines.push_back(n.second);
        return lines;
    }
};

const std::pair<std::string, std::string> kProjectsData = {
    "projects", "Data|1G|900M|1M|   2d- 0h- 0m| |/projects| "};
const std::pair<std::string, std::string> kAliceData = {
    "home/alice",
    "Data|1G|900M|920M|   1d- 0h- 0m|   0d- 0h-50m|/home/alice|Warning: Soft limit exceeded"};
const std::pair<std::string, std::string> kProjectsFiles = {
    "projects", "Files|5000|4000|1500|   2d- 0h- 0m| |/projects| "};
const std::pair<std::string, std::string> kRenderFiles = {
    "render",
    "Files|100000|80000|120000|   0d- 1h- 0m|Exceeded!|/render|!! HARD LIMIT EXCEEDED !!"};

} // namespace

TEST_F(DirQuotaNodes, ADirectoryWithBothKindsShowsTwoNodes) {
    VTAObj *dirs = directories();
    ASSERT_NE(dirs, nullptr);
    EXPECT_EQ(rows(dirs), expected({kProjectsData, kAliceData, kProjectsFiles, kRenderFiles}));
    VTA_LV_ROW header{};
    ASSERT_EQ(op(VTA_OP_LV_ROW_GETBYNBR, dirs, &header, sizeof header), 0);
    ASSERT_EQ(header.VTA_ColCount, 9u);
    for (uint32_t c = 0; c < 9; ++c)
        EXPECT_EQ(header.VTA_Cells[c].VTA_RightAlign, c >= 2 && c <= 6 ? 1 : 0) << c;

    VTAObj *data = node(dirs, "projects", VTA_QUOTA_DIR_SPACE);
    VTAObj *files = node(dirs, "projects", VTA_QUOTA_DIR_FILES);
    ASSERT_NE(data, nullptr);
    ASSERT_NE(files, nullptr);
    EXPECT_STREQ(data->VTA_Name, files->VTA_Name);
    EXPECT_EQ(data->VTA_IsFolder, 0);

    // A refresh finds every node again.
    const std::vector<VTAObj *> before = children(dirs);
    ASSERT_EQ(op(VTA_OP_REFRESH, dirs), 0) << msg_;
    EXPECT_EQ(children(dirs), before);

    EXPECT_EQ(allowed(dirs, VTA_OP_CREATE), 2u);
    EXPECT_EQ(allowed(dirs, VTA_OP_DELETE), 0u);
    for (uint32_t asked : {VTA_OP_CREATE, VTA_OP_DELETE, VTA_OP_PROPERTIES})
        EXPECT_EQ(allowed(data, asked), 2u) << asked;
    EXPECT_EQ(allowed(data, VTA_OP_SAVE), 0u);
}

TEST_F(DirQuotaNodes, AddingMakesTheNameSpaceAndSetsTheLimits) {
    VTAObj *dirs = directories();
    VTA_QUOTA_EDIT data = edit_record("", VTA_QUOTA_DIR_SPACE, 10737418240, 5368709120, 60,
                                      mount_point("snfs1") + "/tmp");
    ASSERT_EQ(op(VTA_OP_CREATE, dirs, &data, sizeof data), 0) << msg_;
    EXPECT_TRUE(has_name_space("tmp"));
    const std::pair<std::string, std::string> tmp_data = {"tmp",
                                                          "Data|10G|5G|0|   0d- 1h- 0m| |/tmp| "};
    // The files quota of the same directory finds its name space there.
    VTA_QUOTA_EDIT files = edit_record("", VTA_QUOTA_DIR_FILES, 100, 50, 30, "tmp");
    ASSERT_EQ(op(VTA_OP_CREATE, dirs, &files, sizeof files), 0) << msg_;
    const std::pair<std::string, std::string> tmp_files = {"tmp",
                                                           "Files|100|50|0|   0d- 0h-30m| |/tmp| "};
    EXPECT_EQ(rows(dirs), expected({kProjectsData, kAliceData, tmp_data, kProjectsFiles,
                                    kRenderFiles, tmp_files}));
}

TEST_F(DirQuotaNodes, FailedAddsSayWhyAndLeaveNoNameSpaceBehind) {
    VTAObj *dirs = directories();
    const std::vector<std::string> before = rows(dirs);
    const struct {
        VTA_QUOTA_EDIT record;
        int32_t rc;
        std::string message;
    } rows_[] = {
        {edit_record("", VTA_QUOTA_USER, 1, 1, 1, "/x"), 22,
         "Bad quota type (1) adding new dir quota /x"},
        {edit_record("", VTA_QUOTA_DIR_SPACE, 4096, 8192, 1, "home/bob"), -1,
         "Quota hard limit is smaller than the soft limit, HL = 4096, SL = 8192."},
        {edit_record("", VTA_QUOTA_DIR_FILES, 10, 5, 1, "locked"), 7, "Namespace is busy"},
    };
    for (const auto &row : rows_) {
        VTA_QUOTA_EDIT record = row.record;
        EXPECT_EQ(op(VTA_OP_CREATE, dirs, &record, sizeof record), row.rc) << row.message;
        EXPECT_EQ(msg_, row.message);
    }
    EXPECT_FALSE(has_name_space("home/bob")) << "made for limits the FSM refused: gone again";
    VTA_QUOTA_EDIT e = edit_record("", VTA_QUOTA_DIR_SPACE, 1, 1, 1, "tmp");
    EXPECT_EQ(op(VTA_OP_CREATE, dirs, &e, sizeof e - 1), 22);
    EXPECT_STREQ(msg_, "Internal Error: Wrong size for quota record.");
    EXPECT_EQ(rows(dirs), before);
}

TEST_F(DirQuotaNodes, UpdatingChangesTheLimitsInPlace) {
    VTAObj *dirs = directories();
    VTAObj *render = node(dirs, "render", VTA_QUOTA_DIR_FILES);
    ASSERT_NE(render, nullptr);
    VTA_QUOTA_EDIT record;
    VTAObj_GetData(render, &record, sizeof record);
    record.VTA_Quota.hard = 200000;
    VTAObj_SetData(render, &record, sizeof record);
    ASSERT_EQ(op(VTA_OP_SAVE, render), 0) << msg_;
    EXPECT_EQ(node(dirs, "render", VTA_QUOTA_DIR_FILES), render) << "updated in place";
    EXPECT_EQ(rows(dirs),
              expected({kProjectsData,
                        kAliceData,
                        kProjectsFiles,
                        {"render", "Files|200000|80000|120000|   0d- 1h- 0m|   0d- 0h- 0m|/render|"
                                   "Warning: Soft limit exceeded"}}));

    record.VTA_Quota.soft = 300000;
    VTAObj_SetData(render, &record, sizeof record);
    EXPECT_EQ(op(VTA_OP_SAVE, render), -1);
    EXPECT_EQ(std::string(msg_),
              "Error (-1) updating quota " + name_of("render") +
                  ": Quota hard limit is smaller than the soft limit, HL = 200000, SL = 300000.");
}

TEST_F(DirQuotaNodes, DeletingKeepsTheNameSpaceWhileTheOtherKindHasLimits) {
    VTAObj *dirs = directories();
    ASSERT_EQ(op(VTA_OP_DELETE, node(dirs, "projects", VTA_QUOTA_DIR_SPACE)), 0) << msg_;
    EXPECT_TRUE(has_name_space("projects"));
    // The usage keeps the data entry, now without limits; the files quota is untouched.
    EXPECT_EQ(rows(dirs),
              expected({{"projects", "Data|Unlimited|Unlimited|1M|Unlimited|Unlimited|/projects| "},
                        kAliceData,
                        kProjectsFiles,
                        kRenderFiles}));

    // The last kind with limits goes with the name space, and both nodes with it.
    recorder_.clear();
    ASSERT_EQ(op(VTA_OP_DELETE, node(dirs, "projects", VTA_QUOTA_DIR_FILES)), 0) << msg_;
    EXPECT_FALSE(has_name_space("projects"));
    EXPECT_EQ(rows(dirs), expected({kAliceData, kRenderFiles}));
    EXPECT_EQ(std::count(recorder_.notes.begin(), recorder_.notes.end(),
                         "removed " + name_of("projects")),
              2);

    // Without administrator rights the name space stays.
    vtadmin_set_admin_for_tests(0);
    EXPECT_EQ(op(VTA_OP_DELETE, node(dirs, "render", VTA_QUOTA_DIR_FILES)), 1);
    EXPECT_STREQ(msg_, "Error 1 deleting quota namespace /render");
    vtadmin_set_admin_for_tests(1);
    EXPECT_TRUE(has_name_space("render"));
}

TEST_F(DirQuotaNodes, AFileSystemWithoutDirectoryQuotasSaysSo) {
    VTAObj *quotas = open(open(open(computer("alpha"), "File Systems"), "nodq"), "Quotas");
    VTAObj *dirs = VTAObj_FindChildOfType(tree_, quotas, VTA_OBJ_QUOTAS_DIR);
    ASSERT_NE(dirs, nullptr);
    recorder_.clear();
    EXPECT_EQ(op(VTA_OP_REFRESH, dirs), 25);
    EXPECT_STREQ(msg_, "no DQ support in FSM");
    EXPECT_EQ(recorder_.messages().back(), "* ERROR *: Refresh of 'Directories' idle")
        << "never \"Done\" over an empty list";
    VTA_QUOTA_EDIT e =
        edit_record("", VTA_QUOTA_DIR_SPACE, 8192, 4096, 1, mount_point("nodq") + "/x");
    EXPECT_EQ(op(VTA_OP_CREATE, dirs, &e, sizeof e), 25);
    EXPECT_STREQ(msg_, "This file system does not support Directory Quotas.");
}

TEST_F(DirQuotaNodes, AListingThatCannotFindAPathFails) {
    VTAObj *dirs = directories();
    write_config_file("mounttab", "");
    EXPECT_EQ(op(VTA_OP_REFRESH, dirs), -1);
    // The data quotas come first, in name order.
    const std::string first = std::min(name_of("projects"), name_of("home/alice"));
    EXPECT_EQ(std::string(msg_), "Unexpected error (-1) looking for Quota path for '" + first +
                                     "'.\ncould not find mount point for file system 'snfs1'");
}
