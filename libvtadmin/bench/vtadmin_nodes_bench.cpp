// Refreshing a "Clients" folder of 1,000 clients and a "Disks" folder of 1,000 disks from the
// in-process simulator, next to the bare library calls that fetch the same lists: the
// difference is the time spent in the tree (finding, inserting, updating nodes).
#include "clustersim/cluster.h"
#include "libutil/install_paths.h"
#include "libvtadmin/vorud.h"
#include "libvtadmin/vtadmin_computer.h"
#include "libvtadmin/vtadmin_fsm.h"
#include "libvtadmin/vtadmin_recent.h"
#include "libvtadmin/vtadmin_tree.h"
#include "libvtadmin/vtadminlib.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
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
struct bench_world {
    bench_world() {
        char pattern[] = "/tmp/kxnodesbench.XXXXXX";
        root = mkdtemp(pattern);
        std::filesystem::create_directories(root + "/config");
        setenv("KXFSROOT", root.c_str(), 1);
        setenv("TIMEDWAIT_VALUE", "30", 1);
        install_paths_reset_for_tests();
        char text[256];
        if (cluster_start(big_scenario(), root.c_str(), &cluster, text, sizeof text) != 0) {
            fprintf(stderr, "%s\n", text);
            std::abort();
        }
        VTAdmin_Init();
        tree = VTATree_Create();
        char host[] = "alpha";
        must(VTATree_Op(tree, VTA_OP_REFRESH, tree->VTA_Root, nullptr, 0, msg, sizeof msg));
        must(VTATree_Op(tree, VTA_OP_CREATE, tree->VTA_Root, host, sizeof host, msg, sizeof msg));
        computer = tree->VTA_Root->VTA_Child;
        must(VTATree_Op(tree, VTA_OP_REFRESH, computer, nullptr, 0, msg, sizeof msg));
        disks = VTAObj_FindChildOfType(tree, computer, VTA_OBJ_ALL_DISKS);
        VTAObj *file_systems = VTAObj_FindChildOfType(tree, computer, VTA_OBJ_ALL_FS);
        must(VTATree_Op(tree, VTA_OP_REFRESH, file_systems, nullptr, 0, msg, sizeof msg));
        fs = VTAObj_FindChildOfType(tree, file_systems, VTA_OBJ_FS_ACTIVE);
        must(VTATree_Op(tree, VTA_OP_REFRESH, fs, nullptr, 0, msg, sizeof msg));
        clients = VTAObj_FindChildOfType(tree, fs, VTA_OBJ_ALL_CLIENTS);
    }
    ~bench_world() {
        VTATree_Destroy(&tree);
        VTAdmin_Teardown();
        cluster_stop(cluster);
        std::filesystem::remove_all(root);
    }
    void must(int32_t rc) {
        if (rc != 0) {
            fprintf(stderr, "tree operation failed: %d %s\n", rc, msg);
            std::abort();
        }
    }
    static size_t count(VTAObj *folder) {
        size_t n = 0;
        for (VTAObj *c = folder->VTA_Child; c != nullptr; c = c->VTA_SibRight)
            ++n;
        return n;
    }

    std::string root;
    sim_cluster *cluster = nullptr;
    VTATree *tree = nullptr;
    VTAObj *computer = nullptr, *disks = nullptr, *fs = nullptr, *clients = nullptr;
    char msg[256] = "";
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
