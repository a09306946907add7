#include "clustersim/world.h"

#include <chrono>

bool world_wait_ms(void *context, uint32_t ms) {
    sim_world &world = *static_cast<sim_world *>(context);
    std::unique_lock<std::mutex> hold(world.wait_lock);
    world.wake.wait_for(hold, std::chrono::milliseconds(ms), [&] { return world.stopping.load(); });
    return !world.stopping.load();
}

void world_stop(sim_world &world) {
    {
        std::lock_guard<std::mutex> hold(world.wait_lock);
        world.stopping = true;
    }
    world.wake.notify_all();
}
