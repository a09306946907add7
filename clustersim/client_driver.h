// The file-system client of this machine, as the simulated cluster plays it: every file system
// is "mounted" on a real directory under the install root, the client mount table `mounttab`
// lists them, and the driver endpoint (the Unix-domain socket kxfsdrv.sock in the configuration
// directory) answers the driver requests of libfsmcomm/fs_driver.h for paths below a mount
// point: directory status with the real inode number, file-system name, quota name-space
// create and destroy, and inode to path.
#pragma once

#include "clustersim/world.h"

#include <cstddef>
#include <string>

// Makes `root`/mnt/<name> for every file system (its mount_point, absolute and canonical), the
// scenario's directories below it, and the directories of its name spaces and directory quota
// entries, whose names become "D:<inode>" (entries given by path add their name space). Writes
// `root`/config/mounttab when it is missing. 0, or -1 with a message in `text`.
int client_mounts_prepare(const char *root, sim_scenario *scenario, char *text, size_t text_size);

// The endpoint's path: `root`/config/kxfsdrv.sock.
std::string client_driver_socket_path(const char *root);

// A listening-ready (bound, not yet listening) Unix-domain socket at `path`, a stale socket
// file there removed first; -1 with errno set.
int client_driver_bind(const std::string &path);

// Answers one request on an accepted connection, then returns; the caller closes it.
void client_driver_serve(sim_world &world, int socket);

// ---- Requests as byte buffers (no sockets) ----

// The reply frame (encoded) to one request frame of `length` bytes; a malformed frame gets
// error 22.
size_t client_driver_answer(sim_world &world, const uint8_t *request, size_t length, uint8_t *reply,
                            size_t reply_size);
