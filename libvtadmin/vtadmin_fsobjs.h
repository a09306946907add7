// The folders below a computer and an active file system that list cluster items: "Disks",
// "Stripe Groups", "Clients" and "Quality of Service", and the item nodes in them, each showing
// its properties as value children; the insertion helper that list folders share.
#pragma once

#include "libvtadmin/vtadmin_tree.h"

#include <cstddef>
#include <cstdint>

// Record array of the disk listing starts at this many records and doubles when full.
constexpr int VTA_DISK_PAGE_START = 16;

// What a list folder's new item nodes of one kind get, with the two failure texts (formatted
// with the node's name).
struct VTA_ITEM_KIND {
    VTAObj_OpFunc op;
    uint32_t type;
    bool is_folder;
    const char *no_memory;
    const char *insert_fail;
};

// Allocates a node of `kind` named `name` with a copy of `data` (none when null), touches it
// and inserts it under `folder`; a node the tree did not link is freed. The insertion's result,
// or 12, with the kind's text in `msg` on failure.
int32_t VTAObj_InsertItem(VTATree *tree, VTAObj *folder, const VTA_ITEM_KIND &kind,
                          const char *name, const void *data, size_t data_size, char *msg,
                          size_t msg_size);

// Operation functions of the folders and of their item nodes.
int32_t VTAObj_AllDisksOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data,
                              size_t data_size, char *msg, size_t msg_size);
int32_t VTAObj_DiskOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data, size_t data_size,
                          char *msg, size_t msg_size);
int32_t VTAObj_AllSgOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data, size_t data_size,
                           char *msg, size_t msg_size);
int32_t VTAObj_SgOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data, size_t data_size,
                        char *msg, size_t msg_size);
int32_t VTAObj_AllClientsOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data,
                                size_t data_size, char *msg, size_t msg_size);
int32_t VTAObj_ClientOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data, size_t data_size,
                            char *msg, size_t msg_size);
int32_t VTAObj_AllQosOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data, size_t data_size,
                            char *msg, size_t msg_size);
int32_t VTAObj_QosOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data, size_t data_size,
                         char *msg, size_t msg_size);

// "%dd-%dh-%dm" of a duration in seconds.
void VTAObj_UptimeText(uint32_t seconds, char *text, size_t size);
// Text of a stripe group's device-access bits (bit 0 read, bit 1 write).
const char *VTAObj_DeviceFlagsText(uint32_t access);
