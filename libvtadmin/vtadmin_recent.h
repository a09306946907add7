// The "Connections" root and the recent-connections file "<config dir>/cfg.kxntadmin": the
// root's operation function (VTAObj_RootOpFunc, declared with the tree) loads the file once per
// process, adds computers and saves the list as RecentConn0, RecentConn1, ... in sorted order.
#pragma once

#include "libvtadmin/vtadmin_tree.h"

#include <cstddef>
#include <cstdint>

// Path of the recent-connections file in the configuration directory. False (and `path` empty)
// when it does not fit in `size` bytes.
bool VTAObj_RecentPath(char *path, size_t size);

// A computer node for `host` (not inserted): lazy folder, kind VTA_OBJ_COMPUTER, connection
// record without handle. Null when memory runs out.
VTAObj *VTAObj_NewComputer(const char *host);

// Fills `root` from the file, once per process (later calls return 0 at once). Reading needs
// no write access: a file that cannot be opened for writing is read as it is, and a missing one
// is an empty list. A file whose content cannot be read (a NUL byte, an overlong line, too
// large) is moved aside as "<file>.damaged" (or ".damaged.1" ... ".damaged.9") and the list
// starts empty: the load is done, but returns an error with a message saying so, once.
int32_t VTAObj_LoadRecent(VTATree *tree, VTAObj *root, char *msg, size_t msg_size);

// True once the initial load of this process is done (the list can be used and saved).
bool VTAObj_RecentLoaded();

// Writes the computers under `root` as RecentConn<n>, after removing every RecentConn<n> record
// of the file (whatever n), so a shrinking list leaves no stale keys behind. The file is
// locked while it is read, changed and replaced; a failure leaves it as it was.
int32_t VTAObj_SaveRecent(VTAObj *root, char *msg, size_t msg_size);

// Locks the recent-connections file against other programs until VTAObj_RecentUnlock, so that
// a load, a change and a save in between form one read-modify-write. Waits up to
// CFG_LOCK_WAIT_MS for another holder. 0, or an error with a message.
int32_t VTAObj_RecentLock(char *msg, size_t msg_size);
void VTAObj_RecentUnlock();

// Clears the process-wide "initial load done" flag. For tests only.
void VTAObj_RecentResetForTests();
