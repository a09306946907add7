// The list export: reading a node's list from the tree, and its CSV and JSON texts.

#include "libvtadmin/vtadmin_debug.h"
#include "libvtadmin/vtadmin_export.h"
#include "support_tree.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>

namespace {

TEST(ListCsv, QuotesWhatNeedsQuotingAndEndsLinesWithCrLf) {
    const struct {
        const char *name;
        VTAList list;
        std::string csv;
    } rows[] = {
        {"plain", {{"Name", "Size"}, {}, {{{"a", "1G"}, {}}}}, "Name,Size\r\na,1G\r\n"},
        {"comma", {{"Name"}, {}, {{{"Smith, J"}, {}}}}, "Name\r\n\"Smith, J\"\r\n"},
        {"quotes doubled",
         {{"Name", "Note"}, {}, {{{"say \"hi\"", "x"}, {}}}},
         "Name,Note\r\n\"say \"\"hi\"\"\",x\r\n"},
        {"line ends",
         {{"A", "B"}, {}, {{{"one\ntwo", "cr\rlf"}, {}}}},
         "A,B\r\n\"one\ntwo\",\"cr\rlf\"\r\n"},
        {"quoted header", {{"Used, %", "B"}, {}, {}}, "\"Used, %\",B\r\n"},
        {"blanks kept unquoted",
         {{"Grace"}, {}, {{{"   0d- 1h-30m"}, {}}}},
         "Grace\r\n   0d- 1h-30m\r\n"},
        {"short row padded", {{"A", "B", "C"}, {}, {{{"1"}, {}}}}, "A,B,C\r\n1,,\r\n"},
        {"long row cut", {{"A"}, {}, {{{"1", "2"}, {}}}}, "A\r\n1\r\n"},
        {"one empty field is not a blank line",
         {{"Message"}, {}, {{{""}, {}}}},
         "Message\r\n\"\"\r\n"},
        {"check boxes",
         {{"Set", "Debug Name"}, {}, {{{"", "Sockets"}, true}, {{"", "I/O"}, false}}},
         "Set,Debug Name\r\ntrue,Sockets\r\nfalse,I/O\r\n"},
        {"no columns", {{}, {}, {}}, ""},
    };
    for (const auto &row : rows)
        EXPECT_EQ(VTAList_Csv(row.list), row.csv) << row.name;
}

TEST(ListJson, ObjectsKeyedByTheHeaderTexts) {
    const struct {
        const char *name;
        VTAList list;
        std::string json;
    } rows[] = {
        {"empty", {{"Name"}, {}, {}}, "[]\n"},
        {"rows",
         {{"Name", "Size"}, {}, {{{"a", "1G"}, {}}}},
         "[\n  {\n    \"Name\": \"a\",\n    \"Size\": \"1G\"\n  }\n]\n"},
        {"cells past the header left out",
         {{"A"}, {}, {{{"1", "2"}, {}}}},
         "[\n  {\n    \"A\": \"1\"\n  }\n]\n"},
        {"check box",
         {{"Set", "Debug Name"}, {}, {{{"", "Sockets"}, true}}},
         "[\n  {\n    \"Set\": true,\n    \"Debug Name\": \"Sockets\"\n  }\n]\n"},
        {"quotes and line ends escaped",
         {{"A"}, {}, {{{"\"x\"\r\n"}, {}}}},
         "[\n  {\n    \"A\": \"\\\"x\\\"\\r\\n\"\n  }\n]\n"},
    };
    for (const auto &row : rows)
        EXPECT_EQ(VTAList_Json(row.list), row.json) << row.name;
}

TEST(ListJson, BytesThatAreNotUtf8DoNotStopTheExport) {
    const VTAList list{{"Name"}, {}, {{{"caf\xe9"}, {}}}};
    const nlohmann::json parsed = nlohmann::json::parse(VTAList_Json(list));
    EXPECT_EQ(parsed[0]["Name"], "caf\xef\xbf\xbd");
}

// A node kind with a scripted list: two right-aligned columns of three; row `fail_row`
// fails with code 5.
int g_fail_row = -1;

int32_t scripted_list(VTATree *, uint32_t op, VTAObj *, void *data, size_t, char *msg,
                      size_t msg_size) {
    if (op != VTA_OP_LV_ROW_GETBYNBR)
        return VTA_ERR_NOT_HANDLED;
    auto *row = static_cast<VTA_LV_ROW *>(data);
    if (row->VTA_RowNbr == g_fail_row) {
        snprintf(msg, msg_size, "row %d broke", row->VTA_RowNbr);
        return 5;
    }
    if (row->VTA_RowNbr > 2) {
        snprintf(msg, msg_size, "no more rows");
        return VTA_ERR_NOT_FOUND;
    }
    row->VTA_ColCount = 3;
    for (int c = 0; c < 3; ++c) {
        snprintf(row->VTA_Cells[c].VTA_Text, VTA_LV_TEXT_SIZE, "r%dc%d", row->VTA_RowNbr, c);
        row->VTA_Cells[c].VTA_RightAlign = c > 0;
    }
    return VTA_OK;
}

class ReadList : public ::testing::Test {
protected:
    void SetUp() override { tree_ = VTATree_Create(); }
    void TearDown() override { VTATree_Destroy(&tree_); }
    VTATree *tree_ = nullptr;
    VTAList list;
    char msg[256] = "";
};

TEST_F(ReadList, HeaderAlignmentAndRowsUntilTheTreeHasNoMoreOrARowFails) {
    VTAObj *node = add_node(tree_, nullptr, "list", VTA_OBJ_DUMMY, true, false, scripted_list);
    g_fail_row = -1;
    ASSERT_EQ(VTATree_ReadList(tree_, node, &list, msg, sizeof msg), VTA_OK) << msg;
    EXPECT_EQ(list.header, (std::vector<std::string>{"r0c0", "r0c1", "r0c2"}));
    EXPECT_EQ(list.right, (std::vector<bool>{false, true, true}));
    ASSERT_EQ(list.rows.size(), 2u);
    EXPECT_EQ(list.rows[1].cells, (std::vector<std::string>{"r2c0", "r2c1", "r2c2"}));
    EXPECT_FALSE(list.rows[1].checked.has_value());
    for (int fail_row : {0, 2}) {
        g_fail_row = fail_row;
        EXPECT_EQ(VTATree_ReadList(tree_, node, &list, msg, sizeof msg), 5) << fail_row;
        EXPECT_EQ(std::string(msg), "row " + std::to_string(fail_row) + " broke");
    }
}

TEST_F(ReadList, DebugFlagRowsCarryTheirCheckBox) {
    VTAObj *folder =
        add_node(tree_, nullptr, "Debug", VTA_OBJ_DEBUG, true, false, VTAObj_DebugOpFunc);
    const struct {
        const char *name;
        uint8_t set;
    } flags[] = {{"Sockets", 1}, {"Tokens", 0}};
    for (const auto &flag : flags) {
        VTAObj *node = add_node(tree_, folder, flag.name, VTA_OBJ_DEBUG_FLAG, false, false,
                                VTAObj_CheckboxOpFunc);
        VTAObj_SetData(node, &flag.set, sizeof flag.set);
    }
    ASSERT_EQ(VTATree_ReadList(tree_, folder, &list, msg, sizeof msg), VTA_OK) << msg;
    EXPECT_EQ(list.header, (std::vector<std::string>{"Set", "Debug Name"}));
    ASSERT_EQ(list.rows.size(), 2u);
    EXPECT_EQ(list.rows[0].cells[1], "Sockets");
    EXPECT_EQ(list.rows[0].checked, std::optional<bool>(true));
    EXPECT_EQ(list.rows[1].checked, std::optional<bool>(false));
}

} // namespace
