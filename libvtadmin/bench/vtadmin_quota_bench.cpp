// Listing 10,000 user quotas of the in-process simulator: refreshing "Users & Groups" in the
// tree, walking them through the library calls, and the raw quota requests of the same walk
// on one FSM socket. Tree minus library is the time spent finding and updating nodes; library
// minus raw is the time of the status query each walking call makes for the block size.
#include "support_bench.h"

#include "libfsmcomm/fsm_requests.h"
#include "libfsmcomm/quota_requests.h"
#include "libvtadmin/vtadmin_computer.h"
#include "libvtadmin/vtadmin_quota.h"
#include "libvtadmin/vtadmin_tree.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

constexpr int kQuotas = 10000;

sim_scenario quota_scenario() {
    sim_scenario s;
    sim_host host;
    host.address = "127.0.0.1";
    host.name = "alpha";
    s.hosts.push_back(host);
    sim_filesystem fs;
    fs.name = "big";
    fs.total_blocks = 1000000;
    fs.quotas_enabled = true;
    sim_manager manager;
    manager.host = "127.0.0.1";
    manager.state = SIM_ACTIVE;
    fs.managers.push_back(manager);
    for (int i = 0; i < kQuotas; ++i) {
        sim_quota q;
        q.name = "user" + std::to_string(100000 + i);
        q.used = uint64_t(i % 300);
        q.hard = 256;
        q.soft = 200;
        q.grace = 1440;
        fs.user_quotas.push_back(q);
    }
    s.filesystems.push_back(fs);
    return s;
}

struct quota_world : bench_tree_world {
    quota_world() : bench_tree_world(quota_scenario()) {
        VTAObj *quotas = VTAObj_FindChildOfType(tree, fs, VTA_OBJ_ALL_QUOTAS);
        users_and_groups = VTAObj_FindChildOfType(tree, quotas, VTA_OBJ_QUOTAS_UG);
        refresh(users_and_groups);
        char text[256] = "";
        uint32_t tap = 0;
        raw = fsm_connect("127.0.0.1", "big", text, sizeof text, &tap);
        if (raw == invalid_socket) {
            fprintf(stderr, "%s\n", text);
            std::abort();
        }
    }
    ~quota_world() { close(raw); }
    VTAObj *users_and_groups = nullptr;
    kx_socket raw = invalid_socket;
};

quota_world &world() {
    static quota_world w;
    return w;
}

void BM_RefreshUsersAndGroups(benchmark::State &state) {
    quota_world &w = world();
    for (auto _ : state)
        w.refresh(w.users_and_groups);
    state.counters["nodes"] = double(bench_tree_world::count(w.users_and_groups));
}

// The library calls of the refresh without the tree: FSM connection, quota state, both walks.
void BM_QuotaWalkLibrary(benchmark::State &state) {
    quota_world &w = world();
    int listed = 0;
    for (auto _ : state) {
        int fsm = -1;
        w.must(VTAObj_ConnectFsm(w.users_and_groups, &fsm, nullptr, w.msg, sizeof w.msg));
        if (VTAdmin_GetQuotasState(fsm) != 1)
            std::abort();
        listed = 0;
        VTA_QUOTA q{};
        while (VTAdmin_ListUserQuotas(fsm, &q) == 0)
            ++listed;
        VTA_QUOTA g{};
        while (VTAdmin_ListGroupQuotas(fsm, &g) == 0)
            ++listed;
        VTAObj_DisconnectFsm(&fsm);
    }
    state.counters["entries"] = listed;
}

// The quota requests alone on an open FSM socket: quota state, then one quota operation per
// entry and one for the end of each walk.
void BM_QuotaWalkRaw(benchmark::State &state) {
    quota_world &w = world();
    int listed = 0;
    for (auto _ : state) {
        uint32_t quota_state = 0;
        char text[64];
        int error = 0;
        if (fsm_quota_state(w.raw, 0, 0, &quota_state, text, sizeof text, &error) != 0)
            std::abort();
        listed = 0;
        for (uint32_t operation : {FSM_QUOTA_NEXT_USER, FSM_QUOTA_NEXT_GROUP}) {
            char name[FSM_QUOTA_NAME_SIZE] = "";
            for (;;) {
                uint64_t hard = 0, soft = 0, used = 0;
                uint32_t grace = 0, remaining = 0, enabled = 0, result = 0;
                if (fsm_quota_op(w.raw, operation, name, &hard, &soft, &grace, &remaining, &used,
                                 &enabled, &result) != 0)
                    std::abort();
                if (enabled != FSM_QUOTA_ENABLED || result != FSM_QUOTA_DONE)
                    break;
                ++listed;
            }
        }
    }
    state.counters["entries"] = listed;
}

BENCHMARK(BM_RefreshUsersAndGroups)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QuotaWalkLibrary)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QuotaWalkRaw)->Unit(benchmark::kMillisecond);

} // namespace
