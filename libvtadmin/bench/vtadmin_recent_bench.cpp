// Loading and saving the recent-connections file with n computers, up to 32,768 (a file of
// about 800 KB, close to the store's size limit): both grow linearly with n (the complexity
// line of the output), also when every computer has the same name.
#include "libutil/install_paths.h"
#include "libvtadmin/vtadmin_recent.h"
#include "libvtadmin/vtadmin_tree.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

// A private install root for the program, removed at exit.
struct bench_root {
    std::string path;
    bench_root() {
        char pattern[] = "/tmp/vtadmin-recent-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            std::abort();
        path = pattern;
        std::filesystem::create_directories(path + "/config");
        setenv("KXFSROOT", path.c_str(), 1);
        install_paths_reset_for_tests();
    }
    ~bench_root() { std::filesystem::remove_all(path); }
};

const bench_root &root() {
    static bench_root holder;
    return holder;
}

void write_list(int64_t count, bool same_name) {
    std::ofstream out(root().path + "/config/cfg.kxntadmin", std::ios::binary | std::ios::trunc);
    for (int64_t i = 0; i < count; ++i)
        out << "RecentConn" << i << "="
            << (same_name ? std::string("localhost") : "host-" + std::to_string(100000 + i))
            << "\r\n";
}

void load(benchmark::State &state, bool same_name) {
    write_list(state.range(0), same_name);
    for (auto _ : state) {
        VTAObj_RecentResetForTests();
        VTATree *tree = VTATree_Create();
        char msg[256];
        if (VTATree_Op(tree, VTA_OP_REFRESH, tree->VTA_Root, nullptr, 0, msg, sizeof msg) != 0) {
            state.SkipWithError(msg);
            break;
        }
        state.PauseTiming();
        VTATree_Destroy(&tree);
        state.ResumeTiming();
    }
    state.SetComplexityN(state.range(0));
}

void load_distinct(benchmark::State &state) {
    load(state, false);
}
void load_namesakes(benchmark::State &state) {
    load(state, true);
}

void save(benchmark::State &state) {
    write_list(state.range(0), false);
    VTAObj_RecentResetForTests();
    VTATree *tree = VTATree_Create();
    char msg[256];
    VTATree_Op(tree, VTA_OP_REFRESH, tree->VTA_Root, nullptr, 0, msg, sizeof msg);
    for (auto _ : state) {
        if (VTATree_Op(tree, VTA_OP_SAVE, tree->VTA_Root, nullptr, 0, msg, sizeof msg) != 0) {
            state.SkipWithError(msg);
            break;
        }
    }
    VTATree_Destroy(&tree);
    state.SetComplexityN(state.range(0));
}

} // namespace

BENCHMARK(load_distinct)
    ->RangeMultiplier(4)
    ->Range(1 << 9, 1 << 15)
    ->Complexity()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(load_namesakes)
    ->RangeMultiplier(4)
    ->Range(1 << 9, 1 << 15)
    ->Complexity()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(save)
    ->RangeMultiplier(4)
    ->Range(1 << 9, 1 << 15)
    ->Complexity()
    ->Unit(benchmark::kMillisecond);
