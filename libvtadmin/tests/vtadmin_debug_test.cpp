// The FSM debug-flag table, and the "Debug" folder of an active file system against the cluster
// simulator (in-process): reading the word into flag nodes, saving a new one, menus and rows.

#include "support_cluster.h"
#include "support_tree.h"
#include "support_vtadmin.h"

#include "libvtadmin/vtadmin_debug.h"
#include "libvtadmin/vtadmin_fsm.h"
#include "libvtadmin/vtadminlib.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// ---- The table ----

TEST(DebugFlagTable, EveryBitHasExactlyOneRowAndTheTableEndsWithANullEntry) {
    for (uint32_t n = 0; n < 32; ++n) {
        const uint32_t bit = 1u << n;
        int rows = 0;
        for (int r = 0; r < VTA_DEBUG_FLAG_ROWS; ++r)
            rows += VTAdmin_DebugFlags[r].value == bit;
        EXPECT_EQ(rows, 1) << "bit " << n;
        EXPECT_EQ(VTAdmin_DebugFlagLookup(bit)->value, bit) << "bit " << n;
    }
    const VTA_DEBUG_FLAG &end = VTAdmin_DebugFlags[VTA_DEBUG_FLAG_ROWS];
    EXPECT_EQ(end.keyword, nullptr);
    EXPECT_EQ(end.description, nullptr);
    EXPECT_STREQ(VTAdmin_DebugFlags[32].keyword, "all");
    EXPECT_STREQ(VTAdmin_DebugFlags[33].keyword, "none");
}

TEST(DebugFlagTable, LookupByValue) {
    const struct {
        uint32_t value;
        const char *name;
        const char *keyword; // of the row the lookup stops at
    } cases[] = {
        {0x1, "General Information", "general"},
        {0x800000, "Journal Tail Activity", "tail"},
        {0x1000000, "Dump Statistics (Once Only)", "dumpstat"}, // bit 24, after two later bits
        {0x20000000, "Metadump", "metadump"},
        {0x40000000, "Xattr manipulation", "xattr"}, // bit 30, ahead of bit 24
        {0x80000000, "Development debug", "debug"},
        {0xFFFFFFFF, "All debug flags", "all"},
        {0x3, "<Unknown>", "none"}, // no row: the walk stops at the first 0 row
        {0x0, "No debug flags", "none"},
    };
    for (const auto &c : cases) {
        EXPECT_STREQ(VTAdmin_DebugFlagName(c.value), c.name) << std::hex << c.value;
        EXPECT_STREQ(VTAdmin_DebugFlagLookup(c.value)->keyword, c.keyword) << std::hex << c.value;
    }
}

// ---- The "Debug" folder ----

// snfs1 runs on alpha with the standby on beta; bit 31 cannot be changed.
const char *const kScenario = R"({"hosts": [
    {"address": "127.0.0.1", "name": "alpha"}, {"address": "127.0.0.2", "name": "beta"}],
  "filesystems": [
    {"name": "snfs1", "total_blocks": 1000, "free_blocks": 10,
     "debug_flags": 2147483649, "debug_settable": 2147483647,
     "managers": [{"host": "127.0.0.1", "state": "active"},
                  {"host": "127.0.0.2", "state": "standby", "debug_flags": 16}]}]})";

const std::vector<std::string> kAllNames = [] {
    std::vector<std::string> names;
    for (uint32_t n = 0; n < 32; ++n)
        names.push_back(VTAdmin_DebugFlagName(1u << n));
    return names;
}();

class DebugFolder : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TIMEDWAIT_VALUE", "5", 1);
        cluster_ = start_test_cluster(kScenario);
        ASSERT_NE(cluster_, nullptr);
        VTAdmin_Init();
        tree_ = VTATree_Create();
        recorder_.attach(tree_);
        std::string host = "alpha";
        ASSERT_EQ(op(VTA_OP_CREATE, tree_->VTA_Root, host.data(), host.size() + 1), 0) << msg_;
        VTAObj *fs = open(open(open(tree_->VTA_Root, "alpha"), "File Systems"), "snfs1");
        ASSERT_NE(fs, nullptr);
        debug_ = open(fs, "Debug");
        ASSERT_NE(debug_, nullptr);
    }
    void TearDown() override {
        VTATree_Destroy(&tree_);
        VTAdmin_Teardown();
        if (cluster_ != nullptr)
            cluster_stop(cluster_);
    }

    int32_t op(uint32_t code, VTAObj *node, void *data = nullptr, size_t size = 0) {
        msg_[0] = '\0';
        return VTATree_Op(tree_, code, node, data, size, msg_, sizeof msg_);
    }
    // The child `name` of `parent`, refreshed; null (with a failure) when missing.
    VTAObj *open(VTAObj *parent, const char *name) {
        VTAObj *child = nullptr;
        if (parent == nullptr || VTAObj_FindChild(parent, nullptr, name, &child) != 0) {
            ADD_FAILURE() << "no " << name;
            return nullptr;
        }
        EXPECT_EQ(op(VTA_OP_REFRESH, child), 0) << name << ": " << msg_;
        return child;
    }
    // The active manager's word, in the simulator.
    uint32_t fsm_word() {
        return cluster_snapshot(cluster_).filesystems[0].managers[0].debug_flags;
    }
    void set_fsm_word(uint32_t word) {
        cluster_edit(
            cluster_,
            [](sim_scenario &s, void *w) {
                s.filesystems[0].managers[0].debug_flags = *static_cast<uint32_t *>(w);
            },
            &word);
    }
    // Names of the flag nodes that are set, in sibling order.
    std::vector<std::string> set_names() {
        std::vector<std::string> names;
        for (VTAObj *c = debug_->VTA_Child; c != nullptr; c = c->VTA_SibRight)
            if (VTAObj_DebugFlagIsSet(c))
                names.push_back(c->VTA_Name);
        return names;
    }
    // Every flag node's state agrees with `word`, by the bit its name stands for.
    void expect_rows_match(uint32_t word) {
        EXPECT_EQ(VTAObj_DebugWord(debug_), word);
        int flags = 0;
        for (VTAObj *c = debug_->VTA_Child; c != nullptr; c = c->VTA_SibRight, ++flags) {
            EXPECT_EQ(c->VTA_Type, VTA_OBJ_DEBUG_FLAG) << c->VTA_Name;
            bool found = false;
            for (uint32_t n = 0; n < 32; ++n)
                if (kAllNames[n] == c->VTA_Name) {
                    found = true;
                    EXPECT_EQ(VTAObj_DebugFlagIsSet(c), ((word >> n) & 1) != 0) << c->VTA_Name;
                }
            EXPECT_TRUE(found) << c->VTA_Name;
        }
        EXPECT_EQ(flags, 32);
    }
    uint32_t allow(VTAObj *node, uint32_t asked) {
        VTA_ALLOW_MENU menu{asked, VTA_MENU_NOT_ALLOWED};
        EXPECT_EQ(op(VTA_OP_ALLOW_MENU, node, &menu, sizeof menu), 0) << msg_;
        return menu.VTA_Answer;
    }

    sim_cluster *cluster_ = nullptr;
    VTATree *tree_ = nullptr;
    VTAObj *debug_ = nullptr;
    TreeRecorder recorder_;
    char msg_[256] = "";
};

TEST_F(DebugFolder, ReadShowsEveryBitByDescriptionAndUpdatesTheSameNodesInPlace) {
    EXPECT_EQ(set_names(), (std::vector<std::string>{"Development debug", "General Information"}));
    expect_rows_match(0x80000001);
    std::vector<VTAObj *> first;
    for (VTAObj *c = debug_->VTA_Child; c != nullptr; c = c->VTA_SibRight)
        first.push_back(c);

    const struct {
        uint32_t word;
        std::vector<std::string> set;
    } cases[] = {
        {0x41000000, {"Dump Statistics (Once Only)", "Xattr manipulation"}},
        {0x00000000, {}},
        {0xFFFFFFFF, {}}, // every name: checked through expect_rows_match
        {0x00001000, {"Quotas"}},
    };
    for (const auto &c : cases) {
        set_fsm_word(c.word);
        recorder_.clear();
        ASSERT_EQ(op(VTA_OP_REFRESH, debug_), 0) << msg_;
        expect_rows_match(c.word);
        if (c.word != 0xFFFFFFFF) {
            EXPECT_EQ(set_names(), c.set) << std::hex << c.word;
        }
        std::vector<VTAObj *> now;
        for (VTAObj *n = debug_->VTA_Child; n != nullptr; n = n->VTA_SibRight)
            now.push_back(n);
        EXPECT_EQ(now, first) << "updated in place, never pruned: " << std::hex << c.word;
        int updated = 0;
        for (const std::string &note : recorder_.notes) {
            EXPECT_EQ(note.find("inserted"), std::string::npos) << note;
            EXPECT_EQ(note.find("removed"), std::string::npos) << note;
            updated += note.rfind("updated ", 0) == 0;
        }
        EXPECT_EQ(updated, 32) << std::hex << c.word;
    }
}

TEST_F(DebugFolder, RowsAreACheckBoxAndTheFlagName) {
    std::vector<std::string> lines;
    int32_t rc = 0;
    for (int32_t n = 0; n < 40 && rc == 0; ++n) {
        VTA_LV_ROW row{};
        row.VTA_RowNbr = n;
        rc = op(VTA_OP_LV_ROW_GETBYNBR, debug_, &row, sizeof row);
        if (rc == 0)
            lines.push_back(std::string(row.VTA_Cells[0].VTA_Text) + "|" +
                            row.VTA_Cells[1].VTA_Text + "|" + std::to_string(row.VTA_ColCount));
    }
    EXPECT_EQ(rc, VTA_ERR_NOT_FOUND);
    EXPECT_STREQ(msg_, "No Debug Flag found.");
    ASSERT_EQ(lines.size(), 33u);
    EXPECT_EQ(lines[0], "Set|Debug Name|2");
    EXPECT_EQ(lines[1], "|Administrative Tap Management|2") << "sorted by name";
    EXPECT_EQ(lines[32], "|Xattr manipulation|2");

    VTA_LV_ROW row{};
    row.VTA_Node = debug_->VTA_Child->VTA_SibRight;
    ASSERT_EQ(op(VTA_OP_LV_ROW_GET, debug_, &row, sizeof row), 0) << msg_;
    EXPECT_STREQ(row.VTA_Cells[1].VTA_Text, "Allocations");
    row.VTA_Node = nullptr;
    EXPECT_EQ(op(VTA_OP_LV_ROW_GET, debug_, &row, sizeof row), VTA_ERR_NOT_FOUND);
    EXPECT_STREQ(msg_, "No Debug Flag found.");
}

TEST_F(DebugFolder, SaveSetsTheWordAndTheRowsShowWhatTheFsmReadsBack) {
    uint32_t word = 0x80001000;
    recorder_.clear();
    ASSERT_EQ(op(VTA_OP_SAVE, debug_, &word, sizeof word), 0) << msg_;
    EXPECT_EQ(fsm_word(), 0x80001000u);
    expect_rows_match(fsm_word());
    EXPECT_EQ(set_names(), (std::vector<std::string>{"Development debug", "Quotas"}));
    EXPECT_EQ(recorder_.messages(), (std::vector<std::string>{"Running: Save of 'Debug' busy",
                                                              "Running: Refresh of 'Debug' busy",
                                                              "Done: Refresh of 'Debug' idle",
                                                              "Done: Save of 'Debug' idle"}));
}

TEST_F(DebugFolder, SaveOfAnotherSizeIsRefusedAndSendsNothing) {
    for (size_t size : {size_t{0}, size_t{2}, size_t{8}}) {
        uint64_t word = 0x1000;
        EXPECT_EQ(op(VTA_OP_SAVE, debug_, &word, size), VTA_ERR_INVALID) << size;
        EXPECT_STREQ(msg_, "Internal Error: Bad data size on Save FSM Dbg flags") << size;
        EXPECT_EQ(fsm_word(), 0x80000001u) << size;
    }
    expect_rows_match(0x80000001);
}

TEST_F(DebugFolder, RefusedSaveChangesNothingInTheTree) {
    uint32_t word = 0; // bit 31 cannot be cleared: the FSM answers 0x80000000
    EXPECT_EQ(op(VTA_OP_SAVE, debug_, &word, sizeof word), 1);
    EXPECT_STREQ(msg_, "Cannot set debug information for 'snfs1'");
    expect_rows_match(0x80000001);
}

TEST_F(DebugFolder, FailedReadEmptiesTheFolderUntilTheNextRead) {
    char text[256] = "";
    ASSERT_EQ(cluster_set_fault(cluster_, "fsm:snfs1", "error:1:5/6", text, sizeof text), 0)
        << text;
    EXPECT_EQ(op(VTA_OP_REFRESH, debug_), 1);
    EXPECT_STREQ(msg_, "Cannot get debug information for file system of 'Debug'");
    EXPECT_EQ(debug_->VTA_Child, nullptr);

    ASSERT_EQ(cluster_set_fault(cluster_, "fsm:snfs1", "none", text, sizeof text), 0) << text;
    ASSERT_EQ(op(VTA_OP_REFRESH, debug_), 0) << msg_;
    expect_rows_match(0x80000001);
}

TEST_F(DebugFolder, RefreshAndPropertiesAreAllowedOnTheFolderAndItsFlags) {
    const struct {
        uint32_t asked;
        uint32_t answer;
    } cases[] = {
        {VTA_OP_REFRESH_ALL, VTA_MENU_ALLOWED}, {VTA_OP_PROPERTIES, VTA_MENU_ALLOWED},
        {VTA_OP_SAVE, VTA_MENU_NOT_ALLOWED},    {VTA_OP_CREATE, VTA_MENU_NOT_ALLOWED},
        {VTA_OP_DELETE, VTA_MENU_NOT_ALLOWED},  {VTA_OP_START, VTA_MENU_NOT_ALLOWED},
    };
    VTAObj *flag = debug_->VTA_Child;
    ASSERT_NE(flag, nullptr);
    for (const auto &c : cases) {
        EXPECT_EQ(allow(debug_, c.asked), c.answer) << "folder, operation " << c.asked;
        EXPECT_EQ(allow(flag, c.asked), c.answer) << "flag, operation " << c.asked;
    }
}

} // namespace
