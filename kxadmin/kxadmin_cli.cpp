#include "kxadmin/kxadmin_cli.h"

#include "libutil/fatal.h"
#include "libutil/program_version.h"
#include "libutil/size_text.h"
#include "libvtadmin/vtadmin_computer.h"
#include "libvtadmin/vtadmin_debug.h"
#include "libvtadmin/vtadmin_dirquota.h"
#include "libvtadmin/vtadmin_export.h"
#include "libvtadmin/vtadmin_fsm.h"
#include "libvtadmin/vtadmin_quota_nodes.h"
#include "libvtadmin/vtadmin_recent.h"
#include "libvtadmin/vtadmin_tree.h"
#include "libvtadmin/vtadminlib.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <sstream>
#include <strings.h>
#include <unistd.h>
#include <unordered_map>
#include <utility>

namespace {

// Notes of the help texts, wrapped by hand.
const char *const kPathNote =
    R"(PATH: node names joined by "/", starting below "Connections", for example
  localhost/File Systems/snfs1/Stripe Groups
Namesakes are told apart with "#2", "#3"... in tree order ("snfs1#2" is the second
snfs1); a name that itself ends in "#" and a number is written with its number
("a#2#1"). An empty PATH or "/" is the "Connections" root.
)";

const char *const kFlagNote =
    R"(FLAG: a debug-flag keyword in any case (general, sockets, ..., debug; "all" is
every flag, "--set none" clears every flag) or a value such as 0x1000. The Set
column of a Debug folder shows [x] for a set flag and [ ] for a clear one (--json:
true or false; --csv: true or false).
)";

const char *const kCsvNote =
    R"(CSV: RFC 4180, the header texts first, lines ending in CR LF; a field with a
comma, a quote, CR or LF is quoted and its quotes doubled.
)";

const char *const kClosingNote =
    R"(Errors are printed on standard error; the exit status is then 1 (2 for a bad
command line). A refresh that fails on the way is reported and the command goes on
with what the tree has. Library diagnostics go to the log <debug dir>/kxadmin.log.
"kxadmin help COMMAND" shows the arguments and options of one command.
)";

// One --set or --clear of `debug`: the word becomes (word & keep) | add.
struct debug_change {
    uint32_t keep;
    uint32_t add;
};

struct options {
    std::vector<std::string> words; // command and its arguments
    bool json = false;
    bool csv = false;
    int depth = -1; // -1: every level
    std::string on_host;
    unsigned wait = 0;
    std::vector<debug_change> debug_changes; // in command-line order
    // Texts of quota set, read when the command runs; unset: keep the current value.
    std::optional<std::string> hard, soft, grace;
    std::vector<std::string> help_topic; // the command words after `help`
};

// The row of the debug-flag table whose keyword is `word`, in any case; null if none.
const VTA_DEBUG_FLAG *debug_flag_by_keyword(const std::string &word) {
    for (const VTA_DEBUG_FLAG *row = VTAdmin_DebugFlags; row->keyword != nullptr; ++row)
        if (strcasecmp(row->keyword, word.c_str()) == 0)
            return row;
    return nullptr;
}

// A value such as 0x1000 (or decimal); false unless the whole text is one 32-bit number.
bool parse_flag_value(const std::string &text, uint32_t *value) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") !=
                              std::string::npos)
        return false;
    errno = 0;
    const unsigned long long number = strtoull(digits.c_str(), nullptr, hex ? 16 : 10);
    if (errno != 0 || number > 0xFFFFFFFFull)
        return false;
    *value = static_cast<uint32_t>(number);
    return true;
}

// `--set FLAG` / `--clear FLAG`; an unknown FLAG is a usage error that lists the keywords.
bool parse_debug_change(bool set, const std::string &flag, debug_change *change,
                        std::string *reason) {
    uint32_t value = 0;
    const VTA_DEBUG_FLAG *row = debug_flag_by_keyword(flag);
    if (row != nullptr) {
        value = row->value;
    } else if (!parse_flag_value(flag, &value)) {
        *reason = "unknown debug flag '" + flag + "'; valid flags:";
        for (const VTA_DEBUG_FLAG *r = VTAdmin_DebugFlags; r->keyword != nullptr; ++r)
            *reason += std::string(r == VTAdmin_DebugFlags ? " " : ", ") + r->keyword;
        *reason += ", or a value such as 0x1000";
        return false;
    }
    // "none" has no bit: setting it leaves no flag set, clearing it changes nothing.
    const bool set_none = set && row != nullptr && row->value == 0;
    *change = set ? debug_change{set_none ? 0u : ~0u, value} : debug_change{~value, 0};
    return true;
}

// A tree for one command: created, its root announced and loaded as the shell's tree view
// does at start, destroyed at the end.
class session {
public:
    // The library starts as in the console: its diagnostics go to kxadmin.log, never to the
    // terminal.
    session(FILE *out, FILE *err) : out_(out), err_(err) {
        vtadmin_program_start("kxadmin");
        tree_ = VTATree_Create();
    }
    ~session() {
        VTATree_Destroy(&tree_);
        VTAdmin_Teardown();
    }

    bool start() {
        if (tree_ == nullptr)
            return fail("out of memory");
        for (uint32_t code : {VTA_OP_REDISPLAY, VTA_OP_REFRESH}) {
            char msg[VTA_MESSAGE_SIZE] = "";
            if (VTATree_Op(tree_, code, tree_->VTA_Root, nullptr, 0, msg, sizeof msg) == VTA_OK)
                continue;
            // A recent-connections file that could not be read has been kept aside and the
            // list starts empty: reported (once), it stops no command.
            if (!VTAObj_RecentLoaded())
                return fail(msg);
            fprintf(err_, "kxadmin: %s\n", msg);
        }
        return true;
    }

    bool op(uint32_t code, VTAObj *node, void *data = nullptr, size_t size = 0) {
        char msg[VTA_MESSAGE_SIZE] = "";
        return failed_unless(VTATree_Op(tree_, code, node, data, size, msg, sizeof msg), msg);
    }

    bool set_current(VTAObj *node) {
        char msg[VTA_MESSAGE_SIZE] = "";
        return failed_unless(VTATree_SetCurrent(tree_, node, msg, sizeof msg), msg);
    }

    bool fail(const std::string &message) {
        fprintf(err_, "kxadmin: %s\n", message.c_str());
        failed_ = true;
        return false;
    }

    // True when anything was reported: the command then ends with KXADMIN_FAILED, also when
    // it went on past the failure.
    bool failed() const { return failed_; }

    // Walks PATH from the root, refreshing every node passed on the way (as expanding it in
    // the tree view would); the last node is not refreshed here. A failed refresh is reported
    // and the walk goes on through the children the node still has, as the console still
    // shows them.
    VTAObj *resolve(const std::string &path) {
        VTAObj *node = tree_->VTA_Root;
        for (const kxadmin_path_part &part : kxadmin_split_path(path)) {
            if (node != tree_->VTA_Root)
                op(VTA_OP_REFRESH, node);
            VTAObj *child = find_child(node, part);
            if (child == nullptr) {
                fail("no node '" + part.text + "' in '" + node->VTA_Name + "'");
                return nullptr;
            }
            node = child;
        }
        return node;
    }

    static VTAObj *find_child(VTAObj *parent, const kxadmin_path_part &part) {
        if (VTAObj *found = find_namesake(parent, part.name, part.occurrence))
            return found;
        // "a#2" with no second "a": a node named "a#2" itself.
        return part.text != part.name ? find_namesake(parent, part.text, 1) : nullptr;
    }

    static VTAObj *find_namesake(VTAObj *parent, const std::string &name, int occurrence) {
        VTAObj *found = nullptr;
        VTAObj *start = nullptr;
        for (int seen = 0; VTAObj_FindChild(parent, start, name.c_str(), &found) == VTA_OK;) {
            if (++seen == occurrence)
                return found;
            start = found->VTA_SibRight;
            if (start == nullptr)
                break;
        }
        return nullptr;
    }

    // The node's list as the list view reads it.
    bool list(VTAObj *node, VTAList *list) {
        char msg[VTA_MESSAGE_SIZE] = "";
        return VTATree_ReadList(tree_, node, list, msg, sizeof msg) == VTA_OK || fail(msg);
    }

    VTATree *tree() { return tree_; }
    FILE *out() { return out_; }

private:
    // Reports a non-zero result; where the library left no text, its text for the code.
    bool failed_unless(int32_t rc, const char *msg) {
        return rc == VTA_OK || fail(msg[0] != '\0' ? msg : VTAdmin_StrError(rc));
    }

    VTATree *tree_ = nullptr;
    FILE *out_;
    FILE *err_;
    bool failed_ = false;
};

// The name under which a child is reached in a PATH, where `occurrence` counts the child and
// its namesakes to its left.
std::string path_name(const VTAObj *child, int occurrence) {
    return kxadmin_path_name(child->VTA_Name, occurrence);
}

bool is_shown_folder(const VTAObj *node) {
    return node->VTA_IsFolder && node->VTA_Type != VTA_OBJ_DUMMY;
}

// Prints the list rows of `node` (already refreshed): a table, in which a debug flag's check box
// shows as [x] or [ ], or the list's JSON or CSV.
int print_rows(session &s, VTAObj *node, const options &opt) {
    VTAList list;
    if (!s.list(node, &list))
        return KXADMIN_FAILED;
    if (opt.json || opt.csv) {
        fputs((opt.json ? VTAList_Json(list) : VTAList_Csv(list)).c_str(), s.out());
        return KXADMIN_OK;
    }
    std::vector<std::vector<std::string>> table;
    table.reserve(list.rows.size() + 1);
    table.push_back(list.header);
    for (VTAListRow &row : list.rows) {
        if (row.checked && !row.cells.empty())
            row.cells[0] = *row.checked ? "[x]" : "[ ]";
        table.push_back(std::move(row.cells));
    }
    fputs(kxadmin_format_table(table, list.right).c_str(), s.out());
    return KXADMIN_OK;
}

int cmd_ls(session &s, const options &opt) {
    VTAObj *node = s.resolve(opt.words.size() > 1 ? opt.words[1] : "");
    if (node == nullptr)
        return KXADMIN_FAILED;
    // A failed refresh is reported; the rows the node still has are listed all the same.
    s.set_current(node);
    return print_rows(s, node, opt);
}

// Refreshes `node` (unless it is the root, loaded at start) and prints its folders below it.
bool print_tree(session &s, VTAObj *node, int level, int depth, nlohmann::ordered_json *json) {
    bool ok = true;
    if (depth >= 0 && level >= depth)
        return ok;
    if (node != s.tree()->VTA_Root)
        ok = s.op(VTA_OP_REFRESH, node);
    // Namesakes are counted in one pass over the children, hidden ones included.
    std::unordered_map<std::string, int> seen;
    for (VTAObj *child = node->VTA_Child; child != nullptr; child = child->VTA_SibRight) {
        const int occurrence = ++seen[child->VTA_Name];
        if (!is_shown_folder(child))
            continue;
        const std::string name = path_name(child, occurrence);
        nlohmann::ordered_json entry = {{"name", name}, {"type", VTAObj_TypeName(child->VTA_Type)}};
        if (json == nullptr)
            fprintf(s.out(), "%*s%s\n", 2 * (level + 1), "", name.c_str());
        nlohmann::ordered_json children = nlohmann::ordered_json::array();
        ok = print_tree(s, child, level + 1, depth, json ? &children : nullptr) && ok;
        if (json != nullptr) {
            entry["children"] = children;
            json->push_back(entry);
        }
    }
    return ok;
}

int cmd_tree(session &s, const options &opt) {
    VTAObj *node = s.resolve(opt.words.size() > 1 ? opt.words[1] : "");
    if (node == nullptr)
        return KXADMIN_FAILED;
    nlohmann::ordered_json children = nlohmann::ordered_json::array();
    if (!opt.json)
        fprintf(s.out(), "%s\n", node->VTA_Name);
    const bool ok = print_tree(s, node, 0, opt.depth, opt.json ? &children : nullptr);
    if (opt.json) {
        nlohmann::ordered_json top = {{"name", node->VTA_Name},
                                      {"type", VTAObj_TypeName(node->VTA_Type)},
                                      {"children", children}};
        fprintf(s.out(), "%s\n", top.dump(2).c_str());
    }
    return ok ? KXADMIN_OK : KXADMIN_FAILED;
}

int cmd_connections(session &s, const options &opt) {
    nlohmann::json names = nlohmann::json::array();
    for (VTAObj *c = s.tree()->VTA_Root->VTA_Child; c != nullptr; c = c->VTA_SibRight) {
        if (c->VTA_Type != VTA_OBJ_COMPUTER)
            continue;
        if (opt.json)
            names.push_back(c->VTA_Name);
        else
            fprintf(s.out(), "%s\n", c->VTA_Name);
    }
    if (opt.json)
        fprintf(s.out(), "%s\n", names.dump(2).c_str());
    return KXADMIN_OK;
}

int cmd_connect(session &s, const options &opt) {
    std::string host = opt.words[1];
    VTAObj *root = s.tree()->VTA_Root;
    if (!s.op(VTA_OP_CREATE, root, host.data(), host.size() + 1))
        return KXADMIN_FAILED;
    VTAObj *computer = nullptr;
    VTAObj_FindChild(root, nullptr, host.c_str(), &computer);
    if (computer == nullptr || !s.set_current(computer))
        return KXADMIN_FAILED;
    return s.op(VTA_OP_SAVE, root) ? KXADMIN_OK : KXADMIN_FAILED;
}

int cmd_disconnect(session &s, const options &opt) {
    VTAObj *root = s.tree()->VTA_Root;
    const std::vector<kxadmin_path_part> parts = kxadmin_split_path(opt.words[1]);
    VTAObj *computer = parts.size() == 1 ? session::find_child(root, parts[0]) : nullptr;
    if (computer == nullptr || computer->VTA_Type != VTA_OBJ_COMPUTER) {
        s.fail("no connection '" + opt.words[1] + "'");
        return KXADMIN_FAILED;
    }
    if (!s.op(VTA_OP_CLOSE, computer))
        return KXADMIN_FAILED;
    return s.op(VTA_OP_SAVE, root) ? KXADMIN_OK : KXADMIN_FAILED;
}

int cmd_control(session &s, const options &opt) {
    const std::string &command = opt.words[0];
    const std::string &host = opt.words[1];
    const std::string &fs_name = opt.words[2];
    VTA_FS_CONTROL control{};
    uint32_t code = VTA_OP_START;
    if (command == "start") {
        control.VTA_Action = VTA_FS_START;
    } else if (command == "stop") {
        control.VTA_Action = opt.on_host.empty() ? VTA_FS_STOP : VTA_FS_STOP_ON_HOST;
        code = VTA_OP_STOP;
    } else if (command == "failover") {
        control.VTA_Action = VTA_FS_FAILOVER;
        code = VTA_OP_FAILOVER;
    } else {
        control.VTA_Action = VTA_FS_ACTIVATE;
        code = VTA_OP_ACTIVATE;
    }
    bounded_format(control.VTA_FsName, sizeof control.VTA_FsName, "%s", fs_name.c_str());
    bounded_format(control.VTA_Host, sizeof control.VTA_Host, "%s",
                   (opt.on_host.empty() ? host : opt.on_host).c_str());
    control.VTA_Wait = opt.wait;

    // As in the console: the dialog is opened on the selected file system, or on the "File
    // Systems" folder to start one that is not listed.
    // A failed refresh on the way is reported, and the action still goes to the name server.
    VTAObj *folder = s.resolve(host + "/File Systems");
    if (folder == nullptr)
        return KXADMIN_FAILED;
    s.set_current(folder);
    VTAObj *target = session::find_child(folder, {fs_name, 1, fs_name});
    if (target == nullptr && code != VTA_OP_START) {
        s.fail("no file system '" + fs_name + "' on '" + host + "'");
        return KXADMIN_FAILED;
    }
    if (target == nullptr || code == VTA_OP_START)
        target = folder;
    else
        s.set_current(target);
    control.VTA_Node = target;
    control.VTA_Tree = s.tree();
    if (!s.op(code, target, &control, sizeof control))
        return KXADMIN_FAILED;
    fprintf(s.out(), "%s %s: done\n", command.c_str(), fs_name.c_str());
    return KXADMIN_OK;
}

// Reads the FSM's debug flags through the file system's Debug folder, applies the changes in
// order and saves the word through the folder, which reads it back.
int cmd_debug(session &s, const options &opt) {
    VTAObj *folder = s.resolve(opt.words[1] + "/File Systems/" + opt.words[2] + "/Debug");
    if (folder == nullptr || !s.set_current(folder))
        return KXADMIN_FAILED;
    if (!opt.debug_changes.empty()) {
        uint32_t word = VTAObj_DebugWord(folder);
        for (const debug_change &change : opt.debug_changes)
            word = (word & change.keep) | change.add;
        if (!s.op(VTA_OP_SAVE, folder, &word, sizeof word))
            return KXADMIN_FAILED;
    }
    return print_rows(s, folder, opt);
}

// ---- quota ----

// One quota command, as parsed: what it acts on and, for `set`, the values asked for; a limit
// or grace period left out keeps the quota's value.
struct quota_request {
    bool set;
    std::string host, fs_name;
    std::string kind;   // user, group, data or files
    uint32_t type;      // VTA_QUOTA_*
    std::string target; // the user or group name, or the directory path
    std::optional<uint64_t> hard, soft;
    std::optional<uint32_t> grace;
};

bool is_directory(const quota_request &q) {
    return q.type == VTA_QUOTA_DIR_SPACE || q.type == VTA_QUOTA_DIR_FILES;
}

// A size text of --hard or --soft; negative values are no limits either.
bool read_size(const std::string &text, uint64_t *value) {
    int64_t parsed = 0;
    if (size_parse(text.c_str(), &parsed) == 0 || parsed < 0)
        return false;
    *value = static_cast<uint64_t>(parsed);
    return true;
}

// Checks the name (or path) and the options as the quota editor checks its fields, with its
// texts, before anything is sent. False with the text in `reason`.
bool read_quota_input(const options &opt, quota_request *q, std::string *reason) {
    const bool user = q->type == VTA_QUOTA_USER;
    if (is_directory(*q)) {
        if (q->target.empty())
            *reason = "Please specify a directory";
        else if (q->target.size() >= VTA_QUOTA_PATH_SIZE)
            *reason = "Directory path is too long";
    } else if (q->target.empty()) {
        *reason = user ? "Please enter a User Name" : "Please enter a Group Name";
    } else if (q->target.size() > 255) {
        *reason = user ? "User Name is too long" : "Group Name is too long";
    }
    if (!reason->empty())
        return false;
    uint64_t value = 0;
    if (opt.hard) {
        if (!read_size(*opt.hard, &value)) {
            *reason = "Hard Limit is not a valid number";
            return false;
        }
        q->hard = value;
    }
    if (opt.soft) {
        if (!read_size(*opt.soft, &value)) {
            *reason = "Soft Limit is not a valid number";
            return false;
        }
        q->soft = value;
    }
    if (opt.grace) {
        if (!read_size(*opt.grace, &value)) {
            *reason = "'Minutes' field is not a valid number";
            return false;
        }
        if (value > 4294967295u) {
            *reason = "Time value is too large";
            return false;
        }
        q->grace = static_cast<uint32_t>(value);
    }
    return true;
}

// The quota sub-folder of `kind` ("Users & Groups" or "Directories") of the active file system
// `fs_name` listed under HOST, refreshed and made current as the quota editor finds it; null
// after a message.
VTAObj *quota_folder(session &s, const std::string &host, const std::string &fs_name,
                     uint32_t kind) {
    VTAObj *folder = s.resolve(host + "/File Systems");
    if (folder == nullptr || !s.set_current(folder))
        return nullptr;
    VTAObj *fs = folder->VTA_Child;
    while (fs != nullptr && !(fs->VTA_Type == VTA_OBJ_FS_ACTIVE && fs_name == fs->VTA_Name))
        fs = fs->VTA_SibRight;
    if (fs == nullptr) {
        s.fail("no active file system '" + fs_name + "' on '" + host + "'");
        return nullptr;
    }
    if (!s.op(VTA_OP_REFRESH, fs))
        return nullptr;
    VTAObj *quotas = VTAObj_FindChildOfType(s.tree(), fs, VTA_OBJ_ALL_QUOTAS);
    VTAObj *sub = quotas ? VTAObj_FindChildOfType(s.tree(), quotas, kind) : nullptr;
    if (sub == nullptr) {
        s.fail("no quota folder under '" + fs_name + "'");
        return nullptr;
    }
    if (!s.set_current(sub))
        return nullptr;
    // With quotas off the list is the one message row; say so rather than fail at the FSM.
    if (sub->VTA_Child != nullptr && sub->VTA_Child->VTA_Type == VTA_OBJ_VALUE) {
        VTA_VALUE_DATA message;
        VTAObj_GetData(sub->VTA_Child, &message, sizeof message);
        s.fail(message.VTA_Text);
        return nullptr;
    }
    return sub;
}

// The quota node named `name` of node kind `kind` holding a quota of `type`, or null.
VTAObj *find_quota(VTAObj *folder, const std::string &name, uint32_t kind, uint32_t type) {
    for (VTAObj *c = folder->VTA_Child; c != nullptr; c = c->VTA_SibRight) {
        VTA_QUOTA_EDIT edit;
        VTAObj_GetData(c, &edit, sizeof edit);
        if (c->VTA_Type == kind && name == c->VTA_Name && edit.VTA_Quota.type == type)
            return c;
    }
    return nullptr;
}

// The quota editor's last steps: the record of `node` (or a new one for `target`) with the
// values asked for, checked, then saved on the node (7) or created on `folder` (5).
bool set_quota(session &s, const quota_request &q, VTAObj *folder, VTAObj *node) {
    VTA_QUOTA_EDIT edit{};
    if (node != nullptr)
        VTAObj_GetData(node, &edit, sizeof edit);
    else if (is_directory(q))
        bounded_format(edit.VTA_Path, sizeof edit.VTA_Path, "%s", q.target.c_str());
    else
        bounded_format(edit.VTA_Quota.name, sizeof edit.VTA_Quota.name, "%s", q.target.c_str());
    VTA_QUOTA &record = edit.VTA_Quota;
    record.type = q.type;
    record.hard = q.hard.value_or(record.hard);
    record.soft = q.soft.value_or(record.soft);
    record.grace = q.grace.value_or(record.grace);
    char msg[VTA_MESSAGE_SIZE] = "";
    if (VTAdmin_CheckQuotaLimits(record.hard, record.soft, record.grace, msg, sizeof msg) != 0)
        return s.fail(msg);
    if (node == nullptr)
        return s.op(VTA_OP_CREATE, folder, &edit, sizeof edit);
    VTAObj_SetData(node, &edit, sizeof edit);
    return s.op(VTA_OP_SAVE, node);
}

// True when the directory PATH is taken as an absolute path: it starts with "/" and exists on
// this machine, or lies below the file system's mount point. An absolute path that is neither
// cannot be on the file system; it is read as the "Path" column shows directories, relative to
// the mount point ("/projects").
bool is_absolute_target(const quota_request &q) {
    if (q.target[0] != '/')
        return false;
    if (access(q.target.c_str(), F_OK) == 0)
        return true;
    char mount[VTA_QUOTA_PATH_SIZE] = "";
    char msg[VTA_MESSAGE_SIZE] = "";
    if (VTAdmin_FindMountPoint(q.fs_name.c_str(), mount, sizeof mount, msg) != 0)
        return true; // the lookup fails again, with its message, where the path is used
    std::string prefix = mount;
    while (prefix.size() > 1 && prefix.back() == '/')
        prefix.pop_back();
    return q.target.compare(0, prefix.size(), prefix) == 0 &&
           (q.target.size() == prefix.size() || q.target[prefix.size()] == '/');
}

// quota set|delete on the node of the quota: a user's or group's is found by its name, a
// directory's (PATH absolute, or relative to the mount point) by the name of the directory's
// name space, so any spelling of the path finds it.
bool quota_on_node(session &s, const quota_request &q) {
    const bool directory = is_directory(q);
    VTAObj *folder =
        quota_folder(s, q.host, q.fs_name, directory ? VTA_OBJ_QUOTAS_DIR : VTA_OBJ_QUOTAS_UG);
    if (folder == nullptr)
        return false;
    char name[VTA_NAME_SIZE] = "";
    bounded_format(name, sizeof name, "%s", q.target.c_str());
    uint32_t kind = q.type == VTA_QUOTA_USER ? VTA_OBJ_QUOTA_USER : VTA_OBJ_QUOTA_GROUP;
    if (directory) {
        kind = VTA_OBJ_QUOTA_DIR;
        const int path_kind = is_absolute_target(q) ? VTA_PATH_ABSOLUTE : VTA_PATH_RELATIVE;
        char msg[VTA_MESSAGE_SIZE] = "";
        if (VTAdmin_DirQuotaPath2Name(q.fs_name.c_str(), path_kind, q.target.c_str(), name,
                                      sizeof name, nullptr, msg) != 0)
            return s.fail(msg);
    }
    VTAObj *node = find_quota(folder, name, kind, q.type);
    if (q.set)
        return set_quota(s, q, folder, node);
    if (node == nullptr)
        return s.fail("no " + q.kind + " quota " + (directory ? "for '" : "'") + q.target +
                      "' on '" + q.fs_name + "'");
    return s.op(VTA_OP_DELETE, node);
}

// quota set|delete HOST FSNAME user|group|data|files NAME|PATH: the create (5), save (7) and
// delete (9) operations of the quota editor and the Delete command.
int cmd_quota(session &s, const options &opt) {
    quota_request q{opt.words[1] == "set",
                    opt.words[2],
                    opt.words[3],
                    opt.words[4],
                    0,
                    opt.words[5],
                    {},
                    {},
                    {}};
    const char *const kinds[] = {"user", "group", "data", "files"};
    for (uint32_t type = VTA_QUOTA_USER; type <= VTA_QUOTA_DIR_FILES; ++type)
        if (q.kind == kinds[type - 1])
            q.type = type;
    if ((!q.set && opt.words[1] != "delete") || q.type == 0) {
        s.fail("usage: quota set|delete HOST FSNAME user|group|data|files NAME|PATH (see kxadmin "
               "--help)");
        return KXADMIN_USAGE;
    }
    std::string reason;
    if (q.set && !read_quota_input(opt, &q, &reason)) {
        s.fail(reason);
        return KXADMIN_FAILED;
    }
    if (!quota_on_node(s, q))
        return KXADMIN_FAILED;
    fprintf(s.out(), "quota %s %s %s: done\n", opt.words[1].c_str(), q.kind.c_str(),
            q.target.c_str());
    return KXADMIN_OK;
}

const struct {
    const char *name;
    int (*run)(session &, const options &);
    // Loads, changes and saves the recent connections: the file stays locked from the load
    // to the save, so that programs doing the same at once lose none of each other's hosts.
    bool changes_connections;
} kCommands[] = {
    {"ls", cmd_ls, false},
    {"tree", cmd_tree, false},
    {"connections", cmd_connections, false},
    {"connect", cmd_connect, true},
    {"disconnect", cmd_disconnect, true},
    {"start", cmd_control, false},
    {"stop", cmd_control, false},
    {"failover", cmd_control, false},
    {"activate", cmd_control, false},
    {"debug", cmd_debug, false},
    {"quota", cmd_quota, false},
};

// ---- The command line ----

// A command of the grammar. Options it does not know go up to the program (--root may stand
// anywhere); what nobody takes is kept for a usage error of our own wording.
CLI::App *add_command(CLI::App *parent, const char *name, const char *summary,
                      const std::string &footer = "") {
    CLI::App *command = parent->add_subcommand(name, summary);
    command->fallthrough()->allow_extras()->require_subcommand(0, 1)->footer(footer);
    return command;
}

// An argument of a command; `label` is how the help shows it.
void add_argument(CLI::App *command, const char *name, const char *what, bool required = true,
                  const char *label = "") {
    command->add_option(name)->description(what)->required(required)->type_name(label);
}

// --depth and --wait: a decimal count up to a million.
template <typename T>
void add_count(CLI::App *command, const char *name, const char *label, const char *what,
               T *target) {
    command
        ->add_option_function<std::string>(
            name,
            [name, target](const std::string &text) {
                char *end = nullptr;
                const long number = strtol(text.c_str(), &end, 10);
                if (text.empty() || *end != '\0' || number < 0 || number > 1000000)
                    throw CLI::ValidationError("bad number for " + std::string(name) + ": " + text);
                *target = static_cast<T>(number);
            },
            what)
        ->type_name(label)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
}

// A text option whose last occurrence counts.
void add_text(CLI::App *command, const char *name, const char *label, const char *what,
              std::function<void(const std::string &)> store) {
    command->add_option_function<std::string>(name, std::move(store), what)
        ->type_name(label)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
}

void add_json(CLI::App *command, options *opt) {
    command->add_flag("--json", opt->json, "JSON output");
}

void add_host_arguments(CLI::App *command) {
    add_argument(command, "HOST", "the connected host whose name server is asked");
    add_argument(command, "FSNAME", "the file system");
}

void add_on(CLI::App *command, options *opt) {
    add_text(command, "--on", "H", "the host of the FSM acted on",
             [opt](const std::string &host) { opt->on_host = host; });
}

void add_wait(CLI::App *command, options *opt) {
    add_count(command, "--wait", "S", "seconds to wait for the FSMs (0: do not wait)", &opt->wait);
}

// --set and --clear, applied in the order given: each occurrence is read as it is parsed.
void add_debug_change(CLI::App *command, options *opt, bool set) {
    command
        ->add_option_function<std::string>(
            set ? "--set" : "--clear",
            [opt, set](const std::string &flag) {
                debug_change change{};
                std::string reason;
                if (!parse_debug_change(set, flag, &change, &reason))
                    throw CLI::ValidationError(reason);
                opt->debug_changes.push_back(change);
            },
            set ? "turn a debug flag on" : "turn a debug flag off")
        ->type_name("FLAG")
        ->trigger_on_parse()
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
}

void add_quota_arguments(CLI::App *command) {
    add_host_arguments(command);
    add_argument(command, "KIND",
                 "user or group: the quota of a user or group; data or files: the bytes or "
                 "the files below a directory",
                 true, "user|group|data|files");
    add_argument(command, "TARGET",
                 "the user or group name, or the directory: absolute, or relative to the mount "
                 "point of FSNAME on this machine (its line in <config dir>/mounttab)",
                 true, "NAME|PATH");
}

// Every command with its arguments and options. Options fill `opt`; arguments are read back
// from the parsed line.
void declare_commands(CLI::App &app, options *opt) {
    app.set_help_flag("-h,--help", "this text");
    app.set_version_flag("--version", "kxadmin " KX_PROGRAM_VERSION, "the program's version");
    add_text(&app, "--root", "DIR", "the install root (default: $KXFSROOT, else /opt/veltrane)",
             [](const std::string &dir) { setenv("KXFSROOT", dir.c_str(), 1); });
    app.allow_extras()->require_subcommand(0, 1);
    app.footer(std::string(kPathNote) + "\n" + kFlagNote + "\n" + kCsvNote + "\n" + kClosingNote);

    CLI::App *ls = add_command(&app, "ls",
                               "refresh the node at PATH and print its list rows (header first; "
                               "--json: an array of objects keyed by the header texts; --csv: "
                               "the rows as CSV)",
                               std::string(kPathNote) + "\n" + kCsvNote);
    add_argument(ls, "PATH", "the node (default: the root)", false);
    add_json(ls, opt);
    ls->add_flag("--csv", opt->csv, "CSV output")->excludes("--json");

    CLI::App *tree = add_command(
        &app, "tree", "refresh and print the folders below PATH, indented; N levels (default: all)",
        kPathNote);
    add_argument(tree, "PATH", "the node (default: the root)", false);
    add_count(tree, "--depth", "N", "levels shown below PATH", &opt->depth);
    add_json(tree, opt);

    add_json(add_command(&app, "connections", "the recent connections (the console's own list)"),
             opt);
    add_argument(add_command(&app, "connect", "add a connection to HOST and save the list"), "HOST",
                 "a host name or address");
    add_argument(add_command(&app, "disconnect", "close the connection to HOST and save the list"),
                 "HOST", "a connected host");

    CLI::App *start =
        add_command(&app, "start", "start FSNAME through HOST's name server (on H, default HOST)");
    add_host_arguments(start);
    add_on(start, opt);
    add_wait(start, opt);
    CLI::App *stop =
        add_command(&app, "stop", "stop FSNAME (--on: only on H; --wait: every FSM, waiting)");
    add_host_arguments(stop);
    add_on(stop, opt);
    add_wait(stop, opt);
    add_host_arguments(
        add_command(&app, "failover", "stop the active FSM of FSNAME and activate a standby"));
    CLI::App *activate =
        add_command(&app, "activate", "make the FSM of FSNAME on H (default HOST) the active one");
    add_host_arguments(activate);
    add_on(activate, opt);

    CLI::App *debug = add_command(&app, "debug",
                                  "change the FSM's debug flags, in the order given, save them "
                                  "and print the flags as ls prints its Debug folder",
                                  kFlagNote);
    add_host_arguments(debug);
    add_debug_change(debug, opt, true);
    add_debug_change(debug, opt, false);
    add_json(debug, opt);

    CLI::App *quota = add_command(&app, "quota", "add, change or delete a quota");
    CLI::App *quota_set = add_command(
        quota, "set",
        "add or change the quota of a user or group on the active FSM of FSNAME as listed "
        "under HOST, or the data (bytes) or files (count) quota of a directory; an option left "
        "out keeps the current value (0 for a new quota). \"/projects\", as the Path column "
        "shows it, is read relative to the mount point unless /projects exists on this machine");
    add_quota_arguments(quota_set);
    add_text(quota_set, "--hard", "SIZE",
             "hard limit: a size text such as 10G, 900M, 1048576, 0x1FFF (a count of files for "
             "a files quota)",
             [opt](const std::string &text) { opt->hard = text; });
    add_text(quota_set, "--soft", "SIZE", "soft limit, as --hard",
             [opt](const std::string &text) { opt->soft = text; });
    add_text(quota_set, "--grace", "MINUTES",
             "grace period: how long the soft limit may be exceeded",
             [opt](const std::string &text) { opt->grace = text; });
    add_quota_arguments(add_command(quota, "delete",
                                    "delete the quota (its limits go; usage stays listed); a "
                                    "directory's quota name space goes with its last quota"));

    CLI::App *help = add_command(&app, "help", "this text, or the help of COMMAND");
    help->add_option("COMMAND", opt->help_topic, "a command, such as ls or \"quota set\"")
        ->type_name("");
}

// The command the line chose: the deepest command parsed (the program itself if none).
const CLI::App *chosen(const CLI::App &app) {
    const CLI::App *command = &app;
    while (!command->get_subcommands().empty())
        command = command->get_subcommands().front();
    return command;
}

// "quota set" for that command.
std::string command_words(const CLI::App *command) {
    std::string words;
    for (; command->get_parent() != nullptr; command = command->get_parent())
        words = command->get_name() + (words.empty() ? "" : " " + words);
    return words;
}

std::vector<const CLI::App *> subcommands(const CLI::App *command) {
    return command->get_subcommands([](const CLI::App *) { return true; });
}

// The commands below `command` that take no further command word, in declaration order.
void leaf_commands(const CLI::App *command, std::vector<const CLI::App *> *leaves) {
    const std::vector<const CLI::App *> subs = subcommands(command);
    if (subs.empty())
        leaves->push_back(command);
    for (const CLI::App *sub : subs)
        leaf_commands(sub, leaves);
}

bool is_help_or_version(const CLI::App *command, const CLI::Option *option) {
    return option == command->get_help_ptr() || option == command->get_version_ptr();
}

// An option as the help shows it ("-h, --help", "--on H"), or an argument's label.
std::string option_label(const CLI::Option *option) {
    if (option->get_positional())
        return option->get_type_name().empty() ? option->get_name() : option->get_type_name();
    std::string label;
    for (const std::string &name : option->get_snames())
        label += (label.empty() ? "-" : ", -") + name;
    for (const std::string &name : option->get_lnames())
        label += (label.empty() ? "--" : ", --") + name;
    return option->get_type_name().empty() ? label : label + " " + option->get_type_name();
}

// "ls", "[PATH]", "[--json]", "[--csv]": the command words, arguments and options of a leaf
// command, each unit kept on one line when wrapped.
std::vector<std::string> synopsis(const CLI::App *command) {
    std::vector<std::string> units = {command_words(command)};
    for (const CLI::Option *option : command->get_options()) {
        if (is_help_or_version(command, option))
            continue;
        const std::string label = option_label(option);
        if (option->get_positional())
            units.push_back(option->get_required() ? label : "[" + label + "]");
        else if (option->get_multi_option_policy() == CLI::MultiOptionPolicy::TakeAll)
            units.push_back("[" + label + "]...");
        else
            units.push_back("[" + label + "]");
    }
    return units;
}

std::vector<std::string> words_of(const std::string &text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

constexpr size_t kHelpWidth = 80;

// Adds `words` to `lines` (the last one goes on), one blank apart: a line shorter than
// `column` is filled up to it first; a word that would pass kHelpWidth starts a line of
// `indent` blanks.
void wrap(std::vector<std::string> *lines, const std::vector<std::string> &words, size_t column,
          size_t indent) {
    for (const std::string &word : words) {
        std::string &line = lines->back();
        if (line.size() <= column)
            line.resize(column, ' ');
        else if (line.size() + 1 + word.size() <= kHelpWidth)
            line += ' ';
        else
            lines->push_back(std::string(indent, ' '));
        lines->back() += word;
    }
}

std::string joined_lines(const std::vector<std::string> &lines) {
    std::string text;
    for (const std::string &line : lines)
        text += line + "\n";
    return text;
}

// "  <lead>" and its `text` from `column` on, on the next line when the lead reaches into it.
std::string help_entry(const std::vector<std::string> &lead, const std::string &text,
                       size_t column) {
    std::vector<std::string> lines = {""};
    wrap(&lines, lead, 2, 6);
    if (lines.back().size() + 2 > column && !text.empty())
        lines.push_back("");
    wrap(&lines, words_of(text), column, column);
    return joined_lines(lines);
}

// The options of `command` and the commands below it, each once, help and version last.
std::vector<const CLI::Option *> options_below(const CLI::App *command) {
    std::vector<const CLI::Option *> found;
    std::vector<std::string> labels;
    const auto add = [&](const CLI::Option *option) {
        const std::string label = option_label(option);
        if (option != nullptr && std::find(labels.begin(), labels.end(), label) == labels.end()) {
            labels.push_back(label);
            found.push_back(option);
        }
    };
    std::vector<const CLI::App *> commands = {command};
    for (size_t i = 0; i < commands.size(); ++i) {
        for (const CLI::Option *option : commands[i]->get_options())
            if (!option->get_positional() && !is_help_or_version(commands[i], option))
                add(option);
        for (const CLI::App *sub : subcommands(commands[i]))
            commands.push_back(sub);
    }
    for (const CLI::Option *option : {command->get_help_ptr(), command->get_version_ptr()})
        if (option != nullptr)
            add(option);
    return found;
}

// The help of the program (`command` is `app`) or of one command.
std::string help_text(const CLI::App &app, const CLI::App *command) {
    std::vector<const CLI::App *> leaves;
    leaf_commands(command, &leaves);
    std::string text;
    if (command == &app) {
        text = "Usage: kxadmin [--root DIR] COMMAND [ARGUMENTS] [OPTIONS]\n"
               "       kxadmin help [COMMAND] | --help | --version\n";
    } else {
        for (const CLI::App *leaf : leaves) {
            std::vector<std::string> lines = {(text.empty() ? "Usage: " : "       ") +
                                              std::string("kxadmin [--root DIR]")};
            wrap(&lines, synopsis(leaf), 0, 11);
            text += joined_lines(lines);
        }
    }
    std::vector<std::string> description = {""};
    wrap(&description, words_of(command->get_description()), 0, 0);
    text += "\n" + joined_lines(description);
    if (leaves.front() != command) {
        text += "\nCommands:\n";
        for (const CLI::App *leaf : leaves)
            text += help_entry(synopsis(leaf), leaf->get_description(), 30);
    } else if (!command->get_options([](const CLI::Option *o) { return o->get_positional(); })
                    .empty()) {
        text += "\nArguments:\n";
        for (const CLI::Option *option : command->get_options())
            if (option->get_positional())
                text += help_entry({option_label(option)}, option->get_description(), 18);
    }
    text += "\nOptions:\n";
    for (const CLI::Option *option : options_below(command))
        text += help_entry({option_label(option)}, option->get_description(), 18);
    if (!command->get_footer().empty())
        text += "\n" + command->get_footer();
    return text;
}

// Whether any command (or the program) has an option named `name`.
bool option_known(const CLI::App *command, const std::string &name) {
    if (command->get_option_no_throw(name) != nullptr)
        return true;
    for (const CLI::App *sub : subcommands(command))
        if (option_known(sub, name))
            return true;
    return false;
}

// Why the parsed line cannot run, or "" when it can: a word or option nobody took, a command
// word or an argument missing.
std::string refusal(const CLI::App &app, const CLI::App *command) {
    const std::string words = command_words(command);
    const std::vector<std::string> extras = app.remaining(true);
    if (!extras.empty()) {
        const std::string &word = extras.front();
        if (word.size() > 1 && word[0] == '-') {
            const std::string name = word.substr(0, word.find('='));
            if (command != &app && command->get_option_no_throw(name) != nullptr)
                return name + " belongs after '" + words + "'";
            if (command != &app && option_known(&app, name))
                return "'" + words + "' has no option " + name;
            return "unknown option " + word;
        }
        if (command == &app)
            return "unknown command '" + word + "'";
        if (!subcommands(command).empty())
            return "unknown command '" + words + " " + word + "'";
        return "too many arguments for '" + words + "': " + word;
    }
    if (command != &app && !subcommands(command).empty()) {
        std::string names;
        for (const CLI::App *sub : subcommands(command))
            names += (names.empty() ? "" : " or ") + sub->get_name();
        return "'" + words + "' needs " + names;
    }
    for (const CLI::Option *option : command->get_options())
        if (option->get_positional() && option->get_required() && option->count() == 0)
            return "missing " + option_label(option) + " for '" + words + "'";
    return "";
}

int usage_error(FILE *err, const CLI::App &app, const CLI::App *command,
                const std::string &reason) {
    const std::string see = command == &app ? "--help" : "help " + command_words(command);
    fprintf(err, "kxadmin: %s (see kxadmin %s)\n", reason.c_str(), see.c_str());
    return KXADMIN_USAGE;
}

// A parse error in our words where CLI11's are unclear.
std::string parse_error_text(const CLI::ParseError &e) {
    const std::string text = e.what();
    // "--set: 1 required TEXT missing"
    if (dynamic_cast<const CLI::ArgumentMismatch *>(&e) != nullptr && text.ends_with(" missing"))
        return "option " + text.substr(0, text.find(':')) + " needs a value";
    // "--csv excludes --json", whichever came first
    const size_t excludes = text.find(" excludes ");
    if (dynamic_cast<const CLI::ExcludesError *>(&e) != nullptr && excludes != std::string::npos)
        return text.substr(0, excludes) + " and " + text.substr(excludes + 10) +
               " cannot be given together";
    return text;
}

// `help [COMMAND]`: the help of the program or of that command on `out`.
int print_help(FILE *out, FILE *err, const CLI::App &app, const options &opt) {
    const CLI::App *topic = &app;
    for (const std::string &word : opt.help_topic) {
        const std::vector<const CLI::App *> found = topic->get_subcommands(
            [&word](const CLI::App *sub) { return sub->get_name() == word; });
        if (found.empty())
            return usage_error(err, app, &app,
                               "unknown command '" +
                                   (topic == &app ? "" : command_words(topic) + " ") + word + "'");
        topic = found.front();
    }
    fputs(help_text(app, topic).c_str(), out);
    return KXADMIN_OK;
}

} // namespace

namespace {

constexpr int kMaxOccurrence = 1000000;

// The part of `component` before a namesake suffix "#<n>" and n, or n = 0 when there is none.
std::pair<std::string, int> namesake_suffix(const std::string &component) {
    const size_t hash = component.rfind('#');
    if (hash == std::string::npos || hash == 0 || hash + 1 >= component.size())
        return {component, 0};
    const std::string digits = component.substr(hash + 1);
    if (digits.size() > 7 || digits[0] == '0' ||
        digits.find_first_not_of("0123456789") != std::string::npos)
        return {component, 0};
    const int number = std::stoi(digits);
    if (number > kMaxOccurrence)
        return {component, 0};
    return {component.substr(0, hash), number};
}

} // namespace

std::vector<kxadmin_path_part> kxadmin_split_path(const std::string &path) {
    std::vector<kxadmin_path_part> parts;
    size_t begin = 0;
    while (begin <= path.size()) {
        size_t end = path.find('/', begin);
        if (end == std::string::npos)
            end = path.size();
        std::string text = path.substr(begin, end - begin);
        begin = end + 1;
        if (text.empty())
            continue;
        auto [name, occurrence] = namesake_suffix(text);
        parts.push_back({name, occurrence > 0 ? occurrence : 1, text});
    }
    return parts;
}

std::string kxadmin_path_name(const std::string &name, int occurrence) {
    if (occurrence > 1 || namesake_suffix(name).second > 0)
        return name + "#" + std::to_string(occurrence);
    return name;
}

std::string kxadmin_format_table(const std::vector<std::vector<std::string>> &rows,
                                 const std::vector<bool> &right) {
    std::vector<size_t> widths;
    for (const auto &row : rows)
        for (size_t c = 0; c < row.size(); ++c) {
            if (widths.size() <= c)
                widths.push_back(0);
            widths[c] = std::max(widths[c], row[c].size());
        }
    // Written into one text, padding and all, without a string per line or cell.
    std::string text;
    size_t line_width = 0;
    for (size_t width : widths)
        line_width += width + 2;
    text.reserve(rows.size() * (line_width + 1));
    for (const auto &row : rows) {
        const size_t start = text.size();
        for (size_t c = 0; c < row.size(); ++c) {
            if (c > 0)
                text.append(2, ' ');
            const size_t pad = widths[c] - row[c].size();
            if (c < right.size() && right[c])
                text.append(pad, ' ').append(row[c]);
            else
                text.append(row[c]).append(pad, ' ');
        }
        const size_t end = text.find_last_not_of(' ');
        text.resize(end == std::string::npos || end < start ? start : end + 1);
        text += '\n';
    }
    return text;
}

int kxadmin_main(int argc, char **argv, FILE *out, FILE *err) {
    options opt;
    CLI::App app("Browse and control a Veltrane cluster through the same admin object tree as "
                 "the console.",
                 "kxadmin");
    declare_commands(app, &opt);
    std::string required;
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &) {
        fputs(help_text(app, chosen(app)).c_str(), out);
        return KXADMIN_OK;
    } catch (const CLI::CallForVersion &e) {
        fprintf(out, "%s\n", e.what());
        return KXADMIN_OK;
    } catch (const CLI::RequiredError &e) {
        required = e.what(); // explained from what was parsed, below
    } catch (const CLI::ParseError &e) {
        return usage_error(err, app, chosen(app), parse_error_text(e));
    }
    const CLI::App *command = chosen(app);
    std::string reason = refusal(app, command);
    if (reason.empty() && !required.empty())
        reason = required;
    if (!reason.empty())
        return usage_error(err, app, command, reason);
    if (command == &app) {
        fputs(help_text(app, &app).c_str(), err);
        return KXADMIN_USAGE;
    }
    if (command->get_name() == "help")
        return print_help(out, err, app, opt);

    opt.words = {};
    for (const CLI::App *c = command; c != &app; c = c->get_parent())
        opt.words.insert(opt.words.begin(), c->get_name());
    for (const CLI::Option *option : command->get_options())
        if (option->get_positional() && option->count() > 0)
            opt.words.push_back(option->results().front());
    const auto *entry = std::find_if(std::begin(kCommands), std::end(kCommands),
                                     [&opt](const auto &c) { return opt.words[0] == c.name; });
    KX_ASSERT(entry != std::end(kCommands), "kxadmin");
    if (entry->changes_connections) {
        char msg[VTA_MESSAGE_SIZE] = "";
        if (VTAObj_RecentLock(msg, sizeof msg) != VTA_OK) {
            fprintf(err, "kxadmin: %s\n", msg);
            return KXADMIN_FAILED;
        }
    }
    int status = KXADMIN_FAILED;
    {
        session s(out, err);
        if (s.start()) {
            status = entry->run(s, opt);
            if (status == KXADMIN_OK && s.failed())
                status = KXADMIN_FAILED;
        }
    }
    if (entry->changes_connections)
        VTAObj_RecentUnlock();
    return status;
}
