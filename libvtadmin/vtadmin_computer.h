// Computer nodes, their "File Systems" folder and the file-system nodes in it; the connection
// helpers every node below a computer uses; the file-system control actions and the refresh of
// everything open. Connections are held only for the length of one operation.
#pragma once

#include "libvtadmin/vorud.h"
#include "libvtadmin/vtadmin_tree.h"

#include <cstddef>
#include <cstdint>

// Handle field of a computer's connection record when it holds no connection.
constexpr uint64_t VTA_NO_HANDLE = ~uint64_t{0};

// VTA_Data of a VTA_OBJ_COMPUTER node: the connection-status record, whose leading 64-bit
// field (VTA_CONN_INFO::reserved) serves as the handle field.
using VTA_COMPUTER_DATA = VTA_CONN_INFO;

// Actions of VTA_FS_CONTROL.
enum : uint32_t {
    VTA_FS_START = 1,
    VTA_FS_STOP_ON_HOST = 2,
    VTA_FS_STOP = 3, // optionally waiting
    VTA_FS_FAILOVER = 4,
    VTA_FS_ACTIVATE = 5,
};

// Data of codes 10 to 13 (start, stop, fail over, activate).
struct VTA_FS_CONTROL {
    uint32_t VTA_Action; // VTA_FS_*
    char VTA_FsName[256];
    char VTA_Host[256]; // name server asked, and host argument of start/stop-by-host/activate
    uint32_t VTA_Wait;  // 0: no wait; else handed to the start-and-wait / stop-and-wait calls
    VTAObj *VTA_Node;
    VTATree *VTA_Tree;
};

// Opens the name-server connection of the computer at or above `node`. 0 with the computer and
// its connection record; otherwise the code, both outputs null and a message.
int32_t VTAObj_ConnectComputer(VTAObj *node, VTAObj **computer, VTA_COMPUTER_DATA **conn, char *msg,
                               size_t msg_size);
// Releases one hold of the computer's connection; 22 when `computer` is not a computer.
int32_t VTAObj_DisconnectComputer(VTAObj *computer, char *msg, size_t msg_size);
// Opens an FSM connection to the file system at or above `node`. 0 with the handle and the
// file-system node; otherwise the code, handle -1 and node null.
int32_t VTAObj_ConnectFsm(VTAObj *node, int *fsm_handle, VTAObj **fs_node, char *msg,
                          size_t msg_size);
// Releases *fsm_handle unless it is -1, and sets it to -1. Returns 0.
int32_t VTAObj_DisconnectFsm(int *fsm_handle);

// Carries out the record's action; after a stop or fail-over the file system's nodes are
// removed under every computer and the computer above the current node becomes current.
int32_t VTAObj_FsControl(VTA_FS_CONTROL *control, char *msg, size_t msg_size);
// Refreshes every open folder of the sibling list starting at `first`, depth first. Returns 0.
int32_t VTATree_RefreshOpen(VTATree *tree, VTAObj *first);

// Size text of a file system: block size x blocks, cut to 20 significant bits, size_format.
void VTAObj_FsSizeText(uint32_t block_size, uint64_t total_blocks, char *text, size_t size);
// "<free * 100 / total>%", or "-" when total is 0.
void VTAObj_FsPercentFree(uint64_t free_blocks, uint64_t total_blocks, char *text, size_t size);

// Operation functions of the kinds of this module.
int32_t VTAObj_ComputerOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data,
                              size_t data_size, char *msg, size_t msg_size);
int32_t VTAObj_AllFsOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data, size_t data_size,
                           char *msg, size_t msg_size);
int32_t VTAObj_FsOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data, size_t data_size,
                        char *msg, size_t msg_size);
