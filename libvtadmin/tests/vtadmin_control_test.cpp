// Start, stop, fail-over and activation against the cluster simulator, in-process. Waiting
// calls run with time-outs of a few seconds.

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

// snfs1 active on alpha and standby on beta; scratch and spare stopped on alpha; archive on
// beta, whose name server keeps activation of it to itself; lonely only a standby; held on
// alpha, whose name server answers a stop of it without stopping it.
const char *const SCENARIO = R"({"hosts": [
    {"address": "127.0.0.1", "name": "alpha", "generation": 3,
     "control": [{"fs": "held", "stop": 0}]},
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
    {"name": "held", "managers": [{"host": "127.0.0.1", "state": "active"}]}]})";

class FsmControl : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TIMEDWAIT_VALUE", "5", 1);
        cluster_ = start_test_cluster(SCENARIO);
        ASSERT_NE(cluster_, nullptr);
        VTAdmin_Init();
        vtadmin_set_admin_for_tests(1);
        char message[VTA_MESSAGE_SIZE] = "";
        ns_ = VTAdmin_NSConnect("127.0.0.1", message);
        ASSERT_GE(ns_, 0) << message;
        beta_ = VTAdmin_NSConnect("beta", message);
        ASSERT_GE(beta_, 0) << message;
    }
    void TearDown() override {
        VTAdmin_Teardown();
        if (cluster_ != nullptr)
            cluster_stop(cluster_);
    }
    std::string state(const char *fs, const char *host) {
        return manager_state(cluster_, fs, host);
    }
    void fault(const char *target, const char *fault_text) {
        char text[256] = "";
        ASSERT_EQ(cluster_set_fault(cluster_, target, fault_text, text, sizeof text), 0) << text;
    }

    // What the name server behind `handle` lists for `fs`: "host:state" per manager.
    static std::string listed(int handle, const char *fs) {
        std::string text;
        for (const VTA_FSM_ENTRY &e : list_fsms(handle)) {
            if (std::strncmp(e.name, fs, sizeof e.name) != 0)
                continue;
            char host[256] = "";
            VTAdmin_AddrToString(&e.address, host);
            text += (text.empty() ? "" : " ") + std::string(host) + ":" +
                    (e.state == VTA_FSM_ACTIVE ? "active" : "standby");
        }
        return text;
    }

    sim_cluster *cluster_ = nullptr;
    int ns_ = -1;   // alpha's name server
    int beta_ = -1; // beta's
    char message_[VTA_MESSAGE_SIZE] = "";
};

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

// ---- Start and activate ----

TEST_F(FsmControl, StartTranslatesTheAnswer) {
    EXPECT_EQ(VTAdmin_FSMStart(ns_, "snfs1", "127.0.0.1", message_), VTA_EEXIST);
    EXPECT_STREQ(message_, "FSM is already running");
    EXPECT_EQ(VTAdmin_FSMStart(ns_, "scratch", "beta", message_), VTA_ENOTLOCAL);
    EXPECT_STREQ(message_, "FSM not local");
    EXPECT_EQ(VTAdmin_FSMStart(ns_, "nosuchfs", "alpha", message_), VTA_ENOCONFIG);
    EXPECT_STREQ(message_, "FSM not configured");

    EXPECT_EQ(state("scratch", "127.0.0.1"), "down");
    EXPECT_EQ(VTAdmin_FSMStart(ns_, "scratch", "alpha", message_), 0) << message_;
    EXPECT_EQ(state("scratch", "127.0.0.1"), "active");
    EXPECT_EQ(VTAdmin_FSMStart(-3, "scratch", "alpha", message_), -1);
}

TEST_F(FsmControl, AFailedExchangeIsAFailureWithTheTransportText) {
    fault("ns@127.0.0.2", "close_after:0");
    EXPECT_EQ(VTAdmin_FSMStart(ns_, "lonely", "beta", message_), -1);
    EXPECT_NE(message_[0], '\0');
    EXPECT_STRNE(message_, "Success");
    EXPECT_EQ(VTAdmin_FSMActivate(ns_, "lonely", "beta", message_), -1);
    EXPECT_NE(message_[0], '\0');
}

TEST_F(FsmControl, StartAndWaitOnceNeedsTwoSightings) {
    // Time-out 0 allows one search: the started FSM is seen running once only.
    VTA_FSM_SEARCH found;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(VTAdmin_FSMStartAndWaitOnce(ns_, "spare", "alpha", 0, &found, message_),
              VTA_ETIMEDOUT);
    EXPECT_LT(seconds_since(start), 0.9) << "no sleep after the only search";
    EXPECT_STREQ(message_, "A timeout occured.");
    EXPECT_EQ(found.run_state, 2u);
    EXPECT_EQ(state("spare", "127.0.0.1"), "active") << "started all the same";

    // With time to spare the second search, a second later, confirms it.
    ASSERT_EQ(VTAdmin_FSMStop(ns_, "spare", 0, message_), 0);
    ASSERT_EQ(state("spare", "127.0.0.1"), "down");
    EXPECT_EQ(VTAdmin_FSMStartAndWaitOnce(ns_, "spare", "alpha", 3, &found, message_), 0)
        << message_;
    EXPECT_STREQ(found.name, "spare");
    EXPECT_EQ(VTAdmin_FSMStartAndWaitOnce(ns_, "snfs1", "alpha", 3, &found, message_), VTA_EEXIST);
}

TEST_F(FsmControl, ActivateMakesTheStandbyActive) {
    EXPECT_EQ(VTAdmin_FSMActivate(ns_, "snfs1", "beta", message_), 0) << message_;
    EXPECT_EQ(listed(ns_, "snfs1"), "127.0.0.1:standby 127.0.0.2:active");
}

// An activation that changed nothing is a failure with the name server's reason.
TEST_F(FsmControl, ActivateRefusalsAreFailuresWithTheirTexts) {
    EXPECT_EQ(VTAdmin_FSMActivate(ns_, "archive", "beta", message_), VTA_ENOTSUP);
    EXPECT_STREQ(message_, "Internal use only");
    EXPECT_EQ(VTAdmin_FSMActivate(ns_, "archive", "alpha", message_), VTA_ENOTLOCAL);
    EXPECT_STREQ(message_, "FSM not local");
    EXPECT_EQ(VTAdmin_FSMActivate(ns_, "nosuchfs", "alpha", message_), VTA_ENOENT);
    EXPECT_STREQ(message_, "FSM Not found");

    cluster_edit(
        cluster_,
        [](sim_scenario &s, void *) {
            s.hosts[1].refused = {uint16_t(8 << 8 | 10), uint16_t(0 << 8 | 10)};
        },
        nullptr);
    EXPECT_EQ(VTAdmin_FSMActivate(ns_, "snfs1", "beta", message_), -1);
    EXPECT_STREQ(message_, "unsupported message");
    EXPECT_EQ(listed(beta_, "snfs1"), "127.0.0.1:active 127.0.0.2:standby") << "nothing changed";
    EXPECT_EQ(listed(ns_, "archive"), "127.0.0.2:active");
}

// A name server that never answers the activation ends the call in the reply time-out.
TEST_F(FsmControl, SilentActivateEndsInTheReplyTimeOut) {
    setenv("TIMEDWAIT_VALUE", "1", 1);
    fault("ns@127.0.0.2", "silent/10");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(VTAdmin_FSMActivate(ns_, "snfs1", "beta", message_), -1);
    EXPECT_LT(seconds_since(start), 2.0);
    EXPECT_STREQ(message_, "[Win32 error 10060]: Connection timed out");
}

// ---- Stop ----

TEST_F(FsmControl, StopWithoutAnActiveFsmContactsNoOtherHost) {
    // lonely's host would leave any request unanswered for the whole reply time-out.
    fault("ns@127.0.0.2", "silent");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(VTAdmin_FSMStop(ns_, "lonely", 0, message_), VTA_ENOENT);
    EXPECT_EQ(VTAdmin_FSMStop(ns_, "nosuchfs", 1, message_), VTA_ENOENT);
    EXPECT_LT(seconds_since(start), 2.0);
    EXPECT_EQ(state("lonely", "127.0.0.2"), "standby");
}

TEST_F(FsmControl, StopWithFailOverHandsOverToTheStandby) {
    EXPECT_EQ(VTAdmin_FSMStop(ns_, "snfs1", 1, message_), 0) << message_;
    EXPECT_EQ(state("snfs1", "127.0.0.1"), "down");
    EXPECT_EQ(state("snfs1", "127.0.0.2"), "active");
    EXPECT_EQ(VTAdmin_FSMStop(ns_, "archive", 0, message_), 0) << message_;
    EXPECT_EQ(state("archive", "127.0.0.2"), "down");
}

// Each wait ends as soon as its manager is down on its own host, not at the time-out.
TEST_F(FsmControl, StopAndWaitStopsTheStandbyFirstAndReturnsOnceBothAreDown) {
    VTAdmin_LogInit("stopwait");
    VTAdmin_LogEnable(VTA_LOG_GENERAL, VTA_LOG_MODULE);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(VTAdmin_FSMStopAndWait(ns_, "snfs1", 10, message_), 0) << message_;
    EXPECT_LT(seconds_since(start), 2.0);
    EXPECT_EQ(listed(beta_, "snfs1"), "");
    EXPECT_EQ(state("snfs1", "127.0.0.1"), "down");
    EXPECT_EQ(state("snfs1", "127.0.0.2"), "down");
    EXPECT_EQ(state("archive", "127.0.0.2"), "active") << "other names untouched";
    VTAdmin_Teardown();

    const auto lines = log_messages("stopwait");
    const auto at = [&](const std::string &text) {
        return std::find(lines.begin(), lines.end(), text) - lines.begin();
    };
    const long standby = at("VTA StartStopFsm: h='127.0.0.2' VTA action=2");
    const long active = at("VTA StartStopFsm: h='127.0.0.1' VTA action=2");
    ASSERT_LT(standby, static_cast<long>(lines.size()));
    ASSERT_LT(active, static_cast<long>(lines.size()));
    EXPECT_LT(standby, active);
    EXPECT_LT(at("WaitForStoppedFsm: Wait for snfs1 on 127.0.0.2 to go away."), active);
    EXPECT_LT(at("WaitForStoppedFsm: Need to find an fsm at 127.0.0.2"), active)
        << "the standby is looked for on its own host";
    EXPECT_LT(active, at("VTAdmin_FSMStopAndWait: SUCCESS"));
    std::remove(log_path("stopwait").c_str());
}

TEST_F(FsmControl, OtherThreadsUseTheCallersConnectionDuringTheWait) {
    // held keeps running after its stop is answered, so the wait lasts the whole time-out. A
    // second thread connecting to the same host shares the caller's slot, whose mutex the wait
    // does not hold between its polls.
    double waited = -1;
    std::thread stopper([&] {
        char message[VTA_MESSAGE_SIZE];
        const auto start = std::chrono::steady_clock::now();
        VTAdmin_FSMStopAndWait(ns_, "held", 3, message);
        waited = seconds_since(start);
    });
    usleep(300000);
    const auto start = std::chrono::steady_clock::now();
    char message[VTA_MESSAGE_SIZE] = "";
    const int shared = VTAdmin_NSConnect("127.0.0.1", message);
    VTA_FSM_ENTRY entry;
    const int listed = VTAdmin_NSListFsm(shared, 0, &entry, message);
    const double took = seconds_since(start);
    stopper.join();
    EXPECT_EQ(shared, ns_);
    EXPECT_EQ(listed, 0) << message;
    EXPECT_LT(took, 1.5) << "not held up for the rest of the wait";
    EXPECT_GT(waited, 2.5);
    EXPECT_EQ(VTAdmin_NSDisconnect(shared), 0);
}

// Asked through beta, the wait for alpha's manager still watches alpha's list: beta's would
// not list it at all and end the wait at once.
TEST_F(FsmControl, StopAndWaitThroughAnotherHostWatchesTheManagersHost) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(VTAdmin_FSMStopAndWait(beta_, "held", 2, message_), 0) << message_;
    EXPECT_GT(seconds_since(start), 1.8) << "waited for held, which never stops";
    EXPECT_LT(seconds_since(start), 4.0);
    EXPECT_EQ(state("held", "127.0.0.1"), "active");
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
        EXPECT_EQ(VTAdmin_FSMStopByHost(ns_, row.fs, row.host, message_), row.code) << name;
        if (row.code == VTA_EOF) {
            EXPECT_STREQ(message_, "FSM not found (incorrect name or not a backchannel IP address)")
                << name;
        }
        EXPECT_EQ(listed(beta_, "snfs1"), row.snfs1) << name;
        EXPECT_EQ(listed(beta_, "archive"), row.archive) << name;
    }
}

// Every action through alpha's name server, checked in what beta's lists.
TEST_F(FsmControl, ActionsAreSeenFromTheOtherHost) {
    EXPECT_EQ(VTAdmin_FSMStart(ns_, "scratch", "alpha", message_), 0) << message_;
    EXPECT_EQ(listed(beta_, "scratch"), "127.0.0.1:active");
    EXPECT_EQ(VTAdmin_FSMActivate(ns_, "snfs1", "beta", message_), 0) << message_;
    EXPECT_EQ(listed(beta_, "snfs1"), "127.0.0.1:standby 127.0.0.2:active");
    EXPECT_EQ(VTAdmin_FSMStop(ns_, "snfs1", 1, message_), 0) << message_;
    EXPECT_EQ(listed(beta_, "snfs1"), "127.0.0.1:active") << "fail-over back to alpha";
    EXPECT_EQ(VTAdmin_FSMStop(ns_, "archive", 0, message_), 0) << message_;
    EXPECT_EQ(listed(beta_, "archive"), "");
    EXPECT_EQ(VTAdmin_FSMStopByHost(ns_, "scratch", "alpha", message_), 0) << message_;
    EXPECT_EQ(listed(beta_, "scratch"), "");
    // And the other way round: beta's name server acting on alpha's managers.
    EXPECT_EQ(VTAdmin_FSMStart(beta_, "scratch", "alpha", message_), 0) << message_;
    EXPECT_EQ(listed(ns_, "scratch"), "127.0.0.1:active");
}

TEST_F(FsmControl, StartStopFsmRejectsAnUnknownAction) {
    VTA_FSM_ENTRY entry;
    ASSERT_TRUE(find_fsm(ns_, "snfs1", VTA_FSM_ACTIVE, &entry));
    EXPECT_EQ(StartStopFsm(&entry, 3, message_, sizeof message_), -1);
    EXPECT_STREQ(message_, "Invalid FSM Action (3)");
    char small[8];
    EXPECT_EQ(StartStopFsm(&entry, 0, small, sizeof small), -1);
    EXPECT_STREQ(small, "Invalid") << "bounded by the buffer";
    EXPECT_EQ(state("snfs1", "127.0.0.1"), "active");

    // Action 4 is a stop with fail-over aimed at the entry's port.
    EXPECT_EQ(StartStopFsm(&entry, VTA_ACTION_FAILOVER, message_, sizeof message_), 0);
    EXPECT_EQ(state("snfs1", "127.0.0.1"), "down");
    EXPECT_EQ(state("snfs1", "127.0.0.2"), "active");
    EXPECT_EQ(StartStopFsm(&entry, VTA_ACTION_START, message_, sizeof message_), 0);
    EXPECT_EQ(state("snfs1", "127.0.0.1"), "standby");
}

// ---- Privileges ----

TEST_F(FsmControl, WithoutTheAdministratorFlagEveryStateChangeIsRefused) {
    vtadmin_set_admin_for_tests(0);
    VTA_FSM_SEARCH found;
    EXPECT_EQ(VTAdmin_FSMStart(ns_, "scratch", "alpha", message_), VTA_EPERM);
    EXPECT_STREQ(message_, "Insufficient privileges");
    EXPECT_EQ(VTAdmin_FSMActivate(ns_, "snfs1", "beta", message_), VTA_EPERM);
    EXPECT_STREQ(message_, "Insufficient privileges.");
    EXPECT_EQ(VTAdmin_FSMStartAndWaitOnce(ns_, "spare", "alpha", 1, &found, message_), VTA_EPERM);
    EXPECT_EQ(VTAdmin_FSMStop(ns_, "snfs1", 1, message_), VTA_EPERM);
    EXPECT_EQ(VTAdmin_FSMStopAndWait(ns_, "snfs1", 1, message_), VTA_EPERM);
    EXPECT_STREQ(message_, "Permission denied");
    EXPECT_EQ(VTAdmin_FSMStopByHost(ns_, "archive", "alpha", message_), VTA_EPERM);
    EXPECT_STREQ(message_, "Permission denied");

    EXPECT_EQ(state("scratch", "127.0.0.1"), "down");
    EXPECT_EQ(state("spare", "127.0.0.1"), "down");
    EXPECT_EQ(state("snfs1", "127.0.0.1"), "active");
    EXPECT_EQ(state("snfs1", "127.0.0.2"), "standby");
    EXPECT_EQ(state("archive", "127.0.0.2"), "active");
}

// ---- Tracing ----

TEST_F(FsmControl, TraceAndErrorLinesOfStartAndStop) {
    VTAdmin_LogInit("controltrace");
    VTAdmin_LogEnable(VTA_LOG_ENTRY_EXIT, VTA_LOG_MODULE);
    const size_t before = log_messages("controltrace").size();
    const std::string hs = std::to_string(ns_);
    ASSERT_EQ(VTAdmin_FSMStart(ns_, "snfs1", "alpha", message_), VTA_EEXIST);
    ASSERT_EQ(VTAdmin_FSMStop(ns_, "archive", 0, message_), 0);
    const auto all = log_messages("controltrace");
    const std::vector<std::string> lines(all.begin() + static_cast<long>(before), all.end());
    const std::vector<std::string> expected = {
        "Enter: VTAdmin_FSMStart: nshandle=" + hs + " fsname='snfs1' hostname=alpha",
        "ERROR 3: VTAdmin_FSMStart: FSM is already running",
        "Enter: VTAdmin_FSMStop: hndl=" + hs + " fs='archive' fail=0",
        " Exit: VTAdmin_FSMStop: hndl=" + hs + " fs='archive' fail=0 FSMERR=0"};
    std::vector<std::string> ours;
    for (const std::string &line : lines)
        if (std::find(expected.begin(), expected.end(), line) != expected.end())
            ours.push_back(line);
    EXPECT_EQ(ours, expected);
    VTAdmin_Teardown();
    std::remove(log_path("controltrace").c_str());
}
