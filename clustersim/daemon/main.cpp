// kxclustersim: runs a simulated cluster until SIGTERM or SIGINT.
#include "clustersim/cluster.h"
#include "clustersim/generate.h"
#include "libutil/fatal.h"
#include "libutil/program_version.h"

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <pthread.h>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "usage: kxclustersim --root DIR [--scenario FILE | --generate N] [--fault TARGET=FAULT]...\n"
    "       kxclustersim --help | --version\n"
    "  --generate N: host alpha with N disks, file system big with N clients\n"
    "  TARGET: agent@ADDR, ns@ADDR, fsm:NAME or fsm:NAME@ADDR\n"
    "  FAULT:  silent | close_after:N | wrong_magic | oversize:N | error:CODE |\n"
    "          error:FLAG:CODE | delay:MS | refuse | none, optionally /REQUEST\n"
    "Runs a simulated cluster on loopback addresses until SIGTERM or SIGINT.\n";

int usage() {
    std::fputs(kUsage, stderr);
    return 2;
}

// The default scenario sits at a fixed place relative to the program (KX_CLUSTERSIM_SCENARIO_DIR,
// e.g. "../share/kxntadmin/scenarios"), so the build tree and an install under any prefix each
// find their own copy. Empty when the program's own path cannot be read.
std::string default_scenario_path() {
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error)
        return "";
    const std::filesystem::path scenario =
        program.parent_path() / KX_CLUSTERSIM_SCENARIO_DIR / "default.json";
    return scenario.lexically_normal().string();
}

// A count of 0 to 10,000,000; -2 for anything else.
long parse_count(const char *text) {
    char *end = nullptr;
    const long count = std::strtol(text, &end, 10);
    return *text != '\0' && *end == '\0' && count >= 0 && count <= 10000000 ? count : -2;
}

} // namespace

int main(int argc, char **argv) {
    set_module_name("kxclustersim");
    const char *root = nullptr;
    std::string scenario_path;
    long generated = -1; // --generate N
    std::vector<std::string> faults;
    for (int i = 1; i < argc; ++i) {
        bool has_value = i + 1 < argc;
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::puts("kxclustersim " KX_PROGRAM_VERSION);
            return 0;
        }
        if (std::strcmp(argv[i], "--root") == 0 && has_value)
            root = argv[++i];
        else if (std::strcmp(argv[i], "--scenario") == 0 && has_value)
            scenario_path = argv[++i];
        else if (std::strcmp(argv[i], "--fault") == 0 && has_value)
            faults.push_back(argv[++i]);
        else if (std::strcmp(argv[i], "--generate") == 0 && has_value)
            generated = parse_count(argv[++i]);
        else
            return usage();
    }
    if (!root || generated < -1 || (generated >= 0 && !scenario_path.empty()))
        return usage();
    const bool default_scenario = scenario_path.empty();
    if (default_scenario)
        scenario_path = default_scenario_path();
    char text[PATH_MAX + 128] = "cannot find the program's own directory";
    sim_scenario scenario;
    if (generated >= 0) {
        scenario = scenario_generate(size_t(generated), size_t(generated));
    } else if (scenario_path.empty() ||
               scenario_load(scenario_path.c_str(), &scenario, text, sizeof text) != 0) {
        std::fprintf(stderr, "kxclustersim: %s%s\n", text,
                     default_scenario ? " (the default scenario; give --scenario FILE)" : "");
        return 1;
    }
    for (const std::string &f : faults) {
        size_t eq = f.find('=');
        if (eq == std::string::npos) {
            std::fprintf(stderr, "kxclustersim: --fault wants TARGET=FAULT, got '%s'\n", f.c_str());
            return 2;
        }
        if (scenario_set_fault(&scenario, f.substr(0, eq).c_str(), f.c_str() + eq + 1, text,
                               sizeof text) != 0) {
            std::fprintf(stderr, "kxclustersim: %s\n", text);
            return 2;
        }
    }
    // Block the stop signals before any thread starts, so that only sigwait sees them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    sim_cluster *cluster = nullptr;
    if (cluster_start(scenario, root, &cluster, text, sizeof text) != 0) {
        std::fprintf(stderr, "kxclustersim: %s\n", text);
        return 1;
    }
    std::printf("%s\n", cluster_ready_line(cluster).c_str());
    std::fflush(stdout);
    int signal_number = 0;
    sigwait(&stop_signals, &signal_number);
    cluster_stop(cluster);
    return 0;
}
