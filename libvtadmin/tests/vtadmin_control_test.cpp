// Start, stop, fail-over and activation against the cluster simulator, in-process. Waiting calls
// run with time-outs of a few seconds.

#include "support_cluster.h"
#include "support_vtadmin.h"

#include "libvtadmin/vtadmin_control.h"
#include "libvtadmin/vtadmin_trace.h"
#include "libvtadmin/vtadminlib.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

// snfs1 active on alpha and standby on beta; scratch and spare stopped on alpha; archive on beta,
// whose name server keeps activation of it to itself; lonely only a standby; held on alpha, whose
// name server answers a stop of it without stopping it; stuck stopped on alpha, whose name server
// answers a start of it without starting it.
const char *const SCENARIO = R"({"hosts": [
    {"address": "127.0.0.1", "name": "alpha", "generation": 3,
     "control": [{"fs": "held", "stop": 0}, {"fs": "stuck", "start_once": 0}]},
    {"address": "127.0.0.2", "name": "beta", "generation": 3,
     "control": [{"fs": "scratch", "start": 4}, {"fs": "archive", "activate": 6}]}],
  "filesystems": [
    {"name": "snfs1",
     "managers": [{"host": "127.0.0.1", "state": "active", "priority": 0},
                  {"host": "127.0.0.2", "state": "standby", "priority": 1}]},
    {"name": "scratch", "managers": [{"host": "127.0.0.1", "state": "down"}]},
    {"name": "spare", "managers": [{"host": "127.0.0.1", "state": "down"}]},
    {"name": "archive", "managers": [{"host": "127.0.0.2", "state": "active"}]},
    {"name": "lonely", "managers": [{"host": "127.0.0.2", "state": "standby"}]},
    {"name": "held", "managers": [{"host": "127.0.0.1", "state": "active"}]},
    {"name": "stuck", "managers": [{"host": "127.0.0.1", "state": "down"}]}]})";

class FsmControl : public ClusterTest {
protected:
    std::string scenario_json() const override { return SCENARIO; }
    void SetUp() override {
        ClusterTest::SetUp();
        beta_ = VTAdmin_NSConnect("beta", msg_);
        ASSERT_GE(beta_, 0) << msg_;
    }

    // What the name server behind `handle` lists for `fs`: "host:state" per manager.
    static std::string listed(int handle, const char *fs) {
        std::string text;
        for (const VTA_FSM_ENTRY &e : list_fsms(handle))
            if (std::strncmp(e.name, fs, sizeof e.name) == 0)
                text += (text.empty() ? "" : " ") + address_text(e.address) + ":" +
                        (e.state == VTA_FSM_ACTIVE ? "active" : "standby");
        return text;
    }

    int beta_ = -1; // beta's name server (ns_ is alpha's)
};

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

// ---- Start and activate ----

// A start or activation that changed nothing is a failure with the name server's reason.
TEST_F(FsmControl, StartAndActivateTranslateTheAnswer) {
    const struct {
        bool start; // else activate
        const char *fs, *host;
        int rc;
        const char *message;
    } rows[] = {
        {true, "snfs1", "127.0.0.1", VTA_EEXIST, "FSM is already running"},
        {true, "scratch", "beta", VTA_ENOTLOCAL, "FSM not local"},
        {true, "nosuchfs", "alpha", VTA_ENOCONFIG, "FSM not configured"},
        {false, "archive", "beta", VTA_ENOTSUP, "Internal use only"},
        {false, "archive", "alpha", VTA_ENOTLOCAL, "FSM not local"},
        {false, "nosuchfs", "alpha", VTA_ENOENT, "FSM Not found"},
    };
    for (const auto &row : rows) {
        const std::string name = std::string(row.start ? "start " : "activate ") + row.fs;
        EXPECT_EQ(row.start ? VTAdmin_FSMStart(ns_, row.fs, row.host, msg_)
                            : VTAdmin_FSMActivate(ns_, row.fs, row.host, msg_),
                  row.rc)
            << name;
        EXPECT_STREQ(msg_, row.message) << name;
    }
    EXPECT_EQ(state("scratch", "127.0.0.1"), "down");
    EXPECT_EQ(VTAdmin_FSMStart(ns_, "scratch", "alpha", msg_), 0) << msg_;
    EXPECT_EQ(state("scratch", "127.0.0.1"), "active");
    EXPECT_EQ(VTAdmin_FSMStart(-3, "scratch", "alpha", msg_), -1);

    // beta refuses every activate form.
    edit([](sim_scenario &s, void *) {
        s.hosts[1].refused = {uint16_t(8 << 8 | 10), uint16_t(0 << 8 | 10)};
    });
    EXPECT_EQ(VTAdmin_FSMActivate(ns_, "snfs1", "beta", msg_), -1);
    EXPECT_STREQ(msg_, "unsupported message");
    EXPECT_EQ(listed(beta_, "snfs1"), "127.0.0.1:active 127.0.0.2:standby") << "nothing changed";
}

TEST_F(FsmControl, StartAndWaitOnceNeedsTwoSightings) {
    // Time-out 0 allows one search: the started FSM is seen running once only.
    VTA_FSM_SEARCH found;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(VTAdmin_FSMStartAndWaitOnce(ns_, "spare", "alpha", 0, &found, msg_), VTA_ETIMEDOUT);
    EXPECT_LT(seconds_since(start), 0.9) << "no sleep after the only search";
    EXPECT_STREQ(msg_, "A timeout occured.");
    EXPECT_EQ(found.run_state, 2u);
    EXPECT_EQ(state("spare", "127.0.0.1"), "active") << "started all the same";

    // With time to spare the second search, a second later, confirms it.
    ASSERT_EQ(VTAdmin_FSMStop(ns_, "spare", 0, msg_), 0);
    ASSERT_EQ(state("spare", "127.0.0.1"), "down");
    EXPECT_EQ(VTAdmin_FSMStartAndWaitOnce(ns_, "spare", "alpha", 3, &found, msg_), 0) << msg_;
    EXPECT_STREQ(found.name, "spare");
    EXPECT_EQ(VTAdmin_FSMStartAndWaitOnce(ns_, "snfs1", "alpha", 3, &found, msg_), VTA_EEXIST);
}

// ---- Stop ----

TEST_F(FsmControl, StopWithoutAnActiveFsmContactsNoOtherHost) {
    // lonely's host would leave any request unanswered for the whole reply time-out.
    fault("ns@127.0.0.2", "silent");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(VTAdmin_FSMStop(ns_, "lonely", 0, msg_), VTA_ENOENT);
    EXPECT_EQ(VTAdmin_FSMStop(ns_, "nosuchfs", 1, msg_), VTA_ENOENT);
    EXPECT_LT(seconds_since(start), 2.0);
    EXPECT_EQ(state("lonely", "127.0.0.2"), "standby");
}

// Each wait ends as soon as its manager is down on its own host, not at the time-out.
TEST_F(FsmControl, StopAndWaitStopsTheStandbyFirstAndReturnsOnceBothAreDown) {
    start_trace("stopwait", {VTA_LOG_GENERAL});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(VTAdmin_FSMStopAndWait(ns_, "snfs1", 10, msg_), 0) << msg_;
    EXPECT_LT(seconds_since(start), 2.0);
    EXPECT_EQ(listed(beta_, "snfs1"), "");
    EXPECT_EQ(state("snfs1", "127.0.0.1"), "down");
    EXPECT_EQ(state("snfs1", "127.0.0.2"), "down");
    EXPECT_EQ(state("archive", "127.0.0.2"), "active") << "other names untouched";
    VTAdmin_Teardown();

    // The standby is looked for on its own host.
    expect_traced("stopwait", 0,
                  {"VTA StartStopFsm: h='127.0.0.2' VTA action=2",
                   "WaitForStoppedFsm: Wait for snfs1 on 127.0.0.2 to go away.",
                   "WaitForStoppedFsm: Need to find an fsm at 127.0.0.2",
                   "VTA StartStopFsm: h='127.0.0.1' VTA action=2",
                   "VTAdmin_FSMStopAndWait: SUCCESS"});
}

TEST_F(FsmControl, OtherThreadsUseTheCallersConnectionDuringTheWait) {
    // held keeps running after its stop is answered, so the wait lasts the whole time-out. A second
    // thread connecting to the same host shares the caller's slot, whose mutex the wait does not
    // hold between its polls.
    double waited = -1;
    std::thread stopper([&] {
        char message[VTA_MESSAGE_SIZE];
        const auto start = std::chrono::steady_clock::now();
        VTAdmin_FSMStopAndWait(ns_, "held", 3, message);
        waited = seconds_since(start);
    });
    usleep(300000);
    const auto start = std::chrono::steady_clock::now();
    const int shared = VTAdmin_NSConnect("127.0.0.1", msg_);
    VTA_FSM_ENTRY entry;
    const int listed = VTAdmin_NSListFsm(shared, 0, &entry, msg_);
    const double took = seconds_since(start);
    stopper.join();
    EXPECT_EQ(shared, ns_);
    EXPECT_EQ(listed, 0) << msg_;
    EXPECT_LT(took, 1.5) << "not held up for the rest of the wait";
    EXPECT_GT(waited, 2.5);
    EXPECT_EQ(VTAdmin_NSDisconnect(shared), 0);
}

// Asked through beta, the wait for alpha's manager still watches alpha's list: beta's would not
// list it at all and end the wait at once.
TEST_F(FsmControl, StopAndWaitThroughAnotherHostWatchesTheManagersHost) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(VTAdmin_FSMStopAndWait(beta_, "held", 2, msg_), 0) << msg_;
    EXPECT_GT(seconds_since(start), 1.8) << "waited for held, which never stops";
    EXPECT_LT(seconds_since(start), 4.0);
    EXPECT_EQ(state("held", "127.0.0.1"), "active");
}

// The progress function sees the seconds waited and can end a wait at once: a console's Cancel.
struct WaitWatcher {
    int interrupt_after = 0; // seconds waited
    std::vector<int> reports;
    static int Report(void *context, int kind, int count) {
        auto *self = static_cast<WaitWatcher *>(context);
        EXPECT_EQ(kind, VTA_PROGRESS_WAITED);
        self->reports.push_back(count);
        return count >= self->interrupt_after ? 1 : 0;
    }
};

TEST_F(FsmControl, TheProgressFunctionInterruptsAWaitingStartOrStop) {
    const struct {
        const char *name;
        int interrupt_after;
        double at_least, at_most; // seconds
    } rows[] = {
        {"at once", 0, 0.0, 0.9},
        {"after two seconds", 2, 1.9, 3.5},
    };
    for (const auto &row : rows) {
        for (bool start : {true, false}) {
            WaitWatcher watcher{row.interrupt_after, {}};
            VTAdmin_SetProgress(&WaitWatcher::Report, &watcher);
            const auto began = std::chrono::steady_clock::now();
            VTA_FSM_SEARCH found{};
            msg_[0] = '\0';
            // Neither stuck's start nor held's stop ever shows: each would wait 12.5 hours.
            const int rc =
                start ? VTAdmin_FSMStartAndWaitOnce(ns_, "stuck", "alpha", 45000, &found, msg_)
                      : VTAdmin_FSMStopAndWait(ns_, "held", 45000, msg_);
            const double took = seconds_since(began);
            VTAdmin_SetProgress(nullptr, &watcher);
            const std::string what = std::string(start ? "start " : "stop ") + row.name;
            EXPECT_EQ(rc, VTA_EINTR) << what;
            EXPECT_STREQ(msg_, "The operation was interrupted.") << what;
            EXPECT_GE(took, row.at_least) << what;
            EXPECT_LT(took, row.at_most) << what;
            ASSERT_FALSE(watcher.reports.empty()) << what;
            EXPECT_EQ(watcher.reports.front(), 0) << what;
            EXPECT_EQ(watcher.reports.back(), row.interrupt_after) << what;
            EXPECT_TRUE(std::is_sorted(watcher.reports.begin(), watcher.reports.end())) << what;
        }
    }
    EXPECT_EQ(state("held", "127.0.0.1"), "active");
    EXPECT_EQ(state("stuck", "127.0.0.1"), "down");
}

TEST_F(FsmControl, WaitForStoppedFsmCountsTheTimeOutDown) {
    const kx_socket socket = vorud_slot_socket(ns_);
    int remaining = 1;
    vorud_slot_lock(ns_);
    EXPECT_EQ(WaitForStoppedFsm(socket, "snfs1", "127.0.0.1", &remaining, 1), VTA_ETIMEDOUT);
    EXPECT_EQ(remaining, 0);
    remaining = 3;
    EXPECT_EQ(WaitForStoppedFsm(socket, "scratch", "127.0.0.1", &remaining, 1), 0)
        << "stopped at once";
    EXPECT_EQ(WaitForStoppedFsm(socket, "nosuchfs", "localhost", &remaining, 1), 0) << "not listed";
    EXPECT_EQ(remaining, 3);
    vorud_slot_unlock(ns_);
}

// Stop by host acts on the manager of that host only; 127.0.0.2 is beta, not this machine.
TEST_F(FsmControl, StopByHostStopsExactlyTheManagerOnThatHost) {
    const struct {
        const char *fs;
        const char *host; // null: this machine
        int code;
        const char *snfs1; // as beta lists it afterwards
        const char *archive;
    } rows[] = {
        {"snfs1", "beta", 0, "127.0.0.1:active", "127.0.0.2:active"},
        {"archive", "alpha", VTA_EOF, "127.0.0.1:active", "127.0.0.2:active"},
        {"archive", "localhost", VTA_EOF, "127.0.0.1:active", "127.0.0.2:active"},
        {"snfs1", "127.0.0.2", VTA_EOF, "127.0.0.1:active", "127.0.0.2:active"},
        {"archive", "127.0.0.2", 0, "127.0.0.1:active", ""},
        {"snfs1", nullptr, 0, "", ""},
        {"nosuchfs", "alpha", VTA_EOF, "", ""},
    };
    for (const auto &row : rows) {
        const std::string name = std::string(row.fs) + " on " + (row.host ? row.host : "(none)");
        EXPECT_EQ(VTAdmin_FSMStopByHost(ns_, row.fs, row.host, msg_), row.code) << name;
        if (row.code == VTA_EOF) {
            EXPECT_STREQ(msg_, "FSM not found (incorrect name or not a backchannel IP address)")
                << name;
        }
        EXPECT_EQ(listed(beta_, "snfs1"), row.snfs1) << name;
        EXPECT_EQ(listed(beta_, "archive"), row.archive) << name;
    }
}

// Every action through alpha's name server, checked in what beta's lists.
TEST_F(FsmControl, ActionsAreSeenFromTheOtherHost) {
    EXPECT_EQ(VTAdmin_FSMStart(ns_, "scratch", "alpha", msg_), 0) << msg_;
    EXPECT_EQ(listed(beta_, "scratch"), "127.0.0.1:active");
    EXPECT_EQ(VTAdmin_FSMActivate(ns_, "snfs1", "beta", msg_), 0) << msg_;
    EXPECT_EQ(listed(beta_, "snfs1"), "127.0.0.1:standby 127.0.0.2:active");
    EXPECT_EQ(VTAdmin_FSMStop(ns_, "snfs1", 1, msg_), 0) << msg_;
    EXPECT_EQ(listed(beta_, "snfs1"), "127.0.0.1:active") << "fail-over back to alpha";
    EXPECT_EQ(state("snfs1", "127.0.0.2"), "down");
    EXPECT_EQ(VTAdmin_FSMStop(ns_, "archive", 0, msg_), 0) << msg_;
    EXPECT_EQ(listed(beta_, "archive"), "");
    EXPECT_EQ(VTAdmin_FSMStopByHost(ns_, "scratch", "alpha", msg_), 0) << msg_;
    EXPECT_EQ(listed(beta_, "scratch"), "");
    // And the other way round: beta's name server acting on alpha's managers.
    EXPECT_EQ(VTAdmin_FSMStart(beta_, "scratch", "alpha", msg_), 0) << msg_;
    EXPECT_EQ(listed(ns_, "scratch"), "127.0.0.1:active");
}

TEST_F(FsmControl, StartStopFsmRejectsAnUnknownAction) {
    VTA_FSM_ENTRY entry;
    ASSERT_TRUE(find_fsm(ns_, "snfs1", VTA_FSM_ACTIVE, &entry));
    EXPECT_EQ(StartStopFsm(&entry, 3, msg_, sizeof msg_), -1);
    EXPECT_STREQ(msg_, "Invalid FSM Action (3)");
    char small[8];
    EXPECT_EQ(StartStopFsm(&entry, 0, small, sizeof small), -1);
    EXPECT_STREQ(small, "Invalid") << "bounded by the buffer";
    EXPECT_EQ(state("snfs1", "127.0.0.1"), "active");

    // Action 4 is a stop with fail-over aimed at the entry's port.
    EXPECT_EQ(StartStopFsm(&entry, VTA_ACTION_FAILOVER, msg_, sizeof msg_), 0);
    EXPECT_EQ(state("snfs1", "127.0.0.1"), "down");
    EXPECT_EQ(state("snfs1", "127.0.0.2"), "active");
    EXPECT_EQ(StartStopFsm(&entry, VTA_ACTION_START, msg_, sizeof msg_), 0);
    EXPECT_EQ(state("snfs1", "127.0.0.1"), "standby");
}

// ---- Privileges and tracing ----

TEST_F(FsmControl, WithoutTheAdministratorFlagEveryStateChangeIsRefused) {
    vtadmin_set_admin_for_tests(0);
    VTA_FSM_SEARCH found;
    EXPECT_EQ(VTAdmin_FSMStart(ns_, "scratch", "alpha", msg_), VTA_EPERM);
    EXPECT_STREQ(msg_, "Insufficient privileges");
    EXPECT_EQ(VTAdmin_FSMActivate(ns_, "snfs1", "beta", msg_), VTA_EPERM);
    EXPECT_STREQ(msg_, "Insufficient privileges.");
    EXPECT_EQ(VTAdmin_FSMStartAndWaitOnce(ns_, "spare", "alpha", 1, &found, msg_), VTA_EPERM);
    EXPECT_EQ(VTAdmin_FSMStop(ns_, "snfs1", 1, msg_), VTA_EPERM);
    EXPECT_EQ(VTAdmin_FSMStopAndWait(ns_, "snfs1", 1, msg_), VTA_EPERM);
    EXPECT_STREQ(msg_, "Permission denied");
    EXPECT_EQ(VTAdmin_FSMStopByHost(ns_, "archive", "alpha", msg_), VTA_EPERM);
    EXPECT_STREQ(msg_, "Permission denied");
    for (const char *fs_host : {"scratch", "spare"})
        EXPECT_EQ(state(fs_host, "127.0.0.1"), "down") << fs_host;
    EXPECT_EQ(listed(beta_, "snfs1"), "127.0.0.1:active 127.0.0.2:standby");
    EXPECT_EQ(state("archive", "127.0.0.2"), "active");
}

TEST_F(FsmControl, TraceAndErrorLinesOfStartAndStop) {
    const size_t from = start_trace("controltrace");
    const std::string hs = std::to_string(ns_);
    ASSERT_EQ(VTAdmin_FSMStart(ns_, "snfs1", "alpha", msg_), VTA_EEXIST);
    ASSERT_EQ(VTAdmin_FSMStop(ns_, "archive", 0, msg_), 0);
    expect_traced("controltrace", from,
                  {"Enter: VTAdmin_FSMStart: nshandle=" + hs + " fsname='snfs1' hostname=alpha",
                   "ERROR 3: VTAdmin_FSMStart: FSM is already running",
                   "Enter: VTAdmin_FSMStop: hndl=" + hs + " fs='archive' fail=0",
                   " Exit: VTAdmin_FSMStop: hndl=" + hs + " fs='archive' fail=0 FSMERR=0"});
}
