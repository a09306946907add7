// The FSM debug-flag table, and the "Debug" folder of an active file system against the cluster
// simulator (in-process): reading the word into flag nodes, saving a new one, menus and rows.

#include "support_nodes.h"

#include "libvtadmin/vtadmin_debug.h"
#include "libvtadmin/vtadmin_fsm.h"
#include "libvtadmin/vtadminlib.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

// ---- The table ----

TEST(DebugFlagTable, EveryBitHasOneRowAndLookupByValueStopsAtTheFirstMatch) {
    for (uint32_t n = 0; n < 32; ++n) {
        int rows = 0;
        for (int r = 0; r < VTA_DEBUG_FLAG_ROWS; ++r)
            rows += VTAdmin_DebugFlags[r].value == 1u << n;
        EXPECT_EQ(rows, 1) << "bit " << n;
    }
    EXPECT_EQ(VTAdmin_DebugFlags[VTA_DEBUG_FLAG_ROWS].keyword, nullptr) << "ends with a null entry";
    EXPECT_EQ(VTAdmin_DebugFlags[VTA_DEBUG_FLAG_ROWS].description, nullptr);
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
        {0xFFFFFFFF, "All debug flags", "all"}, // row 32
        {0x3, "<Unknown>", "none"},             // no row: the walk stops at the first 0 row
        {0x0, "No debug flags", "none"},        // row 33
    };
    for (const auto &c : cases) {
        EXPECT_STREQ(VTAdmin_DebugFlagName(c.value), c.name) << std::hex << c.value;
        EXPECT_STREQ(VTAdmin_DebugFlagLookup(c.value)->keyword, c.keyword) << std::hex << c.value;
    }
    EXPECT_STREQ(VTAdmin_DebugFlags[32].keyword, "all");
    EXPECT_STREQ(VTAdmin_DebugFlags[33].keyword, "none");
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

class DebugFolder : public ClusterTreeTest {
protected:
    std::string scenario_json() const override { return kScenario; }
    void SetUp() override {
        ClusterTreeTest::SetUp();
        debug_ = open(open(open(computer("alpha"), "File Systems"), "snfs1"), "Debug");
        ASSERT_NE(debug_, nullptr);
    }

    // The active manager's word, in the simulator.
    uint32_t fsm_word() {
        return cluster_snapshot(cluster_).filesystems[0].managers[0].debug_flags;
    }
    // Names of the flag nodes that are set, in sibling order.
    std::vector<std::string> set_names() {
        std::vector<std::string> names;
        for (VTAObj *c : children(debug_))
            if (VTAObj_DebugFlagIsSet(c))
                names.push_back(c->VTA_Name);
        return names;
    }
    // Every one of the 32 flag nodes agrees with `word`, by the bit its name stands for.
    void expect_rows_match(uint32_t word) {
        EXPECT_EQ(VTAObj_DebugWord(debug_), word);
        std::vector<std::string> expected, shown;
        for (uint32_t n = 0; n < 32; ++n)
            expected.push_back(VTAdmin_DebugFlagName(1u << n) +
                               std::string((word >> n) & 1 ? "+" : ""));
        for (VTAObj *c : children(debug_)) {
            EXPECT_EQ(c->VTA_Type, VTA_OBJ_DEBUG_FLAG) << c->VTA_Name;
            shown.push_back(c->VTA_Name + std::string(VTAObj_DebugFlagIsSet(c) ? "+" : ""));
        }
        std::sort(expected.begin(), expected.end());
        std::sort(shown.begin(), shown.end());
        EXPECT_EQ(shown, expected) << std::hex << word;
    }

    VTAObj *debug_ = nullptr;
};

TEST_F(DebugFolder, ReadShowsEveryBitByDescriptionAndUpdatesTheSameNodesInPlace) {
    EXPECT_EQ(set_names(), (std::vector<std::string>{"Development debug", "General Information"}));
    expect_rows_match(0x80000001);
    const std::vector<VTAObj *> first = children(debug_);
    cluster_edit(
        cluster_,
        [](sim_scenario &s, void *) { s.filesystems[0].managers[0].debug_flags = 0x41000000; },
        nullptr);
    recorder_.clear();
    ASSERT_EQ(op(VTA_OP_REFRESH, debug_), 0) << msg_;
    EXPECT_EQ(set_names(),
              (std::vector<std::string>{"Dump Statistics (Once Only)", "Xattr manipulation"}));
    EXPECT_EQ(children(debug_), first) << "updated in place, never pruned";
    EXPECT_EQ(std::count_if(recorder_.notes.begin(), recorder_.notes.end(),
                            [](const std::string &n) { return n.rfind("updated ", 0) == 0; }),
              32);
}

TEST_F(DebugFolder, RowsAreACheckBoxAndTheFlagName) {
    const std::vector<std::string> lines = rows(debug_);
    EXPECT_STREQ(msg_, "No Debug Flag found.") << "after the last row";
    ASSERT_EQ(lines.size(), 33u);
    EXPECT_EQ(lines[0], "Set|Debug Name");
    EXPECT_EQ(lines[1], "|Administrative Tap Management") << "sorted by name";
    EXPECT_EQ(lines[32], "|Xattr manipulation");

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

// A save of another size sends nothing; a refused one (bit 31 cannot be cleared: the FSM
// answers 0x80000000) changes nothing in the tree.
TEST_F(DebugFolder, FailedSavesChangeNothing) {
    const struct {
        size_t size;
        int32_t rc;
        const char *message;
    } rows[] = {
        {0, VTA_ERR_INVALID, "Internal Error: Bad data size on Save FSM Dbg flags"},
        {2, VTA_ERR_INVALID, "Internal Error: Bad data size on Save FSM Dbg flags"},
        {8, VTA_ERR_INVALID, "Internal Error: Bad data size on Save FSM Dbg flags"},
        {4, 1, "Cannot set debug information for 'snfs1'"},
    };
    for (const auto &row : rows) {
        uint64_t word = 0;
        EXPECT_EQ(op(VTA_OP_SAVE, debug_, &word, row.size), row.rc) << row.size;
        EXPECT_STREQ(msg_, row.message) << row.size;
        if (row.rc == VTA_ERR_INVALID) {
            EXPECT_EQ(fsm_word(), 0x80000001u) << "sent nothing, size " << row.size;
        }
        expect_rows_match(0x80000001);
    }
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
    ASSERT_NE(debug_->VTA_Child, nullptr);
    for (const auto &c : cases) {
        EXPECT_EQ(allowed(debug_, c.asked), c.answer) << "folder, operation " << c.asked;
        EXPECT_EQ(allowed(debug_->VTA_Child, c.asked), c.answer) << "flag, operation " << c.asked;
    }
}

} // namespace
