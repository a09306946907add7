// kxclustersim: runs a simulated cluster until SIGTERM or SIGINT.
#include "clustersim/cluster.h"
#include "clustersim/generate.h"
#include "libutil/fatal.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <string>
#include <vector>

#ifndef KX_CLUSTERSIM_DEFAULT_SCENARIO
#define KX_CLUSTERSIM_DEFAULT_SCENARIO "clustersim/scenarios/default.json"
#endif

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: kxclustersim --root DIR [--scenario FILE | --generate N]\n"
                 "                    [--fault TARGET=FAULT]...\n"
                 "  --generate N: host alpha with N disks, file system big with N clients\n"
                 "  TARGET: agent@ADDR, ns@ADDR, fsm:NAME or fsm:NAME@ADDR\n"
                 "  FAULT:   silent | close_after:N | wrong_magic | oversize:N | error:CODE |\n"
                 "          error:FLAG:CODE | delay:MS | refuse | none, optionally /REQUEST\n");
    return 2;
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
    const char *const default_scenario = KX_CLUSTERSIM_DEFAULT_SCENARIO;
    const char *scenario_path = default_scenario;
    long generated = -1; // --generate N
    std::vector<std::string> faults;
    for (int i = 1; i < argc; ++i) {
        bool has_value = i + 1 < argc;
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
    if (!root || generated < -1 || (generated >= 0 && scenario_path != default_scenario))
        return usage();
    char text[512];
    sim_scenario scenario;
    if (generated >= 0)
        scenario = scenario_generate(size_t(generated), size_t(generated));
    else if (scenario_load(scenario_path, &scenario, text, sizeof text) != 0) {
        std::fprintf(stderr, "kxclustersim: %s\n", text);
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
