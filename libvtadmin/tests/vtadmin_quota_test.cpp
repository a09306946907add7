// User and group quota calls against the cluster simulator, in-process: quota state, walks,
// sets with block rounding, the limit check and the trace lines.

#include "support_cluster.h"
#include "support_vtadmin.h"

#include "libvtadmin/vtadmin_quota.h"
#include "libvtadmin/vtadmin_trace.h"
#include "libvtadmin/vtadminlib.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

// snfs1 counts in 4096-byte blocks; "off" has quotas disabled; "broken" reports block size 0.
const char *const kScenario = R"({"hosts": [{"address": "127.0.0.1", "name": "alpha"}],
  "filesystems": [
    {"name": "snfs1", "block_size": 4096, "quotas_enabled": true,
     "managers": [{"host": "127.0.0.1", "state": "active"}],
     "user_quotas": [
       {"name": "alice", "used": 10, "hard": 100, "soft": 80, "grace": 60, "time_remaining": 300},
       {"name": "bob", "used": 90, "hard": 100, "soft": 80, "grace": 60, "time_remaining": -120},
       {"name": "devel", "used": 0, "hard": 2, "soft": 1, "grace": 5}],
     "group_quotas": [{"name": "devel", "used": 7, "hard": 50, "soft": 40, "grace": 1440}],
     "users": ["alice", "bob", "devel", "newbie"], "groups": ["devel", "staff"]},
    {"name": "off", "block_size": 4096, "quotas_enabled": false,
     "managers": [{"host": "127.0.0.1", "state": "active"}]},
    {"name": "broken", "block_size": 0, "quotas_enabled": true,
     "managers": [{"host": "127.0.0.1", "state": "active"}],
     "user_quotas": [{"name": "alice", "used": 1}]}]})";

class Quotas : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TIMEDWAIT_VALUE", "5", 1);
        cluster_ = start_test_cluster(kScenario);
        ASSERT_NE(cluster_, nullptr);
        VTAdmin_Init();
        char message[VTA_MESSAGE_SIZE] = "";
        ns_ = VTAdmin_NSConnect("127.0.0.1", message);
        ASSERT_GE(ns_, 0) << message;
        fsm_ = connect_active_fsm(ns_, "snfs1");
        ASSERT_GE(fsm_, 0);
    }
    void TearDown() override {
        vtadmin_set_admin_for_tests(1);
        VTAdmin_Teardown();
        if (cluster_ != nullptr)
            cluster_stop(cluster_);
    }

    // The simulator's entry of `name` in the user (or group) list of snfs1.
    std::optional<sim_quota> stored(const std::string &name, bool group = false) {
        const sim_scenario now = cluster_snapshot(cluster_);
        const auto &list = group ? now.filesystems[0].group_quotas : now.filesystems[0].user_quotas;
        for (const sim_quota &q : list)
            if (q.name == name)
                return q;
        return std::nullopt;
    }

    // Every entry of a walk, as "name used/hard/soft grace remaining" texts.
    static std::vector<std::string> walk(int fsm, int (*next)(int, VTA_QUOTA *)) {
        std::vector<std::string> entries;
        VTA_QUOTA q{};
        for (int i = 0; i < 20; ++i) {
            const int rc = next(fsm, &q);
            if (rc != 0) {
                entries.push_back("end " + std::to_string(rc));
                break;
            }
            entries.push_back(std::string(q.name) + " " + std::to_string(q.type) + " " +
                              std::to_string(q.used) + "/" + std::to_string(q.hard) + "/" +
                              std::to_string(q.soft) + " " + std::to_string(q.grace) + " " +
                              std::to_string(q.time_remaining));
        }
        return entries;
    }

    static VTA_QUOTA limits(uint64_t hard, uint64_t soft, uint32_t grace) {
        VTA_QUOTA q{};
        q.hard = hard;
        q.soft = soft;
        q.grace = grace;
        return q;
    }

    sim_cluster *cluster_ = nullptr;
    int ns_ = -1;
    int fsm_ = -1;
};

} // namespace

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
        const std::string name = std::to_string(row.hard) + "/" + std::to_string(row.soft) + "/" +
                                 std::to_string(row.time);
        EXPECT_EQ(rc, row.text ? -1 : 0) << name;
        EXPECT_STREQ(msg, row.text ? row.text : "untouched") << name;
    }
}

TEST_F(Quotas, StateOfEnabledDisabledAndBadHandle) {
    EXPECT_EQ(VTAdmin_GetQuotasState(fsm_), 1);
    const int off = connect_active_fsm(ns_, "off");
    EXPECT_EQ(VTAdmin_GetQuotasState(off), 0);
    EXPECT_EQ(VTAdmin_GetQuotasState(ns_), -1) << "a name-server handle";
    EXPECT_EQ(VTAdmin_GetQuotasState(VTA_MAX_CONNECTIONS), -1);
}

TEST_F(Quotas, WalksReturnBytesInNameOrderAndEndWith6) {
    EXPECT_EQ(walk(fsm_, VTAdmin_ListUserQuotas),
              (std::vector<std::string>{"alice 1 40960/409600/327680 60 300",
                                        "bob 1 368640/409600/327680 60 -120",
                                        "devel 1 0/8192/4096 5 0", "end 6"}));
    EXPECT_EQ(walk(fsm_, VTAdmin_ListGroupQuotas),
              (std::vector<std::string>{"devel 2 28672/204800/163840 1440 0", "end 6"}));
    // The flag bits reach the FSM, which answers the same walk.
    VTA_QUOTA q{};
    ASSERT_EQ(
        VTAdmin_ListUserQuotasWithFlags(fsm_, VTA_QUOTA_LIST_FLAG_1 | VTA_QUOTA_LIST_FLAG_4, &q),
        0);
    EXPECT_STREQ(q.name, "alice");
}

TEST_F(Quotas, WalkOnDisabledQuotasEndsAtOnce) {
    const int off = connect_active_fsm(ns_, "off");
    VTA_QUOTA q{};
    std::strcpy(q.name, "kept");
    EXPECT_EQ(VTAdmin_ListUserQuotas(off, &q), 6);
    EXPECT_EQ(VTAdmin_ListGroupQuotas(off, &q), 6);
    EXPECT_STREQ(q.name, "kept");
}

TEST_F(Quotas, EntryWithoutANameGives22AndQuestionMarks) {
    cluster_edit(
        cluster_,
        [](sim_scenario &s, void *) {
            sim_quota nameless;
            nameless.name = std::string("\0hidden", 7); // sent as an empty name
            nameless.used = 3;
            s.filesystems[0].user_quotas.push_back(nameless);
        },
        nullptr);
    VTA_QUOTA q{};
    EXPECT_EQ(VTAdmin_ListUserQuotas(fsm_, &q), 22);
    EXPECT_STREQ(q.name, "????");
    EXPECT_EQ(q.used, 3u * 4096);
}

TEST_F(Quotas, BrokenConnectionIsAnErrorNotTheEndOfTheList) {
    char text[256] = "";
    ASSERT_EQ(cluster_set_fault(cluster_, "fsm:snfs1", "close_after:30/13", text, sizeof text), 0)
        << text;
    VTA_QUOTA q{};
    EXPECT_EQ(VTAdmin_ListUserQuotas(fsm_, &q), 10054)
        << "the transport's error (reply cut short), not 6: the listing must not look complete";
}

TEST_F(Quotas, SetRoundsUpToBlocksAndReturnsTheAnswer) {
    VTA_QUOTA q = limits(5000, 4097, 90);
    ASSERT_EQ(VTAdmin_SetUserQuota(fsm_, "alice", &q), 0);
    EXPECT_STREQ(q.name, "alice");
    EXPECT_EQ(q.type, VTA_QUOTA_USER);
    EXPECT_EQ(q.hard, 8192u);
    EXPECT_EQ(q.soft, 8192u);
    EXPECT_EQ(q.used, 40960u) << "usage as the FSM reports it";
    EXPECT_EQ(q.grace, 90u);
    EXPECT_EQ(q.time_remaining, 300);
    const auto alice = stored("alice");
    ASSERT_TRUE(alice);
    EXPECT_EQ(alice->hard, 2u);
    EXPECT_EQ(alice->soft, 2u);

    VTA_QUOTA g = limits(4096, 1, 1);
    ASSERT_EQ(VTAdmin_SetGroupQuota(fsm_, "staff", &g), 0) << "a listed group gets an entry";
    EXPECT_EQ(g.type, VTA_QUOTA_GROUP);
    EXPECT_EQ(g.soft, 4096u);
    EXPECT_TRUE(stored("staff", true));
}

TEST_F(Quotas, LimitsAreCheckedAfterRoundingAndInvalidOnesNeverSent) {
    const struct {
        uint64_t hard, soft;
        uint32_t grace;
    } invalid[] = {
        {1000, 1000, 0},  // both round up to 4096: the time-limit check fails
        {4096, 4097, 60}, // one block against two
        {0, 100, 60},
    };
    for (const auto &row : invalid) {
        VTA_QUOTA q = limits(row.hard, row.soft, row.grace);
        EXPECT_EQ(VTAdmin_SetUserQuota(fsm_, "bob", &q), -1) << row.hard << "/" << row.soft;
        EXPECT_EQ(stored("bob")->hard, 100u) << row.hard << "/" << row.soft << ": not sent";
    }
    // 100 below 200 bytes, but both are one block once rounded.
    VTA_QUOTA q = limits(100, 200, 60);
    EXPECT_EQ(VTAdmin_SetUserQuota(fsm_, "bob", &q), 0);
    EXPECT_EQ(q.hard, 4096u);
    EXPECT_EQ(q.soft, 4096u);
}

TEST_F(Quotas, ZeroLimitsClearAndAnEmptyEntryGoes) {
    VTA_QUOTA q = limits(0, 0, 0);
    ASSERT_EQ(VTAdmin_SetUserQuota(fsm_, "alice", &q), 0);
    EXPECT_EQ(q.hard, 0u);
    EXPECT_EQ(q.used, 40960u);
    ASSERT_TRUE(stored("alice")) << "usage keeps the entry";
    EXPECT_EQ(stored("alice")->soft, 0u);

    q = limits(0, 0, 0);
    ASSERT_EQ(VTAdmin_SetUserQuota(fsm_, "devel", &q), 0);
    EXPECT_FALSE(stored("devel")) << "no limits and no usage: the entry is gone";
    EXPECT_TRUE(stored("devel", true)) << "the group of the same name stays";
}

TEST_F(Quotas, MissingUserDisabledQuotasAndNoRights) {
    VTA_QUOTA q = limits(8192, 4096, 60);
    EXPECT_EQ(VTAdmin_SetUserQuota(fsm_, "nosuch", &q), 2);
    EXPECT_EQ(VTAdmin_SetGroupQuota(fsm_, "nosuch", &q), 2);
    EXPECT_FALSE(stored("nosuch"));
    EXPECT_EQ(VTAdmin_SetUserQuota(fsm_, "newbie", &q), 0) << "listed, without an entry";

    const int off = connect_active_fsm(ns_, "off");
    EXPECT_EQ(VTAdmin_SetUserQuota(off, "alice", &q), 2);

    vtadmin_set_admin_for_tests(0);
    EXPECT_EQ(VTAdmin_SetUserQuota(fsm_, "alice", &q), 1);
    EXPECT_EQ(stored("alice")->hard, 100u);
}

TEST_F(Quotas, BlockSizeZeroIsRefused) {
    const int broken = connect_active_fsm(ns_, "broken");
    VTA_QUOTA q = limits(8192, 4096, 60);
    EXPECT_EQ(VTAdmin_SetUserQuota(broken, "alice", &q), -1);
    VTA_QUOTA walk{};
    EXPECT_EQ(VTAdmin_ListUserQuotas(broken, &walk), -1);
}

TEST_F(Quotas, TraceLines) {
    VTAdmin_LogInit("quotatrace");
    VTAdmin_LogEnable(VTA_LOG_ENTRY_EXIT, VTA_LOG_MODULE);
    const size_t before = log_messages("quotatrace").size();
    const int off = connect_active_fsm(ns_, "off");
    VTAdmin_GetQuotasState(fsm_);
    VTAdmin_GetQuotasState(off);
    VTA_QUOTA q{};
    VTAdmin_ListUserQuotas(fsm_, &q);
    VTA_QUOTA g{};
    VTAdmin_ListGroupQuotas(fsm_, &g);
    VTAdmin_ListGroupQuotas(fsm_, &g);
    VTAdmin_ListUserQuotas(off, &q);
    VTA_QUOTA set = limits(8192, 4096, 60);
    VTAdmin_SetUserQuota(fsm_, "alice", &set);
    VTAdmin_SetGroupQuota(fsm_, "nosuch", &set);
    const auto all = log_messages("quotatrace");
    const std::vector<std::string> lines(all.begin() + static_cast<long>(before), all.end());
    const std::string h = std::to_string(fsm_), o = std::to_string(off);
    const std::vector<std::string> expected = {
        "Enter: VTAdmin_GetQuotasState: fshandle=" + h,
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
        " Exit: ERROR 2: VTAdmin_SetGroupQuota"};
    // The status queries in between write their own lines; the quota lines keep their order.
    std::vector<std::string> ours;
    for (const std::string &line : lines)
        if (std::find(expected.begin(), expected.end(), line) != expected.end())
            ours.push_back(line);
    EXPECT_EQ(ours, expected);
    std::remove(log_path("quotatrace").c_str());
}
