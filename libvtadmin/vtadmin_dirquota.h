// Directory quotas: a quota on the space (type 3) or the file count (type 4) below one
// directory. The FSM knows it by the name of the directory's quota name space, "D:" and the
// directory's inode number in decimal. Turning paths into names and back, and creating and
// destroying name spaces, need the file system as this machine's client sees it: its mount
// point from the client mount table (`mounttab` in the configuration directory: file-system
// name, then mount point) and the client driver's requests (libfsmcomm/fs_driver.h). Limits are
// read and set through the FSM's quota operation on an FSM handle, like user and group quotas.
//
// Message buffers hold VTA_MESSAGE_SIZE (256) bytes; a failure leaves its text there.
#pragma once

#include "libvtadmin/vtadmin_quota.h"

#include <climits>
#include <cstddef>
#include <cstdint>

// Path kinds: relative to the file system's mount point, or absolute.
enum : int { VTA_PATH_RELATIVE = 1, VTA_PATH_ABSOLUTE = 2 };

constexpr size_t VTA_FS_DIR_PATH_SIZE = PATH_MAX;

// A directory opened for driver requests: its descriptor and its absolute path, which every
// request carries.
struct VTA_FS_DIR {
    int fd = -1;
    char path[VTA_FS_DIR_PATH_SIZE] = "";
};

// Closes the directory (nothing when it is not open).
void VTAdmin_CloseFsDirectory(VTA_FS_DIR *dir);

// The mount point of `fsname` from the mount table (a line without a mount point mounts on its
// key). 0, or -1 with "could not find mount point for file system '%s'" (no table, no line,
// or a mount point that does not fit `path_size`).
int VTAdmin_FindMountPoint(const char *fsname, char *path, size_t path_size, char *msg);

// Opens `path`, asks the driver for its status and file-system name, and checks that it is a
// directory of `fsname`. 0 with the inode number and the open directory; the open's error
// number (2 for a missing path); -1 for the other failures.
int VTAdmin_OpenFsDirectory(const char *fsname, const char *path, uint64_t *inode, VTA_FS_DIR *dir,
                            char *msg);

// The name-space name of the directory `path` (of `kind`) of `fsname`, into `name` when given;
// the open directory handed over in `dir` when given, else closed. 0, -1, or the error of
// VTAdmin_OpenFsDirectory.
int VTAdmin_DirQuotaPath2Name(const char *fsname, int kind, const char *path, char *name,
                              size_t name_size, VTA_FS_DIR *dir, char *msg);

// The path of the name space `name`: relative to the mount point (starting with "/") or
// absolute. 0 or -1.
int VTAdmin_DirQuotaName2Path(const char *fsname, const char *name, int kind, char *path,
                              size_t path_size, char *msg);

// Marks the name space of a directory for destruction (operation 2) or creation (3).
// 0; 1 without administrator rights; 2 no such name space; 3 it already exists; 6 quotas are
// off; 7 it is busy; 25 the file system has no directory quotas; -1 or the path step's code.
int MarkDestroyCreateDirQuotaNameSpace(const char *fsname, uint32_t operation, int kind,
                                       const char *path, char *msg);
int VTAdmin_DestroyDirQuotaNameSpace(const char *fsname, int kind, const char *path, char *msg);
int VTAdmin_CreateDirQuotaNameSpace(const char *fsname, int kind, const char *path, char *msg);

// The entry after record->name (empty: the first) of the type 3 or 4 list. 0 with the entry
// (type 3 amounts in bytes); 6 at the end or with quotas off; 7 name space busy; 25 the FSM has
// no directory quotas; -1 for the other failures.
int VTAdmin_ListDirQuotas(int fshandle, uint32_t type, VTA_QUOTA *record, char *msg);

// Sets the limits of `record` on the directory `path` (of `kind`) of the FSM's file system;
// type 3 limits are rounded up to whole blocks and checked before anything is sent. 0 with
// `record` holding the FSM's answer and the name-space name; 1 without administrator rights;
// 2 quotas off or no such name space; 7 busy; 25 no directory quotas; -1 or the path step's
// code.
int VTAdmin_SetDirQuota(int fshandle, uint32_t type, int kind, const char *path, VTA_QUOTA *record,
                        char *msg);

// ---- Internal to the library ----

// True when `name` is "D:" and a decimal number from 2 up that fits 64 bits (its inode).
bool vtadmin_dir_quota_name_inode(const char *name, uint64_t *inode);
