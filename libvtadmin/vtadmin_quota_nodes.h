// The "Quotas" folder of an active file system, its sub-folders "Users & Groups" and
// "Directories", and the quota nodes: the rows they show, and the add, update and delete flows
// that the quota editor and the Delete command start.
#pragma once

#include "libvtadmin/vtadmin_quota.h"
#include "libvtadmin/vtadmin_tree.h"

#include <cstddef>
#include <cstdint>

constexpr size_t VTA_QUOTA_PATH_SIZE = 512;

// The quota edit record: the data of code 5 on a quota sub-folder (a new quota, with its size),
// and the layout of VTA_Data of every quota node (the dialog writes the changed record into
// the node, then sends code 7). The path belongs to directory quotas: a new one's is absolute
// (a relative one is taken below the mount point); a listed one's is relative to the mount
// point, starting with "/".
struct VTA_QUOTA_EDIT {
    VTA_QUOTA VTA_Quota;
    char VTA_Path[VTA_QUOTA_PATH_SIZE];
};
static_assert(sizeof(VTA_QUOTA_EDIT) <= VTA_DATA_SIZE);

// Child of a quota sub-folder that replaces the list when quotas are off.
constexpr const char *VTA_QUOTA_STATUS_NAME = "Status";
constexpr const char *VTA_QUOTAS_DISABLED_TEXT = "Quotas are not enabled.";

// "Quotas": rows of its two sub-folders; refresh makes sure both exist.
int32_t VTAObj_AllQuotasOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data,
                               size_t data_size, char *msg, size_t msg_size);
// "Users & Groups": rows, refresh (list), create (add a quota from a VTA_QUOTA_EDIT).
int32_t VTAObj_QuotasUGOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data,
                              size_t data_size, char *msg, size_t msg_size);
// "Directories": rows, refresh (list the data, then the files quotas), create (make the
// directory's name space and set the limits of a VTA_QUOTA_EDIT).
int32_t VTAObj_QuotasDirOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data,
                               size_t data_size, char *msg, size_t msg_size);
// A user, group or directory quota: save (apply the record in VTA_Data) and delete (clear the
// limits; a directory's name space goes when its other quota has no limits either).
int32_t VTAObj_QuotaOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data, size_t data_size,
                           char *msg, size_t msg_size);
