#include "libvtadmin/vtadmin_fsobjs.h"

#include "libutil/fatal.h"
#include "libutil/size_text.h"
#include "libvtadmin/vorud.h"
#include "libvtadmin/vtadmin_computer.h"
#include "libvtadmin/vtadmin_fsm.h"
#include "libvtadmin/vtadmin_memory.h"
#include "libvtadmin/vtadminlib.h"

#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

// Messages that differ between the item kinds sharing the property-children code.
struct property_texts {
    const char *no_target;   // null target of a row request
    const char *no_more;     // past the last row, with the node's name
    const char *no_memory;   // allocation of a property child, with the label
    const char *insert_fail; // insertion of a property child, with the code and the label
};

const property_texts kDiskTexts = {
    "Internal Error: No target on Op DISK (GBN)", "No more information objects for disk '%s'",
    "Out of memory disk stat node '%s'", "Unexpected error (%d) inserting child disk info '%s'"};
const property_texts kSgTexts = {
    "Internal Error: No target on Op SG (GBN)", "No more information objects for disk '%s'",
    "Out of memory disk stat node '%s'", "Unexpected error (%d) inserting client info '%s'"};
const property_texts kClientTexts = {
    "Internal Error: No target on Op Client (GBN)", "No more information objects for disk '%s'",
    "Out of memory disk stat node '%s'", "Unexpected error (%d) inserting client info '%s'"};
const property_texts kQosTexts = {
    "Internal Error: No target on Op QOS (GBN)", "No more information objects for QOS '%s'",
    "Out of memory QOS node '%s'", "Unexpected error (%d) inserting QOS info '%s'"};

// One property child to write: label and value text (and, for the disk size, the raw number).
struct property {
    const char *label;
    std::string text;
    bool has_number = false;
    uint64_t number = 0;
};

template <typename... Args>
std::string text_of(const char *format, Args... args) {
    char text[VTA_TEXT_SIZE];
    bounded_format(text, sizeof text, format, args...);
    return text;
}

const char *yes_no(bool value) {
    return value ? "Yes" : "No";
}

std::string address_or_unspecified(const host_addr &address) {
    static const host_addr zero{};
    if (memcmp(&address, &zero, sizeof address) == 0)
        return "<Unspecified>";
    char text[VTA_NAME_SIZE];
    return VTAdmin_AddrToString(&address, text) != nullptr ? text : "";
}

int32_t answer_refresh_only(void *data) {
    auto *allow = static_cast<VTA_ALLOW_MENU *>(data);
    allow->VTA_Answer =
        allow->VTA_Op == VTA_OP_REFRESH_ALL ? VTA_MENU_ALLOWED : VTA_MENU_NOT_ALLOWED;
    return VTA_OK;
}

// Writes the property children of `node` in table order; new ones are inserted, existing ones
// rewritten silently.
int32_t build_properties(VTATree *tree, VTAObj *node, const std::vector<property> &properties,
                         const property_texts &texts, char *msg, size_t msg_size) {
    for (const property &p : properties) {
        VTAObj *child = nullptr;
        int32_t rc = VTAObj_FindChild(node, nullptr, p.label, &child);
        if (rc != VTA_OK && rc != VTA_ERR_NOT_FOUND) {
            bounded_format(msg, msg_size, "Unexpected error (%d) finding child disk info '%s'", rc,
                           p.label);
            return rc;
        }
        const bool is_new = child == nullptr;
        if (is_new) {
            child = VTAObj_Alloc(VTAObj_ValueOpFunc);
            if (child == nullptr) {
                bounded_format(msg, msg_size, texts.no_memory, p.label);
                return VTA_ERR_NO_MEMORY;
            }
            VTAObj_SetName(child, p.label);
            child->VTA_Type = VTA_OBJ_VALUE;
        }
        VTA_VALUE_DATA value{};
        bounded_format(value.VTA_Text, sizeof value.VTA_Text, "%s", p.text.c_str());
        value.VTA_HasNumber = p.has_number ? 1 : 0;
        value.VTA_Number = p.number;
        VTAObj_SetData(child, &value, sizeof value);
        VTAObj_Touch(child);
        if (is_new && (rc = VTAObj_Insert(tree, node, child)) != VTA_OK) {
            bounded_format(msg, msg_size, texts.insert_fail, rc, p.label);
            if (child->VTA_Parent == nullptr)
                VTAObj_Free(&child);
            return rc;
        }
    }
    return VTA_OK;
}

// Name/Value rows of an item node's property children.
int32_t property_rows(VTATree *tree, uint32_t op, VTAObj *node, VTA_LV_ROW *row,
                      const property_texts &texts, char *msg, size_t msg_size) {
    if (node == nullptr) {
        bounded_format(msg, msg_size, "%s", texts.no_target);
        return VTA_ERR_INVALID;
    }
    if (op == VTA_OP_LV_ROW_GETBYNBR) {
        if (row->VTA_RowNbr == 0) {
            VTAObj_SetCell(row, 0, "Name");
            VTAObj_SetCell(row, 1, "Value");
            row->VTA_ColCount = 2;
            return VTA_OK;
        }
        row->VTA_Node = VTAObj_GetNthChild(tree, node, row->VTA_RowNbr);
        if (row->VTA_Node == nullptr) {
            bounded_format(msg, msg_size, texts.no_more, node->VTA_Name);
            return VTA_ERR_NOT_FOUND;
        }
    }
    VTAObj_ValueRow(row);
    return VTA_OK;
}

// ---- Disks ----

std::string fixed_text(const char *text, size_t size) {
    return std::string(text, strnlen(text, size));
}

std::vector<property> disk_properties(const VTA_DISK &disk) {
    char size_text[VTA_TEXT_SIZE];
    size_format(disk.size, size_text, sizeof size_text);
    char state[VTA_TEXT_SIZE];
    VTAdmin_DiskStateString(disk.state, state, sizeof state);
    property size{"Size", size_text, true, disk.size};
    return {
        {"Name", fixed_text(disk.label, sizeof disk.label)},
        size,
        {"State", state},
        {"HBA ID", text_of("%d", static_cast<int>(disk.hba_id))},
        {"LUN ID", text_of("%d", static_cast<int>(disk.lun_id))},
        {"Device (Block)", fixed_text(disk.block_device, sizeof disk.block_device)},
        {"Device (Raw)", fixed_text(disk.raw_device, sizeof disk.raw_device)},
        {"Inquiry", fixed_text(disk.inquiry, sizeof disk.inquiry)},
        {"Controller", fixed_text(disk.controller, sizeof disk.controller)},
        {"Serial Nbr", fixed_text(disk.serial, sizeof disk.serial)},
    };
}

// Every disk record of the host, through pages into an array that doubles when full.
int32_t collect_disks(int handle, VTA_DISK **records_out, int *count_out, char *msg,
                      size_t msg_size) {
    int capacity = VTA_DISK_PAGE_START;
    auto *records = static_cast<VTA_DISK *>(large_array_alloc(sizeof(VTA_DISK) * capacity));
    int count = 0;
    int32_t rc = VTA_OK;
    char lib_msg[VTA_MESSAGE_SIZE] = "";
    while (records != nullptr) {
        if (count == capacity) {
            auto *grown = static_cast<VTA_DISK *>(
                large_array_resize(records, sizeof(VTA_DISK) * capacity * 2));
            if (grown == nullptr) {
                large_array_free(records);
                records = nullptr;
                break;
            }
            records = grown;
            capacity *= 2;
        }
        int returned = 0;
        rc = VTAdmin_NSGetDisks(handle, count, capacity - count, records + count, &returned,
                                nullptr, lib_msg);
        if (rc != VTA_OK)
            break;
        if (returned <= 0) { // a page without records ends the list as well
            rc = VTA_EOF;
            break;
        }
        count += returned;
    }
    if (records == nullptr) {
        bounded_format(msg, msg_size, "Out of memory (allocating disk info buffer).");
        return VTA_ERR_NO_MEMORY;
    }
    *records_out = records;
    *count_out = count;
    if (rc != VTA_ENOENT && rc != VTA_EOF) {
        bounded_format(msg, msg_size, "Cannot get disk %d: %s\n", count, lib_msg);
        return rc;
    }
    return VTA_OK;
}

constexpr VTA_ITEM_KIND kDiskItem = {VTAObj_DiskOpFunc, VTA_OBJ_DISK, true,
                                     "Out of memory allocating disk node (%s)",
                                     "Failed to insert disk node (%s)"};

int32_t place_disk(VTATree *tree, VTAObj *folder, const VTA_DISK &disk, char *msg,
                   size_t msg_size) {
    const std::string name = fixed_text(disk.label, sizeof disk.label);
    VTAObj *found = nullptr;
    int32_t rc = VTA_OK;
    for (VTAObj *start = nullptr;; start = found->VTA_SibRight) {
        rc = VTAObj_FindChild(folder, start, name.c_str(), &found);
        if (rc != VTA_OK || found->VTA_Type == VTA_OBJ_DISK || found->VTA_SibRight == nullptr)
            break;
    }
    if (rc == VTA_OK && found->VTA_Type == VTA_OBJ_DISK) {
        VTAObj_SetName(found, name.c_str());
        VTAObj_SetData(found, &disk, sizeof disk);
        VTAObj_Touch(found);
        VTATree_Notify(tree, VTA_NOTE_UPDATED, found);
        return VTA_OK;
    }
    if (rc != VTA_OK && rc != VTA_ERR_NOT_FOUND) {
        bounded_format(msg, msg_size, "Unexpected error (%d) searching disk list", rc);
        return rc;
    }
    return VTAObj_InsertItem(tree, folder, kDiskItem, name.c_str(), &disk, sizeof disk, msg,
                             msg_size);
}

int32_t list_disks(VTATree *tree, VTAObj *folder, char *msg, size_t msg_size) {
    VTAObj *computer = nullptr;
    VTA_COMPUTER_DATA *conn = nullptr;
    int32_t rc = VTAObj_ConnectComputer(folder, &computer, &conn, msg, msg_size);
    if (rc != VTA_OK)
        return rc;
    VTA_DISK *records = nullptr;
    int count = 0;
    rc = collect_disks(static_cast<int>(conn->reserved), &records, &count, msg, msg_size);
    if (rc == VTA_OK && count == 0) {
        bounded_format(msg, msg_size, "No disks found.");
        rc = VTA_ERR_NOT_FOUND;
    }
    // Of a run of records with one name only the last counts.
    for (int i = 0; rc == VTA_OK && i < count; ++i) {
        if (i + 1 < count &&
            strncmp(records[i].label, records[i + 1].label, sizeof records[i].label) == 0)
            continue;
        rc = place_disk(tree, folder, records[i], msg, msg_size);
    }
    large_array_free(records);
    VTAObj_DisconnectComputer(computer, nullptr, 0);
    return rc;
}

// ---- Stripe groups ----

const char *multipath_text(uint32_t method) {
    switch (method) {
    case VTA_MULTIPATH_ROTATE:
        return "Rotate";
    case VTA_MULTIPATH_STICKY:
        return "Sticky";
    case VTA_MULTIPATH_STATIC:
        return "Static";
    case VTA_MULTIPATH_BALANCE:
        return "Balance";
    case VTA_MULTIPATH_CYCLE:
        return "Cycle";
    default:
        return "<Unknown>";
    }
}

std::vector<property> sg_properties(const VTA_SG_STATUS &sg) {
    return {
        {"Name", fixed_text(sg.name, sizeof sg.name)},
        {"Ordinal", text_of("%d", static_cast<int>(sg.ordinal))},
        {"Index", text_of("%d", static_cast<int>(sg.index))},
        {"Status", sg.enabled ? "Enabled" : "* Disabled *"},
        {"Metadata", yes_no(sg.metadata)},
        {"Journal", yes_no(sg.journal)},
        {"Realtime", sg.realtime ? "On" : "Off"},
        {"Exclusive", yes_no(sg.exclusive)},
        {"Multi-path", multipath_text(sg.multipath)},
        {"Nbr of Disks", text_of("%d", static_cast<int>(sg.disks))},
        {"Breadth", text_of("%d", static_cast<int>(sg.breadth))},
        {"Affinity Cnt", text_of("%d", static_cast<int>(sg.affinity_count))},
        {"Device Flags", VTAObj_DeviceFlagsText(sg.access)},
        {"Blocks: Total", text_of("%" PRId64, static_cast<int64_t>(sg.total_blocks))},
        {"Blocks: Free", text_of("%" PRId64, static_cast<int64_t>(sg.free_blocks))},
        {"Blocks: Reserved", text_of("%" PRId64, static_cast<int64_t>(sg.reserved_blocks))},
    };
}

int32_t place_sg(VTATree *tree, VTAObj *folder, const VTA_SG_STATUS &sg, char *msg,
                 size_t msg_size) {
    const std::string name = fixed_text(sg.name, sizeof sg.name);
    VTAObj *node = nullptr;
    int32_t rc = VTAObj_FindChild(folder, nullptr, name.c_str(), &node);
    if (rc != VTA_OK && rc != VTA_ERR_NOT_FOUND) {
        bounded_format(msg, msg_size, "Unexpected error finding Stripe Group node '%s'",
                       name.c_str());
        return rc;
    }
    const bool is_new = node == nullptr;
    if (is_new) {
        node = VTAObj_Alloc(VTAObj_SgOpFunc);
        if (node == nullptr) {
            bounded_format(msg, msg_size, "Out of memory Stripe Group node '%s'", name.c_str());
            return VTA_ERR_NO_MEMORY;
        }
        node->VTA_IsFolder = 1;
    }
    VTAObj_SetName(node, name.c_str());
    node->VTA_Type = sg.enabled ? VTA_OBJ_SG_ONLINE : VTA_OBJ_SG_DISABLED;
    VTAObj_SetData(node, &sg, sizeof sg);
    VTAObj_Touch(node);
    if (!is_new) {
        VTATree_Notify(tree, VTA_NOTE_UPDATED, node);
        return VTA_OK;
    }
    rc = VTAObj_Insert(tree, folder, node);
    if (rc != VTA_OK && node->VTA_Parent == nullptr) {
        bounded_format(msg, msg_size, "Unexpected error inserting node '%s'", name.c_str());
        VTAObj_Free(&node);
    }
    return rc;
}

int32_t list_stripe_groups(VTATree *tree, VTAObj *folder, char *msg, size_t msg_size) {
    int fsm = -1;
    int32_t rc = VTAObj_ConnectFsm(folder, &fsm, nullptr, msg, msg_size);
    if (rc != VTA_OK)
        return rc;
    VTA_FSM_STATUS status{};
    rc = VTAdmin_FSMStat(fsm, &status);
    if (rc != VTA_OK)
        bounded_format(msg, msg_size, "Cannot get information for file system of '%s' (SG)",
                       folder->VTA_Name);
    for (int sg_number = 0; rc == VTA_OK && sg_number < static_cast<int>(status.stripe_groups);
         ++sg_number) {
        VTA_SG_STATUS sg{};
        rc = VTAdmin_StripeGroupStat(fsm, sg_number, &sg);
        if (rc != VTA_OK) {
            bounded_format(msg, msg_size,
                           "Cannot access stripe group information for file system '%s'",
                           folder->VTA_Name);
            break;
        }
        rc = place_sg(tree, folder, sg, msg, msg_size);
    }
    VTAObj_DisconnectFsm(&fsm);
    return rc;
}

// ---- Clients ----

// Clients without an address are numbered from a process-wide counter, so such a client gets
// a new name (and node) at every refresh.
int g_unknown_clients = 0;

const char *client_type_text(uint32_t type) {
    switch (type) {
    case 2:
        return "FSM";
    case 3:
        return "Client";
    case 4:
        return "Name Server";
    case 5:
        return "Admin";
    default:
        return nullptr;
    }
}

std::string local_time_text(time_t when, const char *format) {
    struct tm local {};
    localtime_r(&when, &local);
    char text[VTA_TEXT_SIZE];
    strftime(text, sizeof text, format, &local);
    return text;
}

std::vector<property> client_properties(const VTA_CLIENT &c) {
    const char *type = client_type_text(c.type);
    std::string reconnect = "<Unspecified>";
    if (c.reconnect_time != 0) {
        const time_t when = static_cast<time_t>(c.reconnect_time);
        char text[32] = "";
        if (ctime_r(&when, text) != nullptr)
            text[strcspn(text, "\r\n")] = '\0';
        reconnect = text;
    }
    return {
        {"Ordinal", text_of("%d", static_cast<int>(c.ordinal))},
        {"DLAN Server", yes_no(c.flags & VTA_CLIENT_DLAN_SERVER)},
        {"DLAN Client", yes_no(c.flags & VTA_CLIENT_DLAN_CLIENT)},
        {"Gateway License", yes_no(c.flags & VTA_CLIENT_GATEWAY_LICENCE)},
        {"Type", type ? type : text_of("Unknown(%d)", static_cast<int>(c.type))},
        {"Nbr CPUs", text_of("%d", static_cast<int>(c.cpu_count))},
        {"Expires", c.expiry_time == 0
                        ? "<Unspecified>"
                        : local_time_text(static_cast<time_t>(c.expiry_time), "%Y-%m-%d %H:%M:%S")},
        {"Uptime",
         [&] {
             char text[VTA_TEXT_SIZE];
             VTAObj_UptimeText(c.uptime, text, sizeof text);
             return std::string(text);
         }()},
        {"Hashed ID", text_of("0x%" PRIx64, c.hashed_id)},
        {"IP Address", address_or_unspecified(c.ip_address)},
        {"Local Address", address_or_unspecified(c.local_address)},
        {"ID", address_or_unspecified(c.id_address)},
        {"IO Test Rate", text_of("%d", static_cast<int>(c.io_test_rate))},
        {"IO Test Last", text_of("%" PRId64, static_cast<int64_t>(c.io_test_last))},
        {"Build", fixed_text(c.build_text, sizeof c.build_text)},
        {"Reconnect Time", reconnect},
        {"Reconnect Cnt", text_of("%d", static_cast<int>(c.reconnect_count))},
    };
}

const char *client_row_type(const VTA_CLIENT &c) {
    switch (c.type) {
    case 2:
        return "File System Manager (FSM)";
    case 3:
        if (c.flags & VTA_CLIENT_DLAN_SERVER)
            return "Client (DLAN Server)";
        if (c.flags & VTA_CLIENT_DLAN_CLIENT)
            return "Client (DLAN Client)";
        if (c.flags & VTA_CLIENT_GATEWAY_LICENCE)
            return "Client (Gateway)";
        return "Client";
    case 4:
        return "Name Server";
    case 5:
        return "Admin";
    default:
        return "Unknown";
    }
}

const VTA_CLIENT *client_data(const VTAObj *node) {
    return reinterpret_cast<const VTA_CLIENT *>(node->VTA_Data);
}

constexpr VTA_ITEM_KIND kClientItem = {VTAObj_ClientOpFunc, VTA_OBJ_CLIENT, true,
                                       "Out of memory SG node '%s'",
                                       "Unexpected error inserting node '%s'"};

int32_t place_client(VTATree *tree, VTAObj *folder, const VTA_CLIENT &entry, char *msg,
                     size_t msg_size) {
    static const host_addr zero{};
    char name[VTA_NAME_SIZE] = "";
    if (memcmp(&entry.ip_address, &zero, sizeof zero) == 0)
        bounded_format(name, sizeof name, "Unknown %d", ++g_unknown_clients);
    else if (VTAdmin_AddrToString(&entry.ip_address, name) == nullptr)
        name[0] = '\0';
    VTAObj *found = nullptr;
    int32_t rc = VTA_OK;
    for (VTAObj *start = nullptr;; start = found->VTA_SibRight) {
        rc = VTAObj_FindChild(folder, start, name, &found);
        if (rc != VTA_OK || client_data(found)->ordinal == entry.ordinal ||
            found->VTA_SibRight == nullptr)
            break;
    }
    if (rc == VTA_OK && client_data(found)->ordinal == entry.ordinal) {
        VTAObj_SetData(found, &entry, sizeof entry);
        VTAObj_Touch(found);
        VTATree_Notify(tree, VTA_NOTE_UPDATED, found);
        return VTA_OK;
    }
    if (rc != VTA_OK && rc != VTA_ERR_NOT_FOUND) {
        bounded_format(msg, msg_size, "Unexpected error %d looking for client node %d", rc,
                       static_cast<int>(entry.ordinal));
        return rc;
    }
    return VTAObj_InsertItem(tree, folder, kClientItem, name, &entry, sizeof entry, msg, msg_size);
}

int32_t list_clients(VTATree *tree, VTAObj *folder, char *msg, size_t msg_size) {
    int fsm = -1;
    int32_t rc = VTAObj_ConnectFsm(folder, &fsm, nullptr, msg, msg_size);
    if (rc != VTA_OK)
        return rc;
    VTA_CLIENT *list = nullptr;
    const int count = VTAdmin_GetClientList(fsm, &list);
    if (count < 0) {
        bounded_format(msg, msg_size, "Failed to get client list");
        rc = count;
    }
    for (int i = 0; rc == VTA_OK && i < count; ++i)
        rc = place_client(tree, folder, list[i], msg, msg_size);
    VTAdmin_FreeClientList(list);
    VTAObj_DisconnectFsm(&fsm);
    return rc;
}

int32_t client_rows(VTATree *tree, uint32_t op, VTAObj *folder, VTA_LV_ROW *row, char *msg,
                    size_t msg_size) {
    if (folder == nullptr) {
        bounded_format(msg, msg_size, "Internal Error: No target on client (GBN)");
        return VTA_ERR_INVALID;
    }
    row->VTA_ColCount = 2;
    if (op == VTA_OP_LV_ROW_GETBYNBR && row->VTA_RowNbr == 0) {
        VTAObj_SetCell(row, 0, "Host");
        VTAObj_SetCell(row, 1, "Type");
        return VTA_OK;
    }
    if (op == VTA_OP_LV_ROW_GETBYNBR)
        row->VTA_Node = VTAObj_GetNthChild(tree, folder, row->VTA_RowNbr);
    if (row->VTA_Node == nullptr) {
        row->VTA_ColCount = 0;
        bounded_format(msg, msg_size, "No more clients");
        return VTA_ERR_NOT_FOUND;
    }
    VTAObj_SetCell(row, 0, row->VTA_Node->VTA_Name);
    VTAObj_SetCell(row, 1, client_row_type(*client_data(row->VTA_Node)));
    return VTA_OK;
}

// ---- Quality of service ----

const VTA_QOS_STATUS *qos_data(const VTAObj *node) {
    return reinterpret_cast<const VTA_QOS_STATUS *>(node->VTA_Data);
}

std::vector<property> qos_properties(const VTA_QOS_STATUS &q) {
    return {
        {"Limit: MB/Sec", text_of("%d", static_cast<int>(q.limit_mbps))},
        {"Limit: IO/Sec", text_of("%d", static_cast<int>(q.limit_iops))},
        {"Current: IO/Sec", text_of("%d", static_cast<int>(q.current_iops))},
        {"Clients: IO/Sec", text_of("%d", static_cast<int>(q.clients_iops))},
        {"Reserved: IO/Sec", text_of("%d", static_cast<int>(q.reserved_iops))},
        {"Hint: IO/Sec", text_of("%d", static_cast<int>(q.hint_iops))},
    };
}

constexpr VTA_ITEM_KIND kQosItem = {VTAObj_QosOpFunc, VTA_OBJ_QOS, false,
                                    "Out of memory QOS node '%s'",
                                    "Unexpected error inserting node '%s'"};

int32_t place_qos(VTATree *tree, VTAObj *folder, const char *name, const VTA_QOS_STATUS &qos,
                  char *msg, size_t msg_size) {
    VTAObj *node = nullptr;
    int32_t rc = VTAObj_FindChild(folder, nullptr, name, &node);
    if (rc == VTA_OK) {
        VTAObj_Touch(node);
        VTAObj_SetData(node, &qos, sizeof qos);
        VTATree_Notify(tree, VTA_NOTE_UPDATED, node);
        return VTA_OK;
    }
    if (rc != VTA_ERR_NOT_FOUND) {
        bounded_format(msg, msg_size, "Unexpected error %d looking for QOS node %s", rc, name);
        return rc;
    }
    return VTAObj_InsertItem(tree, folder, kQosItem, name, &qos, sizeof qos, msg, msg_size);
}

int32_t list_qos(VTATree *tree, VTAObj *folder, char *msg, size_t msg_size) {
    int fsm = -1;
    int32_t rc = VTAObj_ConnectFsm(folder, &fsm, nullptr, msg, msg_size);
    if (rc != VTA_OK)
        return rc;
    VTA_FSM_STATUS status{};
    rc = VTAdmin_FSMStat(fsm, &status);
    if (rc != VTA_OK)
        bounded_format(msg, msg_size, "Unexpected error %d retrieving FSM information for '%s'", rc,
                       folder->VTA_Name);
    for (int sg_number = 0; rc == VTA_OK && sg_number < static_cast<int>(status.stripe_groups);
         ++sg_number) {
        VTA_SG_STATUS sg{};
        rc = VTAdmin_StripeGroupStat(fsm, sg_number, &sg);
        if (rc != VTA_OK) {
            bounded_format(msg, msg_size, "Unexpected error %d retrieving SG information for '%s'",
                           rc, folder->VTA_Name);
            break;
        }
        VTA_QOS_STATUS qos{};
        rc = VTAdmin_QosStat(fsm, sg_number, &qos);
        if (rc != VTA_OK) {
            bounded_format(msg, msg_size, "Unexpected error %d retrieving QOS information for '%s'",
                           rc, folder->VTA_Name);
            break;
        }
        rc = place_qos(tree, folder, fixed_text(sg.name, sizeof sg.name).c_str(), qos, msg,
                       msg_size);
    }
    VTAObj_DisconnectFsm(&fsm);
    return rc;
}

int32_t qos_rows(VTATree *tree, uint32_t op, VTAObj *folder, VTA_LV_ROW *row, char *msg,
                 size_t msg_size) {
    if (folder == nullptr) {
        bounded_format(msg, msg_size, "%s", kQosTexts.no_target);
        return VTA_ERR_INVALID;
    }
    row->VTA_ColCount = 7;
    if (op == VTA_OP_LV_ROW_GETBYNBR && row->VTA_RowNbr == 0) {
        static const char *const kHeader[] = {"Stripe Group", "Max IO/Sec", "Max MB/Sec", "Reserve",
                                              "Curr IO/Sec",  "Clients",    "Hint"};
        for (uint32_t i = 0; i < 7; ++i)
            VTAObj_SetCell(row, i, kHeader[i]);
        return VTA_OK;
    }
    if (op == VTA_OP_LV_ROW_GETBYNBR)
        row->VTA_Node = VTAObj_GetNthChild(tree, folder, row->VTA_RowNbr);
    if (row->VTA_Node == nullptr) {
        row->VTA_ColCount = 0;
        bounded_format(msg, msg_size, kQosTexts.no_more, folder->VTA_Name);
        return VTA_ERR_NOT_FOUND;
    }
    const VTA_QOS_STATUS *q = qos_data(row->VTA_Node);
    VTAObj_SetCell(row, 0, row->VTA_Node->VTA_Name);
    const uint32_t figures[] = {q->limit_iops,   q->limit_mbps,   q->reserved_iops,
                                q->current_iops, q->clients_iops, q->hint_iops};
    for (uint32_t i = 0; i < 6; ++i)
        VTAObj_SetCell(row, i + 1, text_of("%d", static_cast<int>(figures[i])).c_str());
    return VTA_OK;
}

using child_lister = int32_t (*)(VTATree *, VTAObj *, char *, size_t);
using row_getter = int32_t (*)(VTATree *, uint32_t, VTAObj *, VTA_LV_ROW *, char *, size_t);

// The op function of a folder node: refresh lists its children, `rows` (when given) answers the
// list view's row requests, and the menu offers refresh only.
int32_t folder_op(VTATree *tree, uint32_t op, VTAObj *node, void *data, child_lister list,
                  row_getter rows, char *msg, size_t msg_size) {
    if (rows != nullptr && (op == VTA_OP_LV_ROW_GET || op == VTA_OP_LV_ROW_GETBYNBR))
        return rows(tree, op, node, static_cast<VTA_LV_ROW *>(data), msg, msg_size);
    if (op == VTA_OP_REFRESH)
        return list(tree, node, msg, msg_size);
    if (op == VTA_OP_ALLOW_MENU)
        return answer_refresh_only(data);
    return VTA_ERR_NOT_HANDLED;
}

// Disk and client items answer row requests by number only; the others also for the current row.
enum class row_requests { by_number_only, by_number_or_current };

// The op function of an item node whose children are its Name/Value properties;
// `properties(node)` builds them on refresh.
template <typename Properties>
int32_t property_item_op(VTATree *tree, uint32_t op, VTAObj *node, void *data,
                         const property_texts &texts, row_requests requests, Properties properties,
                         char *msg, size_t msg_size) {
    const bool row_request =
        op == VTA_OP_LV_ROW_GETBYNBR ||
        (op == VTA_OP_LV_ROW_GET && requests == row_requests::by_number_or_current);
    if (row_request)
        return property_rows(tree, op, node, static_cast<VTA_LV_ROW *>(data), texts, msg, msg_size);
    if (op == VTA_OP_REFRESH)
        return build_properties(tree, node, properties(*node), texts, msg, msg_size);
    if (op == VTA_OP_ALLOW_MENU)
        return answer_refresh_only(data);
    return VTA_ERR_NOT_HANDLED;
}

} // namespace

int32_t VTAObj_InsertItem(VTATree *tree, VTAObj *folder, const VTA_ITEM_KIND &kind,
                          const char *name, const void *data, size_t data_size, char *msg,
                          size_t msg_size) {
    VTAObj *node = VTAObj_Alloc(kind.op);
    if (node == nullptr) {
        bounded_format(msg, msg_size, kind.no_memory, name);
        return VTA_ERR_NO_MEMORY;
    }
    VTAObj_SetName(node, name);
    node->VTA_IsFolder = kind.is_folder ? 1 : 0;
    node->VTA_Type = kind.type;
    if (data != nullptr)
        VTAObj_SetData(node, data, data_size);
    VTAObj_Touch(node);
    const int32_t rc = VTAObj_Insert(tree, folder, node);
    if (rc != VTA_OK) {
        bounded_format(msg, msg_size, kind.insert_fail, name);
        if (node->VTA_Parent == nullptr)
            VTAObj_Free(&node);
    }
    return rc;
}

void VTAObj_UptimeText(uint32_t seconds, char *text, size_t size) {
    bounded_format(text, size, "%dd-%dh-%dm", static_cast<int>(seconds / 86400),
                   static_cast<int>(seconds % 86400 / 3600), static_cast<int>(seconds % 3600 / 60));
}

const char *VTAObj_DeviceFlagsText(uint32_t access) {
    const bool read = access & VTA_SG_READABLE;
    const bool write = access & VTA_SG_WRITABLE;
    if (read && write)
        return "Read/Write";
    if (read)
        return "Read Only";
    if (write)
        return "Write Only";
    return "Disabled";
}

// ---- Operation functions ----

int32_t VTAObj_AllDisksOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data, size_t,
                              char *msg, size_t msg_size) {
    return folder_op(tree, op, node, data, list_disks, nullptr, msg, msg_size);
}

int32_t VTAObj_DiskOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data, size_t, char *msg,
                          size_t msg_size) {
    return property_item_op(
        tree, op, node, data, kDiskTexts, row_requests::by_number_only,
        [](const VTAObj &n) {
            return disk_properties(*reinterpret_cast<const VTA_DISK *>(n.VTA_Data));
        },
        msg, msg_size);
}

int32_t VTAObj_AllSgOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data, size_t, char *msg,
                           size_t msg_size) {
    return folder_op(tree, op, node, data, list_stripe_groups, nullptr, msg, msg_size);
}

int32_t VTAObj_SgOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data, size_t, char *msg,
                        size_t msg_size) {
    return property_item_op(
        tree, op, node, data, kSgTexts, row_requests::by_number_or_current,
        [](const VTAObj &n) {
            return sg_properties(*reinterpret_cast<const VTA_SG_STATUS *>(n.VTA_Data));
        },
        msg, msg_size);
}

int32_t VTAObj_AllClientsOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data, size_t,
                                char *msg, size_t msg_size) {
    return folder_op(tree, op, node, data, list_clients, client_rows, msg, msg_size);
}

int32_t VTAObj_ClientOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data, size_t, char *msg,
                            size_t msg_size) {
    return property_item_op(
        tree, op, node, data, kClientTexts, row_requests::by_number_only,
        [](const VTAObj &n) { return client_properties(*client_data(&n)); }, msg, msg_size);
}

int32_t VTAObj_AllQosOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data, size_t, char *msg,
                            size_t msg_size) {
    return folder_op(tree, op, node, data, list_qos, qos_rows, msg, msg_size);
}

int32_t VTAObj_QosOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data, size_t, char *msg,
                         size_t msg_size) {
    return property_item_op(
        tree, op, node, data, kQosTexts, row_requests::by_number_or_current,
        [](const VTAObj &n) { return qos_properties(*qos_data(&n)); }, msg, msg_size);
}
