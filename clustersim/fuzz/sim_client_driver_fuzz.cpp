// The simulator's client-driver endpoint, without its socket: any request frame gets one
// reply frame that decodes, carries no path, and holds exactly the reply buffer of its request
// when it reports success (none otherwise). The file systems of the shipped default scenario
// are mounted below a private directory made at start-up; a request path beginning with "@"
// is also tried with that directory in place of the "@", so that requests reach them.
#include "clustersim/client_driver.h"
#include "clustersim/scenario.h"
#include "clustersim/world.h"
#include "libfsmcomm/fs_driver.h"
#include "libutil/fuzz/fuzz_check.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

namespace {

sim_scenario g_scenario;
std::string g_root;

void remove_root() {
    std::error_code ignored;
    std::filesystem::remove_all(g_root, ignored);
}

void answer_and_check(const uint8_t *request, size_t length) {
    sim_world world;
    world.scenario = g_scenario;
    auto reply = std::make_unique<uint8_t[]>(FSDRV_MAX_FRAME);
    const size_t reply_length =
        client_driver_answer(world, request, length, reply.get(), FSDRV_MAX_FRAME);
    auto decoded = std::make_unique<fsdrv_frame>();
    FUZZ_CHECK(fsdrv_frame_decode(reply.get(), reply_length, decoded.get()) == 0);
    FUZZ_CHECK(decoded->path[0] == '\0');
    if (decoded->word != 0) {
        FUZZ_CHECK(decoded->buffer_size == 0);
        return;
    }
    auto asked = std::make_unique<fsdrv_frame>();
    FUZZ_CHECK(fsdrv_frame_decode(request, length, asked.get()) == 0);
    FUZZ_CHECK(decoded->buffer_size == fsdrv_reply_size(asked->word));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    char text[256] = "";
    char pattern[] = "/tmp/kx-sim-driver-fuzz-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        perror("sim_client_driver fuzz: mkdtemp");
        abort();
    }
    g_root = pattern;
    atexit(remove_root);
    std::filesystem::create_directories(g_root + "/config");
    if (scenario_load(KX_CLUSTERSIM_DEFAULT_SCENARIO, &g_scenario, text, sizeof text) != 0 ||
        client_mounts_prepare(g_root.c_str(), &g_scenario, text, sizeof text) != 0) {
        fprintf(stderr, "sim_client_driver fuzz: %s\n", text);
        abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    answer_and_check(data, size);
    auto frame = std::make_unique<fsdrv_frame>();
    if (fsdrv_frame_decode(data, size, frame.get()) != 0 || frame->path[0] != '@')
        return 0;
    const std::string path = g_root + (frame->path + 1);
    if (path.size() >= sizeof frame->path)
        return 0;
    memcpy(frame->path, path.c_str(), path.size() + 1);
    auto rewritten = std::make_unique<uint8_t[]>(FSDRV_MAX_FRAME);
    const size_t length = fsdrv_frame_encode(*frame, rewritten.get(), FSDRV_MAX_FRAME);
    if (length != 0)
        answer_and_check(rewritten.get(), length);
    return 0;
}
