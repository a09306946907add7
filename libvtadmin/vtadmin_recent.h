// The "Connections" root and the recent-connections file "<config dir>/cfg.kxntadmin": the
// root's operation function (VTAObj_RootOpFunc, declared with the tree) loads the file once per
// process, adds computers and saves the list as RecentConn0, RecentConn1, ... in sorted order.
#pragma once

#include "libvtadmin/vtadmin_tree.h"

#include <cstddef>
#include <cstdint>

// Path of the recent-connections file in the configuration directory.
void VTAObj_RecentPath(char *path, size_t size);

// A computer node for `host` (not inserted): lazy folder, kind VTA_OBJ_COMPUTER, connection
// record without handle. Null when memory runs out.
VTAObj *VTAObj_NewComputer(const char *host);

// Fills `root` from the file, once per process (later calls return 0 at once).
int32_t VTAObj_LoadRecent(VTATree *tree, VTAObj *root, char *msg, size_t msg_size);

// Writes the computers under `root` as RecentConn<n>, after removing every RecentConn<n> record
// of the file (whatever n), so a shrinking list leaves no stale keys behind.
int32_t VTAObj_SaveRecent(VTAObj *root, char *msg, size_t msg_size);

// Clears the process-wide "initial load done" flag. For tests only.
void VTAObj_RecentResetForTests();
