// The "Quotas" folder, "Users & Groups" and the user and group quota nodes against the cluster
// simulator: the rows of every display state, add, update and delete with the refreshed rows,
// and disabled quotas (directory quotas: vtadmin_dirquota_nodes_test).

#include "support_nodes.h"

#include "libvtadmin/vtadmin_quota_nodes.h"
#include "libvtadmin/vtadminlib.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

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
    VTAObj *child(VTAObj *folder, const char *name, uint32_t kind) {
        for (VTAObj *c = folder->VTA_Child; c != nullptr; c = c->VTA_SibRight)
            if (strcmp(c->VTA_Name, name) == 0 && c->VTA_Type == kind)
                return c;
        return nullptr;
    }
    static VTA_QUOTA_EDIT edit_record(const char *name, uint32_t type, uint64_t hard, uint64_t soft,
                                      uint32_t grace) {
        VTA_QUOTA_EDIT e{};
        std::strcpy(e.VTA_Quota.name, name);
        e.VTA_Quota.type = type;
        e.VTA_Quota.hard = hard;
        e.VTA_Quota.soft = soft;
        e.VTA_Quota.grace = grace;
        return e;
    }
    uint32_t allowed(VTAObj *node, uint32_t asked) {
        VTA_ALLOW_MENU allow{asked, 0};
        EXPECT_EQ(op(VTA_OP_ALLOW_MENU, node, &allow, sizeof allow), 0);
        return allow.VTA_Answer;
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

} // namespace

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

TEST_F(QuotaNodes, RowsShowEveryStateAndSkipEmptyEntries) {
    VTAObj *ug = users_and_groups();
    EXPECT_EQ(rows(ug), kRows);
    VTA_LV_ROW header{};
    ASSERT_EQ(op(VTA_OP_LV_ROW_GETBYNBR, ug, &header, sizeof header), 0);
    for (uint32_t c = 0; c < 8; ++c)
        EXPECT_EQ(header.VTA_Cells[c].VTA_RightAlign, c >= 2 && c <= 6 ? 1 : 0) << c;
    EXPECT_NE(child(ug, "devel", VTA_OBJ_QUOTA_USER), nullptr);
    EXPECT_NE(child(ug, "devel", VTA_OBJ_QUOTA_GROUP), nullptr);
    EXPECT_EQ(child(ug, "ghost", VTA_OBJ_QUOTA_USER), nullptr) << "nothing to show";

    // A refresh finds every node again and announces it as updated.
    const std::vector<VTAObj *> before = children(ug);
    recorder_.clear();
    ASSERT_EQ(op(VTA_OP_REFRESH, ug), 0) << msg_;
    EXPECT_EQ(children(ug), before);
    EXPECT_EQ(std::count(recorder_.notes.begin(), recorder_.notes.end(), "updated devel"), 2);

    VTAObj *alice = child(ug, "alice", VTA_OBJ_QUOTA_USER);
    for (uint32_t asked : {VTA_OP_CREATE, VTA_OP_DELETE, VTA_OP_PROPERTIES, VTA_OP_REFRESH_ALL})
        EXPECT_EQ(allowed(alice, asked), 2u) << asked;
    EXPECT_EQ(allowed(alice, VTA_OP_SAVE), 0u);
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
