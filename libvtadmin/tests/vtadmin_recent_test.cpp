// The "Connections" root and the recent-connections file: loading with the gap and
// duplicate-key rules, sorted saving, stale keys, file creation, the once-per-process load.

#include "support_tree.h"
#include "support_vtadmin.h"

#include "libvtadmin/vorud.h"
#include "libvtadmin/vtadmin_recent.h"

#include "libutil/cfg_store.h"
#include "libutil/install_paths.h"
#include "libutil/tests/bounded_child.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Names = std::vector<std::string>;

const char *const kFile = "cfg.kxntadmin";

class Recent : public ::testing::Test {
protected:
    void SetUp() override {
        test_root();
        write_config_file(kFile, "");
        VTAObj_RecentResetForTests();
    }
    void TearDown() override {
        VTATree_Destroy(&tree_);
        write_config_file(kFile, "");
    }
    // VTATree_Op on the root; the message lands in msg.
    int32_t op(uint32_t code, void *data = nullptr, size_t size = 0) {
        msg[0] = '\0';
        return VTATree_Op(tree_, code, root(), data, size, msg, sizeof msg);
    }
    // A new tree whose root is announced and loaded as the tree view does at start.
    void open_tree() {
        VTATree_Destroy(&tree_);
        tree_ = VTATree_Create();
        recorder_.attach(tree_);
        EXPECT_EQ(op(VTA_OP_REDISPLAY), 0) << msg;
        EXPECT_EQ(op(VTA_OP_REFRESH), 0) << msg;
    }
    VTAObj *root() { return tree_->VTA_Root; }
    void connect(std::string host) {
        ASSERT_EQ(op(VTA_OP_CREATE, host.data(), host.size() + 1), 0) << msg;
    }
    int32_t save() { return op(VTA_OP_SAVE); }
    // The file's lines without their line ends (the store writes CR LF).
    static std::vector<std::string> file_lines() {
        std::vector<std::string> lines = read_lines(test_config_dir() + "/" + kFile);
        for (std::string &line : lines)
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
        return lines;
    }

    VTATree *tree_ = nullptr;
    TreeRecorder recorder_;
    char msg[256] = "";
};

// Loading stops at the first gap, takes a key once and sorts; saving writes the computers in
// sorted order and keeps the other records.
TEST_F(Recent, LoadAndSaveOrder) {
    const struct {
        const char *name;
        const char *file;
        Names children;
        Names saved;
    } rows[] = {
        {"a gap ends the list",
         "RecentConn0=alpha\nRecentConn2=gamma\n",
         {"alpha"},
         {"RecentConn0=alpha"}},
        {"duplicate keys load once, both go before writing",
         "RecentConn0=one\nRecentConn0=two\nRecentConn1=three\n",
         {"one", "three"},
         {"RecentConn0=one", "RecentConn1=three"}},
        {"sorted, namesakes in file order",
         "RecentConn0=beta\nRecentConn1=alpha\nRecentConn2=beta\nRecentConn3=Alpha\n"
         "RecentConn03=gamma\nRecentConn5=delta\n",
         {"Alpha", "alpha", "beta", "beta"},
         {"RecentConn0=Alpha", "RecentConn1=alpha", "RecentConn2=beta", "RecentConn3=beta"}},
        {"other records kept",
         "Window=3\nRecentConn0=beta\n",
         {"beta"},
         {"Window=3", "RecentConn0=beta"}},
    };
    for (const auto &row : rows) {
        write_config_file(kFile, row.file);
        VTAObj_RecentResetForTests();
        open_tree();
        EXPECT_EQ(child_names(tree_, root()), row.children) << row.name;
        ASSERT_EQ(save(), 0) << row.name;
        EXPECT_EQ(file_lines(), row.saved) << row.name;
    }
    // Loaded computers are lazy folders without a connection.
    VTAObj *beta = root()->VTA_Child;
    EXPECT_EQ(shape(beta), "beta|Computer|folder|lazy");
    ASSERT_NE(beta->VTA_Child, nullptr);
    EXPECT_EQ(beta->VTA_Child->VTA_Type, VTA_OBJ_DUMMY);
    VTA_CONN_INFO conn;
    VTAObj_GetData(beta, &conn, sizeof conn);
    EXPECT_EQ(conn.reserved, ~uint64_t{0});
    EXPECT_EQ(conn.type, 1);
    EXPECT_STREQ(conn.host, "beta");
    // Connections made are saved sorted, namesakes too (no check for an existing computer).
    connect("alpha");
    connect("beta");
    ASSERT_EQ(save(), 0);
    EXPECT_EQ(file_lines(),
              (Names{"Window=3", "RecentConn0=alpha", "RecentConn1=beta", "RecentConn2=beta"}));
}

TEST_F(Recent, MoreThanElevenComputersLeaveNoStaleKeys) {
    open_tree();
    EXPECT_TRUE(child_names(tree_, root()).empty()) << "the placeholder is gone, nothing loaded";
    EXPECT_TRUE(file_lines().empty()) << "the load creates the file";
    for (int i = 0; i < 14; ++i)
        connect(("host" + std::to_string(100 + i)).c_str());
    write_config_file(kFile, ""); // removed again: the save must create it
    ASSERT_EQ(save(), 0);
    EXPECT_EQ(file_lines().size(), 14u);
    EXPECT_EQ(file_lines().back(), "RecentConn13=host113");
    for (int i = 0; i < 12; ++i) {
        char msg[256];
        ASSERT_EQ(VTATree_Op(tree_, VTA_OP_CLOSE, root()->VTA_Child, nullptr, 0, msg, sizeof msg),
                  0);
    }
    ASSERT_EQ(save(), 0);
    EXPECT_EQ(file_lines(), (Names{"RecentConn0=host112", "RecentConn1=host113"}));
}

TEST_F(Recent, RefreshConfirmsChildrenAndLaterTreesStartEmpty) {
    write_config_file(kFile, "RecentConn0=alpha\nRecentConn1=beta\n");
    open_tree();
    recorder_.clear();
    ASSERT_EQ(op(VTA_OP_REFRESH), 0);
    EXPECT_EQ(child_names(tree_, root()), (Names{"alpha", "beta"}));
    for (const std::string &note : recorder_.notes)
        EXPECT_EQ(note.rfind("removed", 0), std::string::npos) << note;
    open_tree(); // a second document of the same process
    EXPECT_TRUE(child_names(tree_, root()).empty());
}

TEST_F(Recent, RootMenuAllowsNewSaveAndRefreshOnly) {
    open_tree();
    for (uint32_t code = 1; code <= 16; ++code) {
        VTA_ALLOW_MENU allow{code, 0};
        ASSERT_EQ(op(VTA_OP_ALLOW_MENU, &allow, sizeof allow), 0);
        const bool expected =
            code == VTA_OP_CREATE || code == VTA_OP_SAVE || code == VTA_OP_REFRESH_ALL;
        EXPECT_EQ(allow.VTA_Answer, expected ? VTA_MENU_ALLOWED : VTA_MENU_NOT_ALLOWED) << code;
    }
}

TEST_F(Recent, UnreadableFileLeavesTheRootEmptyAndTheNextRefreshRetries) {
    write_config_file(kFile, "RecentConn0=alpha\n");
    const std::string dir = test_config_dir();
    // A directory in the file's place cannot be read as a file.
    write_config_file(kFile, "");
    ASSERT_EQ(mkdir((dir + "/" + kFile).c_str(), 0700), 0);
    tree_ = VTATree_Create();
    EXPECT_NE(op(VTA_OP_REFRESH), 0);
    EXPECT_STRNE(msg, "");
    ASSERT_EQ(rmdir((dir + "/" + kFile).c_str()), 0);
    write_config_file(kFile, "RecentConn0=alpha\n");
    ASSERT_EQ(op(VTA_OP_REFRESH), 0) << msg;
    EXPECT_EQ(child_names(tree_, root()), (Names{"alpha"}));
}

std::string file_bytes(const std::string &path = test_config_dir() + "/" + kFile) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Host texts the file cannot hold are refused when the connection is made, with a message,
// and nothing in the file changes.
TEST_F(Recent, HostsTheFileCannotHoldAreRefusedAndNeverHalfSaved) {
    write_config_file(kFile, "RecentConn0=alpha\nRecentConn1=zulu\n");
    open_tree();
    const struct {
        const char *name;
        std::string data;
        const char *message;
    } cases[] = {
        {"line feed", std::string("m\nx", 4), "Invalid host name: it contains a line break"},
        {"carriage return", std::string("m\rx", 4), "Invalid host name: it contains a line break"},
        {"NUL byte", std::string("m\0x", 4), "Invalid host name: it contains a NUL character"},
        {"256 bytes", std::string(256, 'h') + '\0', "Host name too long: 256 bytes (at most 255)"},
    };
    for (const auto &c : cases) {
        std::string data = c.data;
        EXPECT_EQ(op(VTA_OP_CREATE, data.data(), data.size()), VTA_ERR_INVALID) << c.name;
        EXPECT_STREQ(msg, c.message) << c.name;
        EXPECT_EQ(child_names(tree_, root()), (Names{"alpha", "zulu"})) << c.name;
    }
    ASSERT_EQ(save(), 0);
    EXPECT_EQ(file_lines(), (Names{"RecentConn0=alpha", "RecentConn1=zulu"}));

    // A save that cannot write a computer writes nothing: the old list stays whole.
    const std::string before = file_bytes();
    VTAObj *bad = VTAObj_NewComputer("m\nx"); // past the checks of the create operation
    ASSERT_EQ(VTAObj_Insert(tree_, root(), bad), 0);
    EXPECT_EQ(op(VTA_OP_SAVE), CFG_TOO_LONG);
    EXPECT_STREQ(msg, "VTFS Cfg: Line break in text to insert into config file");
    EXPECT_EQ(file_bytes(), before);

    // 255 bytes, and trailing zero bytes of the buffer, are fine.
    std::string longest = std::string(255, 'h') + std::string(4, '\0');
    EXPECT_EQ(op(VTA_OP_CREATE, longest.data(), longest.size()), 0) << msg;
}

// A file that cannot be read is moved aside and reported once; the list starts empty and
// can be saved again, so no command is blocked by it.
TEST_F(Recent, DamagedFileIsReportedOnceAndKeptAside) {
    const std::string damaged = std::string("RecentConn0=alpha\n\0", 19);
    write_config_file(kFile, damaged);
    tree_ = VTATree_Create();
    EXPECT_EQ(op(VTA_OP_REDISPLAY), CFG_BAD_ARGUMENT);
    const std::string path = test_config_dir() + "/" + kFile;
    EXPECT_EQ(std::string(msg), "The recent connections file " + path +
                                    " could not be read (Invalid character in file.); it was "
                                    "kept as " +
                                    path + ".damaged and the list starts empty.");
    EXPECT_TRUE(VTAObj_RecentLoaded());
    msg[0] = '\0';
    EXPECT_EQ(op(VTA_OP_REFRESH), 0) << msg;
    EXPECT_TRUE(child_names(tree_, root()).empty());
    connect("beta");
    ASSERT_EQ(save(), 0);
    EXPECT_EQ(file_lines(), std::vector<std::string>{"RecentConn0=beta"});
    EXPECT_EQ(file_bytes(path + ".damaged"), damaged);

    // A second damaged file does not replace the first one kept.
    write_config_file(kFile, std::string("\0", 1));
    VTAObj_RecentResetForTests();
    VTATree_Destroy(&tree_);
    tree_ = VTATree_Create();
    EXPECT_NE(op(VTA_OP_REFRESH), 0);
    EXPECT_TRUE(std::filesystem::exists(path + ".damaged.1"));
    std::filesystem::remove(path + ".damaged");
    std::filesystem::remove(path + ".damaged.1");
}

// An install root whose file name would not fit is an error: no file with a cut name, in
// this directory or any other.
TEST_F(Recent, OverlongPathIsAnErrorNotACutName) {
    // The configuration directory fits in 250 characters, the file's path does not.
    const std::string deep = test_root() + "/" + std::string(250 - test_root().size() - 8, 'd');
    std::filesystem::create_directories(deep + "/config");
    setenv("KXFSROOT", deep.c_str(), 1);
    install_paths_reset_for_tests();
    tree_ = VTATree_Create();
    const int32_t rc = op(VTA_OP_REFRESH);
    const int32_t saved = op(VTA_OP_SAVE);
    setenv("KXFSROOT", test_root().c_str(), 1);
    install_paths_reset_for_tests();
    EXPECT_EQ(rc, VTA_ERR_INVALID);
    EXPECT_EQ(saved, VTA_ERR_INVALID);
    EXPECT_EQ(std::string(msg).rfind("Path too long: " + test_root() + "/ddd", 0), 0u) << msg;
    EXPECT_TRUE(std::filesystem::is_empty(deep + "/config"));
    std::filesystem::remove_all(deep);
}

} // namespace
