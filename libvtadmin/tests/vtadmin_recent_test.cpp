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

#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
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

// A read-only configuration directory still gives the list (and a missing file an empty one);
// only saving needs write access. Run as a user that cannot write there.
TEST_F(Recent, ReadOnlyConfigurationDirectoryStillLoads) {
    write_config_file(kFile, "RecentConn0=alpha\nRecentConn1=beta\n");
    const std::string dir = test_config_dir();
    auto as_reader = [&](size_t computers) {
        return run_bounded_child(
            [&] {
                if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
                    return 10;
                VTAObj_RecentResetForTests();
                VTATree *tree = VTATree_Create();
                char text[256] = "";
                if (VTATree_Op(tree, VTA_OP_REFRESH, tree->VTA_Root, nullptr, 0, text,
                               sizeof text) != 0)
                    return 11;
                if (child_names(tree, tree->VTA_Root).size() != computers)
                    return 12;
                // Saving needs write access and fails with the store's message.
                return VTATree_Op(tree, VTA_OP_SAVE, tree->VTA_Root, nullptr, 0, text,
                                  sizeof text) == 0
                           ? 13
                           : 0;
            },
            5000);
    };
    chmod(test_root().c_str(), 0755);
    chmod(dir.c_str(), 0555);
    chmod((dir + "/" + kFile).c_str(), 0444);
    EXPECT_EQ(as_reader(2), 0);
    chmod(dir.c_str(), 0755);
    write_config_file(kFile, "");
    chmod(dir.c_str(), 0555);
    EXPECT_EQ(as_reader(0), 0);
    chmod(dir.c_str(), 0755);
    chmod(test_root().c_str(), 0700);
}

// A FIFO in the file's place fails the load at once with the store's message (a read would
// wait for ever), and it is left where it is.
TEST_F(Recent, FifoAsRecentConnectionsFileFailsAtOnce) {
    const std::string path = test_config_dir() + "/" + kFile;
    write_config_file(kFile, "");
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    const int outcome = run_bounded_child(
        [&] {
            VTATree *tree = VTATree_Create();
            char msg[256] = "";
            const int32_t rc =
                VTATree_Op(tree, VTA_OP_REFRESH, tree->VTA_Root, nullptr, 0, msg, sizeof msg);
            return rc == CFG_NOT_REGULAR &&
                           std::string(msg) == "VTFS Cfg: '" + path + "' is not a regular file"
                       ? 0
                       : 1;
        },
        5000);
    EXPECT_EQ(outcome, 0);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    unlink(path.c_str());
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

// Programs that each add a host under the lock (load, add, save) lose none of them.
TEST_F(Recent, LockedReadModifyWritesOfSeveralProgramsKeepEveryHost) {
    write_config_file(kFile, "RecentConn0=alpha\n");
    constexpr int kWriters = 6;
    std::vector<pid_t> writers;
    for (int w = 0; w < kWriters; ++w) {
        const pid_t child = fork();
        if (child == 0) {
            char msg[256] = "";
            if (VTAObj_RecentLock(msg, sizeof msg) != 0)
                _exit(1);
            VTAObj_RecentResetForTests();
            VTATree *tree = VTATree_Create();
            VTATree_Op(tree, VTA_OP_REFRESH, tree->VTA_Root, nullptr, 0, msg, sizeof msg);
            std::string host = "host" + std::to_string(w);
            VTATree_Op(tree, VTA_OP_CREATE, tree->VTA_Root, host.data(), host.size() + 1, msg,
                       sizeof msg);
            std::this_thread::sleep_for(std::chrono::milliseconds(20)); // a slow command
            const int32_t rc =
                VTATree_Op(tree, VTA_OP_SAVE, tree->VTA_Root, nullptr, 0, msg, sizeof msg);
            VTAObj_RecentUnlock();
            _exit(rc == 0 ? 0 : 2);
        }
        writers.push_back(child);
    }
    for (pid_t child : writers) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    std::vector<std::string> expected = {"RecentConn0=alpha"};
    for (int w = 0; w < kWriters; ++w)
        expected.push_back("RecentConn" + std::to_string(w + 1) + "=host" + std::to_string(w));
    EXPECT_EQ(file_lines(), expected);
}

// A writer killed at any point of its save leaves the file complete: the old list or the new
// one, never a part. Its leftover temporary file goes with the next save.
TEST_F(Recent, WriterKilledAtRandomPointsNeverLeavesAPartialFile) {
    auto list_of = [](char letter) {
        std::string text;
        for (int i = 0; i < 300; ++i)
            text += "RecentConn" + std::to_string(i) + "=" + letter + "host" +
                    std::to_string(1000 + i) + "\r\n";
        return text;
    };
    const std::string first = list_of('a'), second = list_of('b');
    write_config_file(kFile, first);
    std::mt19937 random(1812);
    for (int round = 0; round < 100; ++round) {
        const pid_t child = fork();
        if (child == 0) {
            // Saves the two lists in turn until killed.
            VTATree *trees[2] = {VTATree_Create(), VTATree_Create()};
            for (int t = 0; t < 2; ++t)
                for (int i = 0; i < 300; ++i) {
                    std::string host =
                        std::string(1, t == 0 ? 'a' : 'b') + "host" + std::to_string(1000 + i);
                    VTAObj_Insert(trees[t], trees[t]->VTA_Root, VTAObj_NewComputer(host.c_str()));
                }
            for (int n = 0; n < 1000000; ++n) { // killed long before the end
                char text[256];
                VTAObj_SaveRecent(trees[(n + 1) % 2]->VTA_Root, text, sizeof text);
            }
            _exit(1);
        }
        ASSERT_GT(child, 0);
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 30000));
        kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        const std::string now = file_bytes();
        ASSERT_TRUE(now == first || now == second)
            << "round " << round << ": " << now.size() << " bytes";
    }
    // The next locked save removes what the killed writers left.
    open_tree();
    ASSERT_EQ(save(), 0);
    int beside = 0;
    for (const auto &entry : std::filesystem::directory_iterator(test_config_dir()))
        beside += entry.path().filename().string().rfind(std::string(kFile) + "~", 0) == 0;
    EXPECT_EQ(beside, 0);
}

} // namespace
