// User, group and directory quota calls against the cluster simulator, in-process: quota state,
// walks, sets with block rounding, the limit check, the mount table, paths and names of directories
// both ways, name spaces, and the trace lines.

#include "support_cluster.h"
#include "support_vtadmin.h"

#include "libvtadmin/vtadmin_dirquota.h"
#include "libvtadmin/vtadmin_quota.h"
#include "libvtadmin/vtadminlib.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

VTA_QUOTA limits(uint32_t type, uint64_t hard, uint64_t soft, uint32_t grace) {
    VTA_QUOTA q{};
    q.type = type;
    q.hard = hard;
    q.soft = soft;
    q.grace = grace;
    return q;
}

// Every entry of a walk, as "name type used/hard/soft grace remaining", then "end <code> <msg>".
std::vector<std::string> walk(const std::function<int(VTA_QUOTA *, char *)> &next) {
    std::vector<std::string> entries;
    VTA_QUOTA q{};
    for (int i = 0; i < 20; ++i) {
        char msg[VTA_MESSAGE_SIZE] = "";
        const int rc = next(&q, msg);
        if (rc != 0) {
            entries.push_back("end " + std::to_string(rc) + (*msg ? " " : "") + msg);
            break;
        }
        entries.push_back(std::string(q.name) + " " + std::to_string(q.type) + " " +
                          std::to_string(q.used) + "/" + std::to_string(q.hard) + "/" +
                          std::to_string(q.soft) + " " + std::to_string(q.grace) + " " +
                          std::to_string(q.time_remaining));
    }
    return entries;
}

TEST(QuotaLimits, CheckTexts) {
    const struct {
        uint64_t hard, soft;
        uint32_t time;
        const char *text; // null: valid
    } rows[] = {
        {0, 0, 0, nullptr},
        {0, 0, 60, nullptr},
        {100, 100, 1, nullptr},
        {200, 100, 60, nullptr},
        {100, 0, 60,
         "Quota hard and soft limits must both be either zero or non-zero, HL = 100, SL = 0."},
        {0, 5, 60,
         "Quota hard and soft limits must both be either zero or non-zero, HL = 0, SL = 5."},
        {100, 200, 60, "Quota hard limit is smaller than the soft limit, HL = 100, SL = 200."},
        {4096, 4096, 0,
         "Quota time limit must be non-zero if the soft limit is non-zero, SL = 4096, TL = 0."},
        // Compared as unsigned: a hard limit above 2^63 is still the larger one.
        {0x8000000000000000ull, 1, 9, nullptr},
    };
    for (const auto &row : rows) {
        char msg[256] = "untouched";
        const int rc = VTAdmin_CheckQuotaLimits(row.hard, row.soft, row.time, msg, sizeof msg);
        const std::string name = numbers({row.hard, row.soft, row.time});
        EXPECT_EQ(rc, row.text ? -1 : 0) << name;
        EXPECT_STREQ(msg, row.text ? row.text : "untouched") << name;
    }
}

// ---- User and group quotas ----

// snfs1 counts in 4096-byte blocks; of its directories "projects" has both kinds of quota,
// "render" files only, "locked" a busy name space. "off" has quotas disabled, "nodq" no directory
// quotas, "broken" reports block size 0.
const char *const kScenario =
    R"({"hosts": [{"address": "127.0.0.1", "name": "alpha"}],
  "filesystems": [
    {"name": "snfs1", "block_size": 4096, "quotas_enabled": true,
     "managers": [{"host": "127.0.0.1", "state": "active"}],
     "user_quotas": [
       {"name": "alice", "used": 10, "hard": 100, "soft": 80, "grace": 60, "time_remaining": 300},
       {"name": "bob", "used": 90, "hard": 100, "soft": 80, "grace": 60, "time_remaining": -120},
       {"name": "devel", "used": 0, "hard": 2, "soft": 1, "grace": 5}],
     "group_quotas": [{"name": "devel", "used": 7, "hard": 50, "soft": 40, "grace": 1440}],
     "users": ["alice", "bob", "devel", "newbie"], "groups": ["devel", "staff"],
     "directories": ["tmp", "home/bob"],
     "dir_space_quotas": [{"path": "projects", "used": 10, "hard": 100, "soft": 80,
                           "grace": 60, "time_remaining": 300}],
     "dir_file_quotas": [{"path": "projects", "used": 7, "hard": 50, "soft": 40, "grace": 30},
                         {"path": "render", "used": 3, "hard": 10, "soft": 5, "grace": 1}],
     "name_spaces": [{"path": "locked", "busy": true}]},
    {"name": "other", "block_size": 4096, "quotas_enabled": true,
     "managers": [{"host": "127.0.0.1", "state": "active"}], "directories": ["elsewhere"]},
    {"name": "off", "block_size": 4096, "quotas_enabled": false,
     "managers": [{"host": "127.0.0.1", "state": "active"}], "directories": ["x"]},
    {"name": "nodq", "block_size": 4096, "quotas_enabled": true, "dir_quotas": false,
     "managers": [{"host": "127.0.0.1", "state": "active"}], "directories": ["x"]},
    {"name": "broken", "block_size": 0, "quotas_enabled": true,
     "managers": [{"host": "127.0.0.1", "state": "active"}],
     "user_quotas": [{"name": "alice", "used": 1}]}]})";

class Quotas : public ClusterTest {
protected:
    std::string scenario_json() const override { return kScenario; }
    void SetUp() override {
        ClusterTest::SetUp();
        fsm_ = connect_active_fsm(ns_, "snfs1");
        ASSERT_GE(fsm_, 0);
        mnt_ = canonical(test_root() + "/mnt");
        snfs1_ = mnt_ + "/snfs1";
    }

    // The simulator's entry `name` in the list `list` of snfs1.
    std::optional<sim_quota> stored(const std::string &name,
                                    std::vector<sim_quota> sim_filesystem::*list) {
        const sim_scenario now = cluster_snapshot(cluster_);
        for (const sim_quota &q : now.filesystems[0].*list)
            if (q.name == name)
                return q;
        return std::nullopt;
    }
    // The same for the directory `relative` of snfs1.
    std::optional<sim_quota> stored_dir(const std::string &relative,
                                        std::vector<sim_quota> sim_filesystem::*list) {
        return stored(dir_quota_name(snfs1_ + "/" + relative), list);
    }
    bool has_name_space(const std::string &relative) {
        const std::string name = dir_quota_name(snfs1_ + "/" + relative);
        const sim_scenario now = cluster_snapshot(cluster_);
        for (const sim_name_space &space : now.filesystems[0].name_spaces)
            if (space.name == name)
                return true;
        return false;
    }
    static std::vector<std::string> walk_of(int fsm, int (*next)(int, VTA_QUOTA *)) {
        return walk([&](VTA_QUOTA *q, char *) { return next(fsm, q); });
    }
    static std::vector<std::string> walk_of(int fsm, uint32_t type) {
        return walk(
            [&](VTA_QUOTA *q, char *msg) { return VTAdmin_ListDirQuotas(fsm, type, q, msg); });
    }

    int fsm_ = -1;
    std::string mnt_, snfs1_;
};

TEST_F(Quotas, StateAndWalksInBytesInNameOrderEndingWith6) {
    const int off = connect_active_fsm(ns_, "off");
    EXPECT_EQ(VTAdmin_GetQuotasState(fsm_), 1);
    EXPECT_EQ(VTAdmin_GetQuotasState(off), 0);
    EXPECT_EQ(VTAdmin_GetQuotasState(ns_), -1) << "a name-server handle";
    EXPECT_EQ(VTAdmin_GetQuotasState(VTA_MAX_CONNECTIONS), -1);

    EXPECT_EQ(walk_of(fsm_, VTAdmin_ListUserQuotas),
              (std::vector<std::string>{"alice 1 40960/409600/327680 60 300",
                                        "bob 1 368640/409600/327680 60 -120",
                                        "devel 1 0/8192/4096 5 0", "end 6"}));
    EXPECT_EQ(walk_of(fsm_, VTAdmin_ListGroupQuotas),
              (std::vector<std::string>{"devel 2 28672/204800/163840 1440 0", "end 6"}));
    // The flag bits reach the FSM, which answers the same walk.
    VTA_QUOTA q{};
    ASSERT_EQ(
        VTAdmin_ListUserQuotasWithFlags(fsm_, VTA_QUOTA_LIST_FLAG_1 | VTA_QUOTA_LIST_FLAG_4, &q),
        0);
    EXPECT_STREQ(q.name, "alice");

    // Disabled quotas end the walk at once.
    std::strcpy(q.name, "kept");
    EXPECT_EQ(VTAdmin_ListUserQuotas(off, &q), 6);
    EXPECT_EQ(VTAdmin_ListGroupQuotas(off, &q), 6);
    EXPECT_STREQ(q.name, "kept");
}

TEST_F(Quotas, EntryWithoutANameGives22AndQuestionMarks) {
    edit([](sim_scenario &s, void *) {
        sim_quota nameless;
        nameless.name = std::string("\0hidden", 7); // sent as an empty name
        nameless.used = 3;
        s.filesystems[0].user_quotas.push_back(nameless);
    });
    VTA_QUOTA q{};
    EXPECT_EQ(VTAdmin_ListUserQuotas(fsm_, &q), 22);
    EXPECT_STREQ(q.name, "????");
    EXPECT_EQ(q.used, 3u * 4096);
}

TEST_F(Quotas, BrokenConnectionIsAnErrorNotTheEndOfTheList) {
    fault("fsm:snfs1", "close_after:30/13");
    VTA_QUOTA q{};
    EXPECT_EQ(VTAdmin_ListUserQuotas(fsm_, &q), 10054)
        << "the transport's error (reply cut short), not 6: the listing must not look complete";
}

// Limits are rounded up to whole blocks and checked after rounding; invalid ones are never
// sent. The answer is the FSM's record, in bytes, with its usage and remaining time.
TEST_F(Quotas, SetsRoundCheckAndReturnTheAnswer) {
    const struct {
        uint64_t hard, soft;
        uint32_t grace;
        int rc;
        uint64_t answer_hard, answer_soft, stored_hard; // stored in blocks
    } rows[] = {
        {5000, 4097, 90, 0, 8192, 8192, 2},
        {1000, 1000, 0, -1, 0, 0, 2},     // both 4096: the time-limit check fails
        {100, 200, 60, 0, 4096, 4096, 1}, // both one block once rounded
    };
    for (const auto &row : rows) {
        const std::string name = numbers({row.hard, row.soft, row.grace});
        VTA_QUOTA q = limits(0, row.hard, row.soft, row.grace);
        ASSERT_EQ(VTAdmin_SetUserQuota(fsm_, "alice", &q), row.rc) << name;
        if (row.rc == 0) {
            EXPECT_EQ(
                numbers({q.type, q.hard, q.soft, q.grace, q.used, uint64_t(q.time_remaining)}),
                numbers({VTA_QUOTA_USER, row.answer_hard, row.answer_soft, row.grace, 40960, 300}))
                << name;
        }
        EXPECT_EQ(stored("alice", &sim_filesystem::user_quotas)->hard, row.stored_hard) << name;
    }
}

TEST_F(Quotas, DisabledQuotasBlockSizeZeroAndNoRights) {
    VTA_QUOTA q = limits(0, 8192, 4096, 60);
    EXPECT_EQ(VTAdmin_SetUserQuota(connect_active_fsm(ns_, "off"), "alice", &q), 2);
    const int broken = connect_active_fsm(ns_, "broken");
    EXPECT_EQ(VTAdmin_SetUserQuota(broken, "alice", &q), -1) << "block size 0";
    VTA_QUOTA walk{};
    EXPECT_EQ(VTAdmin_ListUserQuotas(broken, &walk), -1) << "block size 0";

    vtadmin_set_admin_for_tests(0);
    EXPECT_EQ(VTAdmin_SetUserQuota(fsm_, "alice", &q), 1);
    EXPECT_EQ(stored("alice", &sim_filesystem::user_quotas)->hard, 100u);
}

TEST_F(Quotas, TraceLines) {
    const int off = connect_active_fsm(ns_, "off");
    const size_t from = start_trace("quotatrace");
    VTAdmin_GetQuotasState(fsm_);
    VTAdmin_GetQuotasState(off);
    VTA_QUOTA q{}, g{};
    VTAdmin_ListUserQuotas(fsm_, &q);
    VTAdmin_ListGroupQuotas(fsm_, &g);
    VTAdmin_ListGroupQuotas(fsm_, &g);
    VTAdmin_ListUserQuotas(off, &q);
    VTA_QUOTA set = limits(0, 8192, 4096, 60);
    VTAdmin_SetUserQuota(fsm_, "alice", &set);
    VTAdmin_SetGroupQuota(fsm_, "nosuch", &set);
    const std::string h = std::to_string(fsm_), o = std::to_string(off);
    expect_traced(
        "quotatrace", from,
        {"Enter: VTAdmin_GetQuotasState: fshandle=" + h,
         " Exit: OK: VTAdmin_GetQuotasState: fshandle=" + h + " state=Enabled",
         "Enter: VTAdmin_GetQuotasState: fshandle=" + o,
         " Exit: OK: VTAdmin_GetQuotasState: fshandle=" + o + " state=Disabled",
         "Enter: VTAdmin_ListUserQuotasWithFlags: fshandle=" + h,
         " Exit: OK: VTAdmin_ListUserQuotasWithFlags: fshandle=" + h + " name=alice",
         "Enter: VTAdmin_ListGroupQuotasWithFlags: fshandle=" + h,
         " Exit: OK: VTAdmin_ListGroupQuotasWithFlags: fshandle=" + h + " name=devel",
         "Enter: VTAdmin_ListGroupQuotasWithFlags: fshandle=" + h,
         " Exit: OK: VTAdmin_ListGroupQuotasWithFlags: fshandle=" + h +
             " ENOENT or quotas disabled.",
         "Enter: VTAdmin_ListUserQuotasWithFlags: fshandle=" + o,
         " Exit: OK: VTAdmin_ListUserQuotasWithFlags: fshandle=" + o + " Quotas not enabled.",
         "Enter: VTAdmin_SetUserQuota: fshandle=" + h + " name=alice",
         " Exit: OK: VTAdmin_SetUserQuota: fshandle=" + h,
         "Enter: VTAdmin_SetGroupQuota: fshandle=" + h + " name='nosuch'",
         " Exit: ERROR 2: VTAdmin_SetGroupQuota"});
}

// ---- Directory quotas ----

TEST(DirQuotaName, OnlyDAndANumberFromTwoUp) {
    const struct {
        const char *name;
        bool valid;
        uint64_t inode;
    } rows[] = {
        {"D:2", true, 2},   {"D:1234567", true, 1234567},
        {"D:007", true, 7}, {"D:18446744073709551615", true, 18446744073709551615ull},
        {"D:0", false, 0},  {"D:1", false, 0},
        {"D:", false, 0},   {"D:12x", false, 0},
        {"X:12", false, 0}, {"d:12", false, 0},
        {"D:+5", false, 0}, {"D:-3", false, 0},
        {"D: 5", false, 0}, {"D:18446744073709551616", false, 0},
        {"", false, 0},     {"D", false, 0},
    };
    for (const auto &row : rows) {
        uint64_t inode = 0;
        EXPECT_EQ(vtadmin_dir_quota_name_inode(row.name, &inode), row.valid) << row.name;
        EXPECT_EQ(inode, row.inode) << row.name;
    }
}

TEST(DirQuotaMountTable, KeyIsTheFileSystemAndTheFirstFieldItsMountPoint) {
    test_root();
    const struct {
        const char *table; // "" = no mounttab
        const char *fs;
        size_t size;
        const char *mount_point; // null: not found
    } rows[] = {
        {"snfs1 /mnt/a\nother /mnt/b\n", "other", 256, "/mnt/b"},
        {"# client mounts\r\n\r\nsnfs1\t/mnt/a # the first\r\n", "snfs1", 256, "/mnt/a"},
        {"snfs1\n", "snfs1", 256, "snfs1"},
        {"snfs1 \"/mnt/with blank\" rw\n", "snfs1", 256, "/mnt/with blank"},
        {"snfs1 /mnt/first\nsnfs1 /mnt/second\n", "snfs1", 256, "/mnt/first"},
        {"snfs1 /mnt/a\n", "snfs1", 7, "/mnt/a"},
        {"snfs1 /mnt/a\n", "snfs1", 6, nullptr},
        {"  snfs1 /mnt/a\n", "snfs1", 256, nullptr},
        {"snfs10 /mnt/a\nSNFS1 /mnt/b\n", "snfs1", 256, nullptr},
        {"# snfs1 /mnt/a\n", "snfs1", 256, nullptr},
        {"", "snfs1", 256, nullptr},
    };
    for (const auto &row : rows) {
        write_config_file("mounttab", row.table);
        char path[256] = "untouched";
        char msg[VTA_MESSAGE_SIZE] = "";
        const int rc = VTAdmin_FindMountPoint(row.fs, path, row.size, msg);
        if (row.mount_point != nullptr) {
            EXPECT_EQ(rc, 0) << row.table;
            EXPECT_STREQ(path, row.mount_point) << row.table;
        } else {
            EXPECT_EQ(rc, -1) << row.table;
            EXPECT_EQ(std::string(msg),
                      std::string("could not find mount point for file system '") + row.fs + "'")
                << row.table;
        }
    }
    write_config_file("mounttab", "");
    char msg[VTA_MESSAGE_SIZE] = "";
    EXPECT_EQ(
        VTAdmin_DirQuotaPath2Name("snfs1", VTA_PATH_RELATIVE, "tmp", nullptr, 0, nullptr, msg), -1);
    EXPECT_STREQ(msg, "error finding mountpoint for file system 'snfs1'");
}

} // namespace

TEST_F(Quotas, OpeningADirectoryAsksTheDriver) {
    std::ofstream(snfs1_ + "/tmp/file") << "x";
    const std::string outside = canonical(test_root() + "/config");
    const struct {
        std::string path;
        const char *fs;
        int rc;
        std::string message;
    } rows[] = {
        {snfs1_ + "/tmp", "snfs1", 0, ""},
        {snfs1_ + "/home/bob/", "snfs1", 0, ""},
        {snfs1_, "snfs1", 0, ""},
        {snfs1_ + "/tmp/file", "snfs1", -1,
         "The path '" + snfs1_ + "/tmp/file' is not a directory"},
        {mnt_ + "/other/elsewhere", "snfs1", -1,
         "Directory '" + mnt_ +
             "/other/elsewhere' is not in file system 'snfs1' (it's in 'other')"},
        {outside, "snfs1", -1, "Directory '" + outside + "' is not on a known file system.\n"},
        {snfs1_ + "/missing", "snfs1", 2,
         "Error opening directory '" + snfs1_ + "/missing': No such file or directory"},
    };
    for (const auto &row : rows) {
        uint64_t inode = 99;
        VTA_FS_DIR dir;
        char msg[VTA_MESSAGE_SIZE] = "";
        EXPECT_EQ(VTAdmin_OpenFsDirectory(row.fs, row.path.c_str(), &inode, &dir, msg), row.rc)
            << row.path;
        EXPECT_EQ(msg, row.message) << row.path;
        if (row.rc == 0) {
            EXPECT_EQ(inode, inode_of(row.path)) << row.path;
            EXPECT_GE(dir.fd, 0) << row.path;
            EXPECT_EQ(dir.path, canonical(row.path)) << row.path;
        } else {
            EXPECT_EQ(inode, 0u) << row.path;
            EXPECT_EQ(dir.fd, -1) << "closed again: " << row.path;
        }
        VTAdmin_CloseFsDirectory(&dir);
    }
}

TEST_F(Quotas, WithoutTheDriverEndpointNothingIsOnAFileSystemOfThisClient) {
    ASSERT_EQ(unlink((test_root() + "/config/kxfsdrv.sock").c_str()), 0);
    uint64_t inode = 0;
    VTA_FS_DIR dir;
    char msg[VTA_MESSAGE_SIZE] = "";
    EXPECT_EQ(VTAdmin_OpenFsDirectory("snfs1", snfs1_.c_str(), &inode, &dir, msg), -1);
    EXPECT_EQ(msg, "Directory '" + snfs1_ + "' is not on a known file system.\n");
    char path[512];
    EXPECT_EQ(VTAdmin_DirQuotaName2Path("snfs1", "D:12", VTA_PATH_RELATIVE, path, sizeof path, msg),
              -1);
    EXPECT_STREQ(msg, "error talking to the FSM: 25");
    VTA_QUOTA q = limits(VTA_QUOTA_DIR_FILES, 10, 5, 1);
    EXPECT_EQ(
        VTAdmin_SetDirQuota(fsm_, VTA_QUOTA_DIR_FILES, VTA_PATH_RELATIVE, "projects", &q, msg), -1);
    EXPECT_EQ(msg, "Directory '" + snfs1_ + "/projects' is not on a known file system.\n");
}

TEST_F(Quotas, PathsAndNamesBothWays) {
    const std::string projects = dir_quota_name(snfs1_ + "/projects");
    const struct {
        int kind;
        std::string path;
    } spellings[] = {
        {VTA_PATH_RELATIVE, "projects"},
        {VTA_PATH_RELATIVE, "/projects/"},
        {VTA_PATH_RELATIVE, "tmp/../projects"},
        {VTA_PATH_ABSOLUTE, snfs1_ + "/projects"},
    };
    for (const auto &s : spellings) {
        char name[64] = "";
        char msg[VTA_MESSAGE_SIZE] = "";
        EXPECT_EQ(VTAdmin_DirQuotaPath2Name("snfs1", s.kind, s.path.c_str(), name, sizeof name,
                                            nullptr, msg),
                  0)
            << s.path << ": " << msg;
        EXPECT_EQ(name, projects) << s.path;
    }
    char path[512] = "";
    char msg[VTA_MESSAGE_SIZE] = "";
    ASSERT_EQ(VTAdmin_DirQuotaName2Path("snfs1", projects.c_str(), VTA_PATH_ABSOLUTE, path,
                                        sizeof path, msg),
              0)
        << msg;
    EXPECT_EQ(path, snfs1_ + "/projects");
    const std::string mount_point = dir_quota_name(snfs1_);
    ASSERT_EQ(VTAdmin_DirQuotaName2Path("snfs1", mount_point.c_str(), VTA_PATH_RELATIVE, path,
                                        sizeof path, msg),
              0);
    EXPECT_STREQ(path, "/");

    // The open directory is handed over when asked for.
    VTA_FS_DIR dir;
    ASSERT_EQ(VTAdmin_DirQuotaPath2Name("snfs1", VTA_PATH_RELATIVE, "tmp", nullptr, 0, &dir, msg),
              0);
    EXPECT_GE(dir.fd, 0);
    EXPECT_EQ(dir.path, snfs1_ + "/tmp");
    VTAdmin_CloseFsDirectory(&dir);
}

TEST_F(Quotas, ConversionFailuresAndTheirTexts) {
    char name[64] = "";
    char msg[VTA_MESSAGE_SIZE] = "";
    // The relative path joined to the mount point reaches 1024 characters: too long.
    const std::string long_path(1024 - snfs1_.size() - 1, 'a');
    EXPECT_EQ(VTAdmin_DirQuotaPath2Name("snfs1", VTA_PATH_RELATIVE, long_path.c_str(), name,
                                        sizeof name, nullptr, msg),
              -1);
    EXPECT_STREQ(msg, "full path too long");
    EXPECT_NE(VTAdmin_DirQuotaPath2Name("snfs1", VTA_PATH_RELATIVE, long_path.substr(1).c_str(),
                                        name, sizeof name, nullptr, msg),
              0);
    EXPECT_STRNE(msg, "full path too long") << "1023 characters are not too long";
    EXPECT_EQ(VTAdmin_DirQuotaPath2Name("snfs1", 3, "tmp", name, sizeof name, nullptr, msg), -1);

    char path[512] = "";
    const struct {
        const char *name;
        int kind;
        size_t size;
        const char *message;
    } rows[] = {
        {"D:1", VTA_PATH_RELATIVE, sizeof path, "invalid name"},
        {"projects", VTA_PATH_RELATIVE, sizeof path, "invalid name"},
        {"D:2", 3, sizeof path, ""},
        {"D:18446744073709551615", VTA_PATH_RELATIVE, sizeof path, "error talking to the FSM: 2"},
        {nullptr, VTA_PATH_RELATIVE, 9, "string too short to hold path"},
        {nullptr, VTA_PATH_RELATIVE, 10, nullptr},
    };
    const std::string projects = dir_quota_name(snfs1_ + "/projects"); // "/projects" is 9 long
    for (const auto &row : rows) {
        const char *asked = row.name != nullptr ? row.name : projects.c_str();
        const int rc = VTAdmin_DirQuotaName2Path("snfs1", asked, row.kind, path, row.size, msg);
        EXPECT_EQ(rc, row.message == nullptr ? 0 : -1) << asked << " " << row.size;
        EXPECT_STREQ(msg, row.message == nullptr ? "" : row.message) << asked;
        if (rc != 0) {
            EXPECT_STREQ(path, "") << asked;
        }
    }
    EXPECT_EQ(VTAdmin_DirQuotaName2Path("nosuch", projects.c_str(), VTA_PATH_RELATIVE, path,
                                        sizeof path, msg),
              -1);
    EXPECT_STREQ(msg, "could not find mount point for file system 'nosuch'");
}

TEST_F(Quotas, NameSpacesAreCreatedOnceAndDestroyedOnce) {
    const struct {
        const char *fs;
        const char *path; // relative
        bool create;
        int rc;
        const char *message;
    } steps[] = {
        {"snfs1", "tmp", true, 0, ""},
        {"snfs1", "tmp", true, 3, "Quota namespace already exists."},
        {"snfs1", "tmp", false, 0, ""},
        {"snfs1", "tmp", false, 2, "No such namespace"},
        {"snfs1", "locked", true, 7, "Namespace is busy"},
        {"off", "x", true, 6, "Quotas are disabled on this file system."},
        {"nodq", "x", true, 25, "This file system does not support Directory Quotas."},
    };
    for (const auto &step : steps) {
        char msg[VTA_MESSAGE_SIZE] = "";
        const int rc =
            step.create
                ? VTAdmin_CreateDirQuotaNameSpace(step.fs, VTA_PATH_RELATIVE, step.path, msg)
                : VTAdmin_DestroyDirQuotaNameSpace(step.fs, VTA_PATH_RELATIVE, step.path, msg);
        EXPECT_EQ(rc, step.rc) << step.fs << "/" << step.path << (step.create ? " +" : " -");
        EXPECT_STREQ(msg, step.message) << step.fs << "/" << step.path;
    }
    char msg[VTA_MESSAGE_SIZE] = "";
    EXPECT_EQ(VTAdmin_CreateDirQuotaNameSpace("snfs1", VTA_PATH_ABSOLUTE,
                                              (snfs1_ + "/home/bob").c_str(), msg),
              0);
    EXPECT_TRUE(has_name_space("home/bob"));
    EXPECT_EQ(VTAdmin_CreateDirQuotaNameSpace("snfs1", VTA_PATH_RELATIVE, "missing", msg), 2);
    vtadmin_set_admin_for_tests(0);
    EXPECT_EQ(VTAdmin_DestroyDirQuotaNameSpace("snfs1", VTA_PATH_RELATIVE, "home/bob", msg), 1);
    EXPECT_STREQ(msg, "insufficient privileges");
    EXPECT_TRUE(has_name_space("home/bob"));
}

TEST_F(Quotas, ListsDataInBytesAndFilesAsCounts) {
    const std::string projects = dir_quota_name(snfs1_ + "/projects");
    const std::string render = dir_quota_name(snfs1_ + "/render");
    EXPECT_EQ(walk_of(fsm_, VTA_QUOTA_DIR_SPACE),
              (std::vector<std::string>{projects + " 3 40960/409600/327680 60 300",
                                        "end 6 no such namespace"}));
    std::vector<std::string> files = {projects + " 4 7/50/40 30 0", render + " 4 3/10/5 1 0"};
    std::sort(files.begin(), files.end()); // the FSM walks in name order
    files.push_back("end 6 no such namespace");
    EXPECT_EQ(walk_of(fsm_, VTA_QUOTA_DIR_FILES), files);

    EXPECT_EQ(walk_of(connect_active_fsm(ns_, "off"), VTA_QUOTA_DIR_SPACE),
              std::vector<std::string>{"end 6 quotas disabled"});
    EXPECT_EQ(walk_of(connect_active_fsm(ns_, "nodq"), VTA_QUOTA_DIR_FILES),
              std::vector<std::string>{"end 25 no DQ support in FSM"})
        << "not an empty list";
    EXPECT_EQ(walk_of(fsm_, VTA_QUOTA_GROUP),
              std::vector<std::string>{"end -1 unknown quota type: 2\n"});
    EXPECT_EQ(walk_of(ns_, VTA_QUOTA_DIR_SPACE),
              std::vector<std::string>{"end -1 invalid fshandle"});
}

TEST_F(Quotas, SettingRoundsDataToBlocksAndSendsCountsAsTheyAre) {
    char msg[VTA_MESSAGE_SIZE] = "";
    ASSERT_EQ(VTAdmin_CreateDirQuotaNameSpace("snfs1", VTA_PATH_RELATIVE, "tmp", msg), 0) << msg;
    VTA_QUOTA q = limits(VTA_QUOTA_DIR_FILES, 10, 5, 60);
    ASSERT_EQ(VTAdmin_SetDirQuota(fsm_, VTA_QUOTA_DIR_FILES, VTA_PATH_RELATIVE, "tmp", &q, msg), 0)
        << msg;
    EXPECT_EQ(stored_dir("tmp", &sim_filesystem::dir_file_quotas)->hard, 10u);
    EXPECT_EQ(stored_dir("tmp", &sim_filesystem::dir_file_quotas)->soft, 5u);
    EXPECT_EQ(q.name, dir_quota_name(snfs1_ + "/tmp"));
    EXPECT_EQ(q.type, VTA_QUOTA_DIR_FILES);

    q = limits(VTA_QUOTA_DIR_SPACE, 5000, 4097, 1);
    ASSERT_EQ(VTAdmin_SetDirQuota(fsm_, VTA_QUOTA_DIR_SPACE, VTA_PATH_ABSOLUTE,
                                  (snfs1_ + "/tmp").c_str(), &q, msg),
              0)
        << msg;
    EXPECT_EQ(stored_dir("tmp", &sim_filesystem::dir_space_quotas)->hard, 2u);
    EXPECT_EQ(stored_dir("tmp", &sim_filesystem::dir_space_quotas)->soft, 2u);
    EXPECT_EQ(q.hard, 8192u) << "the answer, in bytes";
    EXPECT_EQ(q.soft, 8192u);

    const struct {
        int fsm; // 0: snfs1
        const char *fs;
        uint32_t type;
        const char *path;
        uint64_t hard, soft;
        uint32_t grace;
        int rc;
        const char *message;
    } rows[] = {
        {0, "snfs1", 3, "tmp", 1000, 1000, 0, -1,
         "Quota time limit must be non-zero if the soft limit is non-zero, SL = 4096, TL = 0."},
        {0, "snfs1", 3, "home/bob", 8192, 4096, 1, 2, "File or directory namespace not found."},
        {0, "snfs1", 4, "locked", 10, 5, 1, 7, "The file system namespace is busy."},
        {0, "snfs1", 5, "tmp", 10, 5, 1, -1, "Internal Error: Invalid quota type: 5\n"},
        {1, "nodq", 4, "x", 10, 5, 1, 25, "This file system does not support Directory Quotas."},
        {1, "off", 4, "x", 10, 5, 1, 2, "Quotas are not enabled on this file system."},
    };
    for (const auto &row : rows) {
        const int fsm = row.fsm == 0 ? fsm_ : connect_active_fsm(ns_, row.fs);
        VTA_QUOTA r = limits(row.type, row.hard, row.soft, row.grace);
        EXPECT_EQ(VTAdmin_SetDirQuota(fsm, row.type, VTA_PATH_RELATIVE, row.path, &r, msg), row.rc)
            << row.fs << "/" << row.path;
        EXPECT_STREQ(msg, row.message) << row.fs << "/" << row.path;
    }
    EXPECT_EQ(stored_dir("tmp", &sim_filesystem::dir_file_quotas)->hard, 10u)
        << "refused limits were never sent";

    vtadmin_set_admin_for_tests(0);
    q = limits(VTA_QUOTA_DIR_FILES, 20, 10, 1);
    EXPECT_EQ(VTAdmin_SetDirQuota(fsm_, VTA_QUOTA_DIR_FILES, VTA_PATH_RELATIVE, "tmp", &q, msg), 1);
    EXPECT_STREQ(msg, "Access denied (administrator only).");
}

TEST_F(Quotas, DirTraceLines) {
    const size_t from = start_trace("dirquotatrace");
    char msg[VTA_MESSAGE_SIZE] = "";
    char path[512] = "";
    const std::string projects = dir_quota_name(snfs1_ + "/projects");
    VTAdmin_DirQuotaName2Path("snfs1", projects.c_str(), VTA_PATH_RELATIVE, path, sizeof path, msg);
    VTA_QUOTA q = limits(VTA_QUOTA_DIR_FILES, 60, 50, 30);
    VTAdmin_SetDirQuota(fsm_, VTA_QUOTA_DIR_FILES, VTA_PATH_RELATIVE, "projects", &q, msg);
    VTAdmin_CreateDirQuotaNameSpace("snfs1", VTA_PATH_RELATIVE, "projects", msg);
    VTA_QUOTA walk{};
    VTAdmin_ListDirQuotas(fsm_, VTA_QUOTA_DIR_SPACE, &walk, msg);
    const std::string h = std::to_string(fsm_);
    const std::string ino = projects.substr(2);
    expect_traced("dirquotatrace", from,
                  {"Enter: VTAdmin_DirQuotaName2Path: fsname=snfs1",
                   " Exit: OK: VTAdmin_DirQuotaName2Path: fsname=snfs1 " + ino + " -> /projects",
                   "Enter: VTAdmin_SetDirQuota: hdl=" + h + " pth=projects(1) typ=4/4 Lim=60/50/30",
                   "Enter: DirQuotaPath2Name: fsname=snfs1",
                   " Exit: OK: DirQuotaPath2Name: fsname=snfs1 " + snfs1_ + "/projects -> " + ino,
                   " Exit: OK: VTAdmin_SetDirQuota: fshandle=" + h,
                   "Enter: MarkDestroyCreateDirQuotaNameSpace: fsname=snfs1 path=projects",
                   "Enter: DirQuotaPath2Name: fsname=snfs1",
                   " Exit: OK: DirQuotaPath2Name: fsname=snfs1 " + snfs1_ + "/projects -> " + ino,
                   "ERROR 3: MarkDestroyCreateDirQuotaNameSpace: Quota namespace already exists.",
                   " Exit: ERROR 3: MarkDestroyCreateDirQuotaNameSpace",
                   "Enter: VTAdmin_ListDirQuotas: fshandle=" + h,
                   " Exit: OK: VTAdmin_ListDirQuotas: fshandle=" + h + " name=" + projects});
}
