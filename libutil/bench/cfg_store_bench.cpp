// Cost per line of reading, finding and rewriting a configuration file of 10,000 key=value
// lines. Rewrites are measured on a memory file system and on the disk under /tmp, since each
// rewrite syncs its temporary file before moving it into place.
#include "libutil/cfg_store.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

constexpr int kLines = 10000;

// A private directory with a 10,000-line file, removed again at the end of the benchmark.
class bench_file {
public:
    explicit bench_file(const char *base) {
        std::string pattern = std::string(base) + "/cfg_store_bench_XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr)
            std::abort();
        dir_ = pattern;
        path_ = dir_ + "/cfg.bench";
        std::ofstream out(path_, std::ios::binary);
        for (int i = 0; i < kLines; ++i)
            out << "RecentConn" << i << "=host-" << i << ".cluster.example\r\n";
    }
    ~bench_file() { fs::remove_all(dir_); }
    const char *path() const { return path_.c_str(); }

private:
    std::string dir_;
    std::string path_;
};

void per_line(benchmark::State &state) {
    state.counters["per_line"] = benchmark::Counter(
        kLines, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_Read(benchmark::State &state) {
    bench_file file("/dev/shm");
    for (auto _ : state) {
        cfg_store *store = nullptr;
        if (cfg_open(file.path(), 1, 2, &store, nullptr, 0) != 0)
            state.SkipWithError("open failed");
        cfg_close(&store, 0, nullptr, 0);
    }
    per_line(state);
}
BENCHMARK(BM_Read)->Unit(benchmark::kMillisecond);

// Finding the last key walks the whole list.
void BM_FindLast(benchmark::State &state) {
    bench_file file("/dev/shm");
    cfg_store *store = nullptr;
    if (cfg_open(file.path(), 1, 2, &store, nullptr, 0) != 0)
        state.SkipWithError("open failed");
    const std::string key = "RecentConn" + std::to_string(kLines - 1);
    for (auto _ : state) {
        int index = -1;
        benchmark::DoNotOptimize(cfg_find(store, key.c_str(), nullptr, nullptr, nullptr, &index));
        benchmark::DoNotOptimize(index);
    }
    cfg_close(&store, 0, nullptr, 0);
    per_line(state);
}
BENCHMARK(BM_FindLast)->Unit(benchmark::kMicrosecond);

// Only the write-back is timed; the open before it is not.
void BM_Rewrite(benchmark::State &state, const char *base) {
    bench_file file(base);
    for (auto _ : state) {
        state.PauseTiming();
        cfg_store *store = nullptr;
        if (cfg_open(file.path(), 7, 2, &store, nullptr, 0) != 0)
            state.SkipWithError("open failed");
        state.ResumeTiming();
        if (cfg_close(&store, 1, nullptr, 0) != 0)
            state.SkipWithError("rewrite failed");
    }
    per_line(state);
}
BENCHMARK_CAPTURE(BM_Rewrite, memory_fs, "/dev/shm")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Rewrite, disk_tmp, "/tmp")->Unit(benchmark::kMillisecond);

} // namespace
