#include "kxadmin/kxadmin_cli.h"

#include "libutil/fatal.h"
#include "libutil/size_text.h"
#include "libvtadmin/vtadmin_computer.h"
#include "libvtadmin/vtadmin_debug.h"
#include "libvtadmin/vtadmin_dirquota.h"
#include "libvtadmin/vtadmin_fsm.h"
#include "libvtadmin/vtadmin_quota_nodes.h"
#include "libvtadmin/vtadmin_recent.h"
#include "libvtadmin/vtadmin_tree.h"
#include "libvtadmin/vtadminlib.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <strings.h>
#include <utility>

namespace {

const char *const kHelp =
    R"(Usage: kxadmin [--root DIR] COMMAND [ARGUMENTS] [OPTIONS]

Browse and control a Veltrane cluster through the same admin object tree as the console.

Commands:
  ls [PATH] [--json]          refresh the node at PATH and print its list rows (header first;
                              --json: an array of objects keyed by the header texts)
  tree [PATH] [--depth N] [--json]
                              refresh and print the folders below PATH, indented; N levels
                              (default: all)
  connections [--json]        the recent connections (the console's own list)
  connect HOST                add a connection to HOST and save the list
  disconnect HOST             close the connection to HOST and save the list
  start HOST FSNAME [--on H] [--wait SECONDS]
                              start FSNAME through HOST's name server (on H, default HOST)
  stop HOST FSNAME [--on H] [--wait SECONDS]
                              stop FSNAME (--on: only on H; --wait: every FSM, waiting)
  failover HOST FSNAME        stop the active FSM of FSNAME and activate a standby
  activate HOST FSNAME [--on H]
                              make the FSM of FSNAME on H (default HOST) the active one
  debug HOST FSNAME [--set FLAG]... [--clear FLAG]... [--json]
                              change the FSM's debug flags, in the order given, save them
                              and print the flags as ls prints its Debug folder
  quota set HOST FSNAME user|group NAME [--hard SIZE] [--soft SIZE] [--grace MINUTES]
                              add or change the quota of NAME on the active FSM of FSNAME
                              as listed under HOST; an option left out keeps the current
                              value (0 for a new quota)
  quota delete HOST FSNAME user|group NAME
                              delete the quota of NAME (its limits go; usage stays listed)
  quota set HOST FSNAME data|files PATH [--hard N] [--soft N] [--grace MINUTES]
                              add or change the data (bytes) or files (count) quota of the
                              directory PATH: absolute, or relative to the mount point of
                              FSNAME on this machine (its line in <config dir>/mounttab)
  quota delete HOST FSNAME data|files PATH
                              delete that quota; the directory's quota name space goes
                              with its last quota

PATH: node names joined by "/", starting below "Connections", for example
  localhost/File Systems/snfs1/Stripe Groups
Namesakes are told apart with "#2", "#3"... in tree order ("snfs1#2" is the second snfs1);
a name that itself ends in "#" and a number is written with its number ("a#2#1").
An empty PATH or "/" is the "Connections" root.

FLAG: a debug-flag keyword in any case (general, sockets, ..., debug; "all" is every flag,
"--set none" clears every flag) or a value such as 0x1000. The Set column of a Debug folder
shows [x] for a set flag and [ ] for a clear one (--json: true or false).

Options:
  --root DIR     the install root (default: $KXFSROOT, else /opt/veltrane)
  --json         JSON output (ls, tree, connections)
  --depth N      levels shown below PATH (tree)
  --on HOST      host argument of start, stop and activate
  --wait S       wait value of start and stop (0: do not wait)
  --set FLAG     turn a debug flag on (debug)
  --clear FLAG   turn a debug flag off (debug)
  --hard SIZE    hard limit of quota set: a size text such as 10G, 900M, 1048576, 0x1FFF
                 (a count of files for a files quota)
  --soft SIZE    soft limit of quota set
  --grace MINUTES
                 grace period of quota set: how long the soft limit may be exceeded
  -h, --help     this text

Errors are printed on standard error; the exit status is then 1 (2 for a bad command line).
A refresh that fails on the way is reported and the command goes on with what the tree has.
Library diagnostics go to the log <debug dir>/kxadmin.log.
)";

// One --set or --clear of `debug`: the word becomes (word & keep) | add.
struct debug_change {
    uint32_t keep;
    uint32_t add;
};

struct options {
    std::vector<std::string> words; // command and its arguments
    bool json = false;
    int depth = -1; // -1: every level
    std::string on_host;
    unsigned wait = 0;
    std::vector<debug_change> debug_changes; // in command-line order
    // Texts of quota set, read when the command runs; unset: keep the current value.
    std::optional<std::string> hard, soft, grace;
    bool help = false;
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

// Parses the command line; false with a reason for a bad one.
bool parse(int argc, char **argv, options *opt, std::string *reason) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string *out) {
            if (i + 1 >= argc) {
                *reason = "option " + arg + " needs a value";
                return false;
            }
            *out = argv[++i];
            return true;
        };
        std::string text;
        if (arg == "-h" || arg == "--help") {
            opt->help = true;
        } else if (arg == "--json") {
            opt->json = true;
        } else if (arg == "--root") {
            if (!value(&text))
                return false;
            setenv("KXFSROOT", text.c_str(), 1);
        } else if (arg == "--on") {
            if (!value(&opt->on_host))
                return false;
        } else if (arg == "--set" || arg == "--clear") {
            debug_change change{};
            if (!value(&text) || !parse_debug_change(arg == "--set", text, &change, reason))
                return false;
            opt->debug_changes.push_back(change);
        } else if (arg == "--hard" || arg == "--soft" || arg == "--grace") {
            if (!value(&text))
                return false;
            (arg == "--hard" ? opt->hard : arg == "--soft" ? opt->soft : opt->grace) = text;
        } else if (arg == "--depth" || arg == "--wait") {
            if (!value(&text))
                return false;
            char *end = nullptr;
            const long number = strtol(text.c_str(), &end, 10);
            if (text.empty() || *end != '\0' || number < 0 || number > 1000000) {
                *reason = "bad number for " + arg + ": " + text;
                return false;
            }
            if (arg == "--depth")
                opt->depth = static_cast<int>(number);
            else
                opt->wait = static_cast<unsigned>(number);
        } else if (arg.size() > 1 && arg[0] == '-' && arg[1] == '-') {
            *reason = "unknown option " + arg;
            return false;
        } else {
            opt->words.push_back(arg);
        }
    }
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

    // The node's list rows through code 2 (row 0 the header), as the list view fills itself,
    // with the node of each row (null for the header).
    bool rows(VTAObj *node, std::vector<std::vector<std::string>> *table, std::vector<bool> *right,
              std::vector<VTAObj *> *nodes) {
        for (int32_t n = 0;; ++n) {
            VTA_LV_ROW row{};
            row.VTA_RowNbr = n;
            char msg[VTA_MESSAGE_SIZE] = "";
            const int32_t rc =
                VTATree_Op(tree_, VTA_OP_LV_ROW_GETBYNBR, node, &row, sizeof row, msg, sizeof msg);
            if (rc == VTA_ERR_NOT_FOUND)
                return true;
            if (rc != VTA_OK)
                return fail(msg);
            std::vector<std::string> cells;
            for (uint32_t c = 0; c < row.VTA_ColCount && c < VTA_LV_MAX_COLS; ++c) {
                cells.emplace_back(row.VTA_Cells[c].VTA_Text);
                if (n == 0)
                    right->push_back(row.VTA_Cells[c].VTA_RightAlign != 0);
            }
            show_check_box(row.VTA_Node, &cells);
            table->push_back(cells);
            nodes->push_back(row.VTA_Node);
        }
    }

    // The first column of a debug-flag row is its check box, which the tree leaves empty.
    static void show_check_box(const VTAObj *node, std::vector<std::string> *cells) {
        if (node != nullptr && node->VTA_Type == VTA_OBJ_DEBUG_FLAG && !cells->empty())
            (*cells)[0] = VTAObj_DebugFlagIsSet(node) ? "[x]" : "[ ]";
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

// The name under which a child is reached in a PATH.
std::string path_name(VTAObj *child) {
    int occurrence = 1;
    for (VTAObj *left = child->VTA_SibLeft; left != nullptr; left = left->VTA_SibLeft)
        if (strcmp(left->VTA_Name, child->VTA_Name) == 0)
            ++occurrence;
    return kxadmin_path_name(child->VTA_Name, occurrence);
}

bool is_shown_folder(const VTAObj *node) {
    return node->VTA_IsFolder && node->VTA_Type != VTA_OBJ_DUMMY;
}

// Prints the list rows of `node` (already refreshed): a table, or a JSON array of objects keyed
// by the header texts in which a debug flag's check box is true or false.
int print_rows(session &s, VTAObj *node, bool json) {
    std::vector<std::vector<std::string>> table;
    std::vector<bool> right;
    std::vector<VTAObj *> nodes;
    if (!s.rows(node, &table, &right, &nodes))
        return KXADMIN_FAILED;
    if (!json) {
        fputs(kxadmin_format_table(table, right).c_str(), s.out());
        return KXADMIN_OK;
    }
    nlohmann::ordered_json rows = nlohmann::ordered_json::array();
    for (size_t r = 1; r < table.size(); ++r) {
        nlohmann::ordered_json row = nlohmann::ordered_json::object();
        for (size_t c = 0; c < table[r].size() && c < table[0].size(); ++c)
            row[table[0][c]] = table[r][c];
        if (nodes[r] != nullptr && nodes[r]->VTA_Type == VTA_OBJ_DEBUG_FLAG && !table[0].empty())
            row[table[0][0]] = VTAObj_DebugFlagIsSet(nodes[r]);
        rows.push_back(row);
    }
    fprintf(s.out(), "%s\n", rows.dump(2).c_str());
    return KXADMIN_OK;
}

int cmd_ls(session &s, const options &opt) {
    VTAObj *node = s.resolve(opt.words.size() > 1 ? opt.words[1] : "");
    if (node == nullptr)
        return KXADMIN_FAILED;
    // A failed refresh is reported; the rows the node still has are listed all the same.
    s.set_current(node);
    return print_rows(s, node, opt.json);
}

// Refreshes `node` (unless it is the root, loaded at start) and prints its folders below it.
bool print_tree(session &s, VTAObj *node, int level, int depth, nlohmann::ordered_json *json) {
    bool ok = true;
    if (depth >= 0 && level >= depth)
        return ok;
    if (node != s.tree()->VTA_Root)
        ok = s.op(VTA_OP_REFRESH, node);
    for (VTAObj *child = node->VTA_Child; child != nullptr; child = child->VTA_SibRight) {
        if (!is_shown_folder(child))
            continue;
        nlohmann::ordered_json entry = {{"name", path_name(child)},
                                        {"type", VTAObj_TypeName(child->VTA_Type)}};
        if (json == nullptr)
            fprintf(s.out(), "%*s%s\n", 2 * (level + 1), "", path_name(child).c_str());
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
    return print_rows(s, folder, opt.json);
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
        const int path_kind = q.target[0] == '/' ? VTA_PATH_ABSOLUTE : VTA_PATH_RELATIVE;
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

struct command {
    const char *name;
    size_t min_words, max_words; // the command word included
    int (*run)(session &, const options &);
    // Loads, changes and saves the recent connections: the file stays locked from the load
    // to the save, so that programs doing the same at once lose none of each other's hosts.
    bool changes_connections;
};

const command kCommands[] = {
    {"ls", 1, 2, cmd_ls, false},
    {"tree", 1, 2, cmd_tree, false},
    {"connections", 1, 1, cmd_connections, false},
    {"connect", 2, 2, cmd_connect, true},
    {"disconnect", 2, 2, cmd_disconnect, true},
    {"start", 3, 3, cmd_control, false},
    {"stop", 3, 3, cmd_control, false},
    {"failover", 3, 3, cmd_control, false},
    {"activate", 3, 3, cmd_control, false},
    {"debug", 3, 3, cmd_debug, false},
    {"quota", 6, 6, cmd_quota, false},
};

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
    std::string text;
    for (const auto &row : rows) {
        std::string line;
        for (size_t c = 0; c < row.size(); ++c) {
            if (c > 0)
                line += "  ";
            const std::string pad(widths[c] - row[c].size(), ' ');
            const bool align_right = c < right.size() && right[c];
            line += align_right ? pad + row[c] : row[c] + pad;
        }
        line.erase(line.find_last_not_of(' ') + 1);
        text += line + "\n";
    }
    return text;
}

int kxadmin_main(int argc, char **argv, FILE *out, FILE *err) {
    options opt;
    std::string reason;
    if (!parse(argc, argv, &opt, &reason)) {
        fprintf(err, "kxadmin: %s (see kxadmin --help)\n", reason.c_str());
        return KXADMIN_USAGE;
    }
    if (opt.help) {
        fputs(kHelp, out);
        return KXADMIN_OK;
    }
    if (opt.words.empty()) {
        fputs(kHelp, err);
        return KXADMIN_USAGE;
    }
    for (const command &cmd : kCommands) {
        if (opt.words[0] != cmd.name)
            continue;
        if (opt.words.size() < cmd.min_words || opt.words.size() > cmd.max_words) {
            fprintf(err, "kxadmin: wrong number of arguments for '%s' (see kxadmin --help)\n",
                    cmd.name);
            return KXADMIN_USAGE;
        }
        if (cmd.changes_connections) {
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
                status = cmd.run(s, opt);
                if (status == KXADMIN_OK && s.failed())
                    status = KXADMIN_FAILED;
            }
        }
        if (cmd.changes_connections)
            VTAObj_RecentUnlock();
        return status;
    }
    fprintf(err, "kxadmin: unknown command '%s' (see kxadmin --help)\n", opt.words[0].c_str());
    return KXADMIN_USAGE;
}
