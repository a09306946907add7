#include "clustersim/generate.h"

#include <string>

namespace {

// Steps through 0..n-1 in a scattered order: a prime stride that shares no factor with powers
// of ten, so every number comes once for the usual sizes.
size_t scattered(size_t i, size_t n) {
    constexpr size_t kStride = 7919;
    return n % kStride == 0 ? i : (i * kStride) % n;
}

std::string padded(size_t number, int width) {
    std::string text = std::to_string(number);
    return std::string(text.size() < size_t(width) ? size_t(width) - text.size() : 0, '0') + text;
}

} // namespace

sim_scenario scenario_generate(size_t clients, size_t disks) {
    sim_scenario s;
    sim_host host;
    host.address = "127.0.0.1";
    host.name = "alpha";
    host.disks.reserve(disks);
    for (size_t i = 0; i < disks; ++i) {
        const size_t n = scattered(i, disks);
        sim_disk d;
        d.label = "disk" + padded(n, 6);
        d.serial = "SN" + padded(n, 8);
        d.block_device = "/dev/sd" + padded(n, 6);
        d.raw_device = "/dev/raw/raw" + std::to_string(n);
        d.inquiry = "VDISK 1.0";
        d.controller = "hba" + std::to_string(n % 4);
        d.size = (uint64_t{1} << 36) + n;
        d.state = 1;
        d.hba_id = uint8_t(n % 4);
        d.lun_id = uint8_t(n % 256);
        host.disks.push_back(d);
    }
    s.hosts.push_back(host);

    sim_filesystem fs;
    fs.name = "big";
    fs.total_blocks = 1u << 30;
    fs.free_blocks = 1u << 29;
    sim_manager manager;
    manager.host = host.address;
    manager.state = SIM_ACTIVE;
    fs.managers.push_back(manager);
    sim_stripe_group sg;
    sg.name = "MetaFiles";
    sg.total_blocks = fs.total_blocks;
    sg.free_blocks = fs.free_blocks;
    fs.stripe_groups.push_back(sg);
    fs.clients.reserve(clients);
    for (size_t i = 0; i < clients; ++i) {
        const size_t n = i + 1;
        sim_client c;
        c.type = 3;
        c.cpus = 8;
        c.uptime = uint32_t(3600 + i);
        c.hashed_id = 0x1000 + i;
        c.ip = "127." + std::to_string(1 + n / 65536) + "." + std::to_string(n / 256 % 256) + "." +
               std::to_string(n % 256);
        c.local = c.ip;
        c.build = "kxfs 4.2.1";
        fs.clients.push_back(c);
    }
    s.filesystems.push_back(fs);
    return s;
}
