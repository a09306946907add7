// Refreshing a "Clients" folder of 1,000 clients and a "Disks" folder of 1,000 disks from the
// in-process simulator, next to the bare library calls that fetch the same lists: the
// difference is the time spent in the tree (finding, inserting, updating nodes).
#include "support_bench.h"

#include "clustersim/cluster.h"
#include "libvtadmin/vorud.h"
#include "libvtadmin/vtadmin_computer.h"
#include "libvtadmin/vtadmin_fsm.h"
#include "libvtadmin/vtadmin_recent.h"
#include "libvtadmin/vtadmin_tree.h"
#include "libvtadmin/vtadminlib.h"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace {

constexpr int kItems = 1000;

sim_scenario big_scenario() {
    sim_scenario s;
    sim_host host;
    host.address = "127.0.0.1";
    host.name = "alpha";
    for (int i = 0; i < kItems; ++i) {
        sim_disk disk;
        disk.label = "disk" + std::to_string(10000 + i);
        disk.serial = "SN" + std::to_string(i);
        disk.size = uint64_t{1} << 36;
        host.disks.push_back(disk);
    }
    s.hosts.push_back(host);
    sim_filesystem fs;
    fs.name = "big";
    fs.total_blocks = 1000000;
    fs.status.capability_flags = 0x1000;
    sim_manager manager;
    manager.host = "127.0.0.1";
    manager.state = SIM_ACTIVE;
    fs.managers.push_back(manager);
    for (int i = 0; i < kItems; ++i) {
        sim_client client;
        client.ip = "127.1." + std::to_string(i / 250) + "." + std::to_string(1 + i % 250);
        client.local = client.ip;
        client.type = 3;
        client.build = "bench";
        fs.clients.push_back(client);
    }
    s.filesystems.push_back(fs);
    return s;
}

// One cluster, library and tree for the whole program; the folders are opened once.
struct bench_world : bench_tree_world {
    bench_world() : bench_tree_world(big_scenario()) {
        disks = VTAObj_FindChildOfType(tree, computer, VTA_OBJ_ALL_DISKS);
        clients = VTAObj_FindChildOfType(tree, fs, VTA_OBJ_ALL_CLIENTS);
    }
    VTAObj *disks = nullptr, *clients = nullptr;
};

bench_world &world() {
    static bench_world w;
    return w;
}

void BM_RefreshClientsFolder(benchmark::State &state) {
    bench_world &w = world();
    for (auto _ : state)
        w.must(VTATree_Op(w.tree, VTA_OP_REFRESH, w.clients, nullptr, 0, w.msg, sizeof w.msg));
    state.counters["nodes"] = double(bench_world::count(w.clients));
}

// The same exchanges without the tree: FSM connection, client list, release.
void BM_ClientListWireOnly(benchmark::State &state) {
    bench_world &w = world();
    int listed = 0;
    for (auto _ : state) {
        int fsm = -1;
        w.must(VTAObj_ConnectFsm(w.fs, &fsm, nullptr, w.msg, sizeof w.msg));
        VTA_CLIENT *list = nullptr;
        listed = VTAdmin_GetClientList(fsm, &list);
        VTAdmin_FreeClientList(list);
        VTAObj_DisconnectFsm(&fsm);
    }
    state.counters["clients"] = listed;
}

void BM_RefreshDisksFolder(benchmark::State &state) {
    bench_world &w = world();
    for (auto _ : state)
        w.must(VTATree_Op(w.tree, VTA_OP_REFRESH, w.disks, nullptr, 0, w.msg, sizeof w.msg));
    state.counters["nodes"] = double(bench_world::count(w.disks));
}

// The same pages without the tree: name-server connection, disk pages, release.
void BM_DiskPagesWireOnly(benchmark::State &state) {
    bench_world &w = world();
    std::vector<VTA_DISK> records(2 * kItems);
    int total = 0;
    for (auto _ : state) {
        VTAObj *computer = nullptr;
        VTA_CONN_INFO *conn = nullptr;
        w.must(VTAObj_ConnectComputer(w.disks, &computer, &conn, w.msg, sizeof w.msg));
        total = 0;
        int capacity = 16, got = 0;
        while (VTAdmin_NSGetDisks(static_cast<int>(conn->reserved), total, capacity - total,
                                  records.data() + total, &got, nullptr, w.msg) == 0 &&
               got > 0) {
            total += got;
            if (total == capacity)
                capacity *= 2;
        }
        VTAObj_DisconnectComputer(computer, nullptr, 0);
    }
    state.counters["disks"] = total;
}

BENCHMARK(BM_RefreshClientsFolder)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ClientListWireOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RefreshDisksFolder)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DiskPagesWireOnly)->Unit(benchmark::kMillisecond);

} // namespace
