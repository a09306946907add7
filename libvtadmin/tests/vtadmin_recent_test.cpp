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
    // A new tree whose root is announced and loaded as the tree view does at start.
    int32_t open_tree() {
        VTATree_Destroy(&tree_);
        tree_ = VTATree_Create();
        recorder_.attach(tree_);
        char msg[256] = "";
        int32_t rc = VTATree_Op(tree_, VTA_OP_REDISPLAY, root(), nullptr, 0, msg, sizeof msg);
        EXPECT_EQ(rc, 0) << msg;
        rc = VTATree_Op(tree_, VTA_OP_REFRESH, root(), nullptr, 0, msg, sizeof msg);
        EXPECT_EQ(rc, 0) << msg;
        return rc;
    }
    VTAObj *root() { return tree_->VTA_Root; }
    void connect(const char *host) {
        char msg[256] = "";
        std::string text = host;
        ASSERT_EQ(
            VTATree_Op(tree_, VTA_OP_CREATE, root(), text.data(), text.size() + 1, msg, sizeof msg),
            0)
            << msg;
    }
    int32_t save() {
        char msg[256] = "";
        return VTATree_Op(tree_, VTA_OP_SAVE, root(), nullptr, 0, msg, sizeof msg);
    }
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
};

TEST_F(Recent, GapEndsTheListAndDuplicateKeysLoadOnce) {
    write_config_file(kFile, "RecentConn0=alpha\nRecentConn2=gamma\n");
    open_tree();
    EXPECT_EQ(child_names(tree_, root()), (std::vector<std::string>{"alpha"}));

    write_config_file(kFile, "RecentConn0=one\nRecentConn0=two\nRecentConn1=three\n");
    VTAObj_RecentResetForTests();
    open_tree();
    EXPECT_EQ(child_names(tree_, root()), (std::vector<std::string>{"one", "three"}));
    ASSERT_EQ(save(), 0);
    EXPECT_EQ(file_lines(), (std::vector<std::string>{"RecentConn0=one", "RecentConn1=three"}))
        << "both RecentConn0 records went before writing";
}

TEST_F(Recent, LoadedComputersAreLazyFoldersWithoutConnection) {
    write_config_file(kFile, "RecentConn0=alpha\n");
    open_tree();
    VTAObj *alpha = root()->VTA_Child;
    ASSERT_NE(alpha, nullptr);
    EXPECT_EQ(alpha->VTA_Type, VTA_OBJ_COMPUTER);
    EXPECT_EQ(alpha->VTA_IsFolder, 1);
    ASSERT_NE(alpha->VTA_Child, nullptr);
    EXPECT_EQ(alpha->VTA_Child->VTA_Type, VTA_OBJ_DUMMY);
    VTA_CONN_INFO conn;
    VTAObj_GetData(alpha, &conn, sizeof conn);
    EXPECT_EQ(conn.reserved, ~uint64_t{0});
    EXPECT_EQ(conn.type, 1);
    EXPECT_STREQ(conn.host, "alpha");
}

TEST_F(Recent, SavingWritesComputersInSortedOrderAndKeepsOtherRecords) {
    write_config_file(kFile, "Window=3\n");
    open_tree();
    connect("beta");
    connect("alpha");
    connect("beta"); // no check for an existing computer: two nodes, both saved
    ASSERT_EQ(save(), 0);
    EXPECT_EQ(file_lines(), (std::vector<std::string>{"Window=3", "RecentConn0=alpha",
                                                      "RecentConn1=beta", "RecentConn2=beta"}));
}

TEST_F(Recent, MoreThanElevenComputersLeaveNoStaleKeys) {
    open_tree();
    for (int i = 0; i < 14; ++i)
        connect(("host" + std::to_string(100 + i)).c_str());
    ASSERT_EQ(save(), 0);
    EXPECT_EQ(file_lines().size(), 14u);
    EXPECT_EQ(file_lines().back(), "RecentConn13=host113");

    for (int i = 0; i < 12; ++i) {
        char msg[256];
        ASSERT_EQ(VTATree_Op(tree_, VTA_OP_CLOSE, root()->VTA_Child, nullptr, 0, msg, sizeof msg),
                  0);
    }
    ASSERT_EQ(save(), 0);
    EXPECT_EQ(file_lines(),
              (std::vector<std::string>{"RecentConn0=host112", "RecentConn1=host113"}));
}

TEST_F(Recent, MissingFileIsCreatedEmptyByTheLoadAndFilledByTheFirstSave) {
    open_tree();
    EXPECT_TRUE(child_names(tree_, root()).empty()) << "the placeholder is gone, nothing loaded";
    EXPECT_TRUE(file_lines().empty());
    connect("alpha");
    write_config_file(kFile, ""); // removed again: the save must create it
    ASSERT_EQ(save(), 0);
    EXPECT_EQ(file_lines(), (std::vector<std::string>{"RecentConn0=alpha"}));
}

TEST_F(Recent, RefreshConfirmsChildrenAndLaterTreesStartEmpty) {
    write_config_file(kFile, "RecentConn0=alpha\nRecentConn1=beta\n");
    open_tree();
    recorder_.clear();
    char msg[256];
    ASSERT_EQ(VTATree_Op(tree_, VTA_OP_REFRESH, root(), nullptr, 0, msg, sizeof msg), 0);
    EXPECT_EQ(child_names(tree_, root()), (std::vector<std::string>{"alpha", "beta"}));
    for (const std::string &note : recorder_.notes)
        EXPECT_EQ(note.rfind("removed", 0), std::string::npos) << note;

    open_tree(); // a second document of the same process
    EXPECT_TRUE(child_names(tree_, root()).empty());
}

TEST_F(Recent, RootMenuAllowsNewSaveAndRefreshOnly) {
    open_tree();
    for (uint32_t op = 1; op <= 16; ++op) {
        VTA_ALLOW_MENU allow{op, 0};
        char msg[256];
        ASSERT_EQ(
            VTATree_Op(tree_, VTA_OP_ALLOW_MENU, root(), &allow, sizeof allow, msg, sizeof msg), 0);
        const bool expected = op == VTA_OP_CREATE || op == VTA_OP_SAVE || op == VTA_OP_REFRESH_ALL;
        EXPECT_EQ(allow.VTA_Answer, expected ? VTA_MENU_ALLOWED : VTA_MENU_NOT_ALLOWED) << op;
    }
}

TEST_F(Recent, UnreadableFileLeavesTheRootEmptyAndTheNextRefreshRetries) {
    write_config_file(kFile, "RecentConn0=alpha\n");
    const std::string dir = test_config_dir();
    // A directory in the file's place cannot be read as a file.
    write_config_file(kFile, "");
    ASSERT_EQ(mkdir((dir + "/" + kFile).c_str(), 0700), 0);
    tree_ = VTATree_Create();
    char msg[256] = "";
    EXPECT_NE(VTATree_Op(tree_, VTA_OP_REFRESH, root(), nullptr, 0, msg, sizeof msg), 0);
    EXPECT_STRNE(msg, "");
    ASSERT_EQ(rmdir((dir + "/" + kFile).c_str()), 0);
    write_config_file(kFile, "RecentConn0=alpha\n");
    ASSERT_EQ(VTATree_Op(tree_, VTA_OP_REFRESH, root(), nullptr, 0, msg, sizeof msg), 0) << msg;
    EXPECT_EQ(child_names(tree_, root()), (std::vector<std::string>{"alpha"}));
}

std::string file_bytes() {
    std::ifstream in(test_config_dir() + "/" + kFile, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST_F(Recent, UnsortedFileLoadsSortedWithNamesakesInFileOrder) {
    write_config_file(kFile, "RecentConn0=beta\nRecentConn1=alpha\nRecentConn2=beta\n"
                             "RecentConn3=Alpha\nRecentConn03=gamma\nRecentConn5=delta\n");
    open_tree();
    EXPECT_EQ(child_names(tree_, root()),
              (std::vector<std::string>{"Alpha", "alpha", "beta", "beta"}));
}

// Host texts the file cannot hold are refused when the connection is made, with a message,
// and nothing in the file changes.
TEST_F(Recent, HostsWithLineBreaksNulBytesOrOverlongNamesAreRefused) {
    write_config_file(kFile, "RecentConn0=alpha\nRecentConn1=zulu\n");
    open_tree();
    const std::string before = file_bytes();
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
        char msg[256] = "";
        std::string data = c.data;
        EXPECT_EQ(
            VTATree_Op(tree_, VTA_OP_CREATE, root(), data.data(), data.size(), msg, sizeof msg),
            VTA_ERR_INVALID)
            << c.name;
        EXPECT_STREQ(msg, c.message) << c.name;
        EXPECT_EQ(child_names(tree_, root()), (std::vector<std::string>{"alpha", "zulu"}))
            << c.name;
    }
    ASSERT_EQ(save(), 0);
    EXPECT_EQ(file_lines(), (std::vector<std::string>{"RecentConn0=alpha", "RecentConn1=zulu"}));
    (void)before;

    // 255 bytes, and trailing zero bytes of the buffer, are fine.
    std::string longest = std::string(255, 'h') + std::string(4, '\0');
    char msg[256] = "";
    EXPECT_EQ(
        VTATree_Op(tree_, VTA_OP_CREATE, root(), longest.data(), longest.size(), msg, sizeof msg),
        0)
        << msg;
}

// A save that cannot write a computer writes nothing: the old list stays whole.
TEST_F(Recent, SaveThatFailsLeavesTheFileAsItWas) {
    write_config_file(kFile, "RecentConn0=alpha\nRecentConn1=zulu\n");
    open_tree();
    const std::string before = file_bytes();
    VTAObj *bad = VTAObj_NewComputer("m\nx"); // past the checks of the create operation
    ASSERT_EQ(VTAObj_Insert(tree_, root(), bad), 0);
    char msg[256] = "";
    EXPECT_EQ(VTATree_Op(tree_, VTA_OP_SAVE, root(), nullptr, 0, msg, sizeof msg), CFG_TOO_LONG);
    EXPECT_STREQ(msg, "VTFS Cfg: Line break in text to insert into config file");
    EXPECT_EQ(file_bytes(), before);
}

// A file that cannot be read is moved aside and reported once; the list starts empty and
// can be saved again, so no command is blocked by it.
TEST_F(Recent, DamagedFileIsReportedOnceAndKeptAside) {
    const std::string damaged = std::string("RecentConn0=alpha\n\0", 19);
    write_config_file(kFile, damaged);
    tree_ = VTATree_Create();
    char msg[256] = "";
    EXPECT_EQ(VTATree_Op(tree_, VTA_OP_REDISPLAY, root(), nullptr, 0, msg, sizeof msg),
              CFG_BAD_ARGUMENT);
    const std::string path = test_config_dir() + "/" + kFile;
    EXPECT_EQ(std::string(msg), "The recent connections file " + path +
                                    " could not be read (Invalid character in file.); it was "
                                    "kept as " +
                                    path + ".damaged and the list starts empty.");
    EXPECT_TRUE(VTAObj_RecentLoaded());
    msg[0] = '\0';
    EXPECT_EQ(VTATree_Op(tree_, VTA_OP_REFRESH, root(), nullptr, 0, msg, sizeof msg), 0) << msg;
    EXPECT_TRUE(child_names(tree_, root()).empty());
    connect("beta");
    ASSERT_EQ(save(), 0);
    EXPECT_EQ(file_lines(), std::vector<std::string>{"RecentConn0=beta"});
    std::ifstream kept(path + ".damaged", std::ios::binary);
    std::stringstream kept_bytes;
    kept_bytes << kept.rdbuf();
    EXPECT_EQ(kept_bytes.str(), damaged);

    // A second damaged file does not replace the first one kept.
    write_config_file(kFile, std::string("\0", 1));
    VTAObj_RecentResetForTests();
    VTATree_Destroy(&tree_);
    tree_ = VTATree_Create();
    EXPECT_NE(VTATree_Op(tree_, VTA_OP_REFRESH, root(), nullptr, 0, msg, sizeof msg), 0);
    EXPECT_TRUE(std::filesystem::exists(path + ".damaged.1"));
    std::filesystem::remove(path + ".damaged");
    std::filesystem::remove(path + ".damaged.1");
}

// A read-only configuration directory still gives the list (and a missing file an empty one);
// only saving needs write access. Run as a user that cannot write there.
TEST_F(Recent, ReadOnlyConfigurationDirectoryStillLoads) {
    write_config_file(kFile, "RecentConn0=alpha\nRecentConn1=beta\n");
    const std::string dir = test_config_dir();
    auto as_reader = [&](bool file_there) {
        const pid_t child = fork();
        if (child == 0) {
            if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
                _exit(10);
            VTAObj_RecentResetForTests();
            VTATree *tree = VTATree_Create();
            char msg[256] = "";
            if (VTATree_Op(tree, VTA_OP_REFRESH, tree->VTA_Root, nullptr, 0, msg, sizeof msg) != 0)
                _exit(11);
            int count = 0;
            for (VTAObj *c = tree->VTA_Root->VTA_Child; c != nullptr; c = c->VTA_SibRight)
                ++count;
            if (count != (file_there ? 2 : 0))
                _exit(12);
            // Saving needs write access and fails with the store's message.
            if (VTATree_Op(tree, VTA_OP_SAVE, tree->VTA_Root, nullptr, 0, msg, sizeof msg) == 0)
                _exit(13);
            _exit(0);
        }
        int status = 0;
        waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    chmod(test_root().c_str(), 0755);
    chmod(dir.c_str(), 0555);
    chmod((dir + "/" + kFile).c_str(), 0444);
    EXPECT_EQ(as_reader(true), 0);
    chmod(dir.c_str(), 0755);
    write_config_file(kFile, "");
    chmod(dir.c_str(), 0555);
    EXPECT_EQ(as_reader(false), 0);
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
    char msg[256] = "";
    const int32_t rc = VTATree_Op(tree_, VTA_OP_REFRESH, root(), nullptr, 0, msg, sizeof msg);
    const int32_t saved = VTATree_Op(tree_, VTA_OP_SAVE, root(), nullptr, 0, msg, sizeof msg);
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
    int saw_first = 0, saw_second = 0;
    for (int round = 0; round < 100; ++round) {
        const pid_t child = fork();
        if (child == 0) {
            // Saves the two lists in turn, for ever, until killed.
            VTATree *trees[2] = {VTATree_Create(), VTATree_Create()};
            for (int t = 0; t < 2; ++t)
                for (int i = 0; i < 300; ++i) {
                    std::string host =
                        std::string(1, t == 0 ? 'a' : 'b') + "host" + std::to_string(1000 + i);
                    VTAObj_Insert(trees[t], trees[t]->VTA_Root, VTAObj_NewComputer(host.c_str()));
                }
            for (int n = 0;; ++n) {
                char msg[256];
                VTAObj_SaveRecent(trees[(n + 1) % 2]->VTA_Root, msg, sizeof msg);
            }
        }
        ASSERT_GT(child, 0);
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 30000));
        kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        const std::string now = file_bytes();
        ASSERT_TRUE(now == first || now == second)
            << "round " << round << ": " << now.size() << " bytes";
        (now == first ? saw_first : saw_second)++;
    }
    EXPECT_GT(saw_first + saw_second, 0);
    // The next locked save removes what the killed writers left.
    open_tree();
    ASSERT_EQ(save(), 0);
    int beside = 0;
    for (const auto &entry : std::filesystem::directory_iterator(test_config_dir()))
        beside += entry.path().filename().string().rfind(std::string(kFile) + "~", 0) == 0;
    EXPECT_EQ(beside, 0);
}

} // namespace
