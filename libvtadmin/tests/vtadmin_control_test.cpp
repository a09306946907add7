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
// beta, whose name server keeps activation of it to itself; lonely only a standby.
const char *const SCENARIO = R"({"hosts": [
    {"address": "127.0.0.1", "name": "alpha", "generation": 3},
    {"address": "127.0.0.2", "name": "beta", "generation": 3,
     "control": [{"fs": "scratch", "start": 4}, {"fs": "archive", "activate": 6}]}],
  "filesystems": [
    {"name": "snfs1",
     "managers": [{"host": "127.0.0.1", "state": "active", "priority": 0},
                  {"host": "127.0.0.2", "state": "standby", "priority": 1}]},
    {"name": "scratch", "managers": [{"host": "127.0.0.1", "state": "down"}]},
    {"name": "spare", "managers": [{"host": "127.0.0.1", "state": "down"}]},
    {"name": "archive", "managers": [{"host": "127.0.0.2", "state": "active"}]},
    {"name": "lonely", "managers": [{"host": "127.0.0.2", "state": "standby"}]}]})";

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

    sim_cluster *cluster_ = nullptr;
    int ns_ = -1;
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
    EXPECT_EQ(state("snfs1", "127.0.0.2"), "active");
    EXPECT_EQ(state("snfs1", "127.0.0.1"), "standby");
    // Activation the name server keeps for itself did not happen: reported, not success.
    EXPECT_EQ(VTAdmin_FSMActivate(ns_, "archive", "beta", message_), VTA_ENOTSUP);
    EXPECT_STREQ(message_, "Internal use only");
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

TEST_F(FsmControl, StopAndWaitStopsTheStandbyFirst) {
    VTAdmin_LogInit("stopwait");
    VTAdmin_LogEnable(VTA_LOG_GENERAL, VTA_LOG_MODULE);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(VTAdmin_FSMStopAndWait(ns_, "snfs1", 2, message_), 0) << message_;
    EXPECT_LT(seconds_since(start), 6.0);
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
    EXPECT_LT(active, at("VTAdmin_FSMStopAndWait: SUCCESS"));
    std::remove(log_path("stopwait").c_str());
}

TEST_F(FsmControl, OtherThreadsUseTheCallersConnectionDuringTheWait) {
    // The wait for the standby lasts the whole time-out (the active FSM still runs here). A
    // second thread connecting to the same host shares the caller's slot, whose mutex the
    // wait does not hold between its polls.
    double waited = -1;
    std::thread stopper([&] {
        char message[VTA_MESSAGE_SIZE];
        const auto start = std::chrono::steady_clock::now();
        VTAdmin_FSMStopAndWait(ns_, "snfs1", 3, message);
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

TEST_F(FsmControl, StopByHostMatchesThisMachineThroughLoopback) {
    // alpha resolves (hosts file) to 127.0.0.1; archive is listed at 127.0.0.2, an address of
    // this machine, so it counts as running there.
    EXPECT_EQ(VTAdmin_FSMStopByHost(ns_, "archive", "alpha", message_), 0) << message_;
    EXPECT_EQ(state("archive", "127.0.0.2"), "down");
    EXPECT_EQ(VTAdmin_FSMStopByHost(ns_, "nosuchfs", "alpha", message_), VTA_EOF);
    EXPECT_STREQ(message_, "FSM not found (incorrect name or not a backchannel IP address)");
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
