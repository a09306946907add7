// Large clusters, side by side in one run (./run bench):
// - a "Clients" folder of 1,000 / 10,000 / 100,000 clients and a "Disks" folder of as many disks
//   (65,000 at most: the disk list's index is 16 bits) from the generated simulator: the raw
//   loopback round trips of the listing's exchanges, the admin library's listing, and
//   `kxadmin ls` as a user runs it, and the start of kxadmin alone;
// - a folder refresh that inserts 10^4 / 10^5 / 10^6 children, and one that finds them all again;
// - the detail list showing 10^4 / 10^5 rows, and scrolling through them.
// After Google Benchmark's own table it prints the medians as ratios and growth exponents.
#include "kxntadmin/frames.h"
#include "libfsmcomm/client_list.h"
#include "libfsmcomm/fsm_requests.h"
#include "libfsmcomm/ns_requests.h"
#include "libfsmcomm/transport.h"
#include "libfsmcomm/wire.h"
#include "libutil/fatal.h"
#include "libvtadmin/vorud.h"
#include "libvtadmin/vtadmin_fsm.h"
#include "libvtadmin/vtadmin_memory.h"
#include "libvtadmin/vtadminlib.h"

#include <QApplication>
#include <QScrollBar>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <malloc.h>
#include <map>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#ifndef KX_KXADMIN_PROGRAM
#define KX_KXADMIN_PROGRAM "kxadmin"
#endif
#ifndef KX_CLUSTERSIM_PROGRAM
#define KX_CLUSTERSIM_PROGRAM "kxclustersim"
#endif

extern char **environ;

namespace {

using clock_type = std::chrono::steady_clock;

double ms_since(clock_type::time_point start) {
    return std::chrono::duration<double, std::milli>(clock_type::now() - start).count();
}

// ---- The simulated cluster ----

// One install root for the whole run: the library reads the agent port once per process, so
// every cluster size is served on the same root (and port), one after the other.
const std::string &bench_root() {
    static const std::string root = [] {
        char pattern[] = "/tmp/kxscalebench.XXXXXX";
        std::string path = mkdtemp(pattern);
        std::filesystem::create_directories(path + "/config");
        std::ofstream(path + "/config/cfg.kxntadmin") << "RecentConn0=localhost\r\n";
        setenv("KXFSROOT", path.c_str(), 1);
        return path;
    }();
    return root;
}

// The simulator runs as a child process, as a user runs it: the benchmark's own process then
// has no other threads, as the console and kxadmin have none while they list.
pid_t g_simulator = -1;
size_t g_simulator_size = 0;
uint16_t g_agent_port = 0;

void stop_simulator() {
    if (g_simulator <= 0)
        return;
    kill(g_simulator, SIGTERM);
    waitpid(g_simulator, nullptr, 0);
    g_simulator = -1;
}

// Starts `kxclustersim --generate n` unless it already runs, and waits (up to a minute) for its
// READY line.
void simulator_of(size_t n) {
    if (g_simulator > 0 && g_simulator_size == n)
        return;
    stop_simulator();
    int out[2];
    if (pipe(out) != 0)
        std::abort();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::string program = KX_CLUSTERSIM_PROGRAM, root = bench_root(), count = std::to_string(n);
    std::string root_option = "--root", generate_option = "--generate";
    char *argv[] = {program.data(),         root_option.data(), root.data(),
                    generate_option.data(), count.data(),       nullptr};
    if (posix_spawn(&g_simulator, program.c_str(), &actions, nullptr, argv, environ) != 0)
        std::abort();
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string text;
    char buffer[256];
    pollfd wait{out[0], POLLIN, 0};
    for (int waited_s = 0; text.find('\n') == std::string::npos && waited_s < 60; ++waited_s) {
        if (poll(&wait, 1, 1000) <= 0)
            continue;
        const ssize_t got = read(out[0], buffer, sizeof buffer);
        if (got <= 0)
            break;
        text.append(buffer, size_t(got));
    }
    close(out[0]);
    const size_t agent = text.find("agent=127.0.0.1:");
    if (text.rfind("READY ", 0) != 0 || agent == std::string::npos) {
        fprintf(stderr, "the simulator did not start: %s\n", text.c_str());
        stop_simulator();
        std::abort();
    }
    g_agent_port = uint16_t(atoi(text.c_str() + agent + strlen("agent=127.0.0.1:")));
    g_simulator_size = n;
}

// ---- Raw loopback exchanges: the same requests without the library ----

int raw_connect(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool raw_read(int fd, uint8_t *buffer, size_t length) {
    while (length > 0) {
        const ssize_t got = recv(fd, buffer, length, 0);
        if (got <= 0)
            return false;
        buffer += got;
        length -= size_t(got);
    }
    return true;
}

// Frames and sends `send_length` bytes of `message`, reads the reply into it (at most
// `capacity` bytes are kept; the listings' replies always fit).
bool raw_exchange(int fd, uint8_t *message, size_t send_length, size_t capacity) {
    msg_header_frame(message, uint32_t(send_length));
    if (send(fd, message, send_length, MSG_NOSIGNAL) != ssize_t(send_length) ||
        !raw_read(fd, message, MSG_HEADER_SIZE))
        return false;
    const size_t length = msg_header_length(message);
    return length >= MSG_HEADER_SIZE && length <= capacity &&
           raw_read(fd, message + MSG_HEADER_SIZE, length - MSG_HEADER_SIZE);
}

// The name server of 127.0.0.1, found through the port-mapper agent.
int raw_name_server() {
    uint8_t record[AGENT_RECORD_SIZE];
    const int agent = raw_connect(g_agent_port);
    bool ok = agent >= 0 && raw_read(agent, record, sizeof record);
    agent_query_build(record, NAME_SERVER_SERVICE_TAG, NAME_SERVER_SERVICE_NUMBER,
                      NAME_SERVER_SERVICE_VERSION);
    ok = ok && send(agent, record, sizeof record, MSG_NOSIGNAL) == ssize_t(sizeof record) &&
         raw_read(agent, record, sizeof record);
    close(agent);
    return ok ? raw_connect(uint16_t(agent_reply_port(record))) : -1;
}

// The manager of "big" located through the name server, registered as a tap, then one request
// per client until the FSM reports the end.
size_t raw_client_list() {
    const int ns = raw_name_server();
    pm_message locate = {};
    pm_set_name(&locate, "big");
    pm_set_command(&locate, NS_LOCATE_FORMS[0].form, NS_LOCATE_FORMS[0].command);
    const bool located =
        ns >= 0 && raw_exchange(ns, locate.bytes, PM_MESSAGE_SIZE, sizeof locate.bytes);
    close(ns);
    const int fd = located ? raw_connect(get_be16(locate.bytes + PM_PORT)) : -1;
    uint8_t message[FSM_WHO_REPLY_CAPACITY] = {};
    fsm_msg_init(message, FSM_REQ_ADMIN_TAP, 0);
    size_t clients = 0;
    bool ok = fd >= 0 && raw_exchange(fd, message, 32, sizeof message);
    for (uint32_t index = 0; ok; ++index) {
        memset(message, 0, FSM_WHO_SEND_LENGTH);
        fsm_msg_init(message, FSM_WHO_REQUEST, 0);
        put_be32(message + 24, index);
        ok = raw_exchange(fd, message, FSM_WHO_SEND_LENGTH, sizeof message) &&
             msg_reply_error_flag(message) == 0;
        clients += ok;
    }
    close(fd);
    return clients;
}

// The disk pages the "Disks" folder asks for: from the number read so far, as many as the
// doubling array has room for.
size_t raw_disk_list() {
    const int fd = raw_name_server();
    static uint8_t message[NS_DISK_ROOM_NEW + 16];
    size_t disks = 0, capacity = 16;
    while (fd >= 0) {
        memset(message, 0, PM_MESSAGE_SIZE);
        message[PM_FORM] = NS_DISK_FORMS[0].form;
        message[PM_COMMAND] = NS_DISK_FORMS[0].command;
        put_be16(message + PM_PORT, NS_DISK_ROOM_NEW - PM_NAME);
        put_be16(message + PM_INDEX, uint16_t(disks));
        put_be32(message + PM_PID, uint32_t(capacity - disks));
        if (!raw_exchange(fd, message, PM_MESSAGE_SIZE, sizeof message) ||
            get_be16(message + PM_STATUS) != 0)
            break;
        disks += get_be16(message + PM_PORT);
        if (disks == capacity)
            capacity *= 2;
    }
    close(fd);
    return disks;
}

// ---- The admin library's listings ----

size_t library_client_list() {
    char message[VTA_MESSAGE_SIZE];
    const int ns = VTAdmin_NSConnect("localhost", message);
    VTA_FSM_ENTRY entry{};
    if (ns < 0 || VTAdmin_NSFsmLocate(ns, "big", -1, &entry) != 0)
        return 0;
    const int fsm = VTAdmin_FSMConnect(ns, &entry, message);
    VTAdmin_NSDisconnect(ns);
    VTA_CLIENT *list = nullptr;
    const int count = fsm < 0 ? 0 : VTAdmin_GetClientList(fsm, &list);
    VTAdmin_FreeClientList(list);
    VTAdmin_FSMDisconnect(fsm);
    return count > 0 ? size_t(count) : 0;
}

// The pages as the "Disks" folder reads them, into an array that doubles when full, in memory
// of the folder's kind.
size_t library_disk_list() {
    char message[VTA_MESSAGE_SIZE];
    const int ns = VTAdmin_NSConnect("localhost", message);
    int capacity = 16, total = 0, got = 0;
    auto *records = static_cast<VTA_DISK *>(large_array_alloc(sizeof(VTA_DISK) * size_t(capacity)));
    while (ns >= 0 && VTAdmin_NSGetDisks(ns, total, capacity - total, records + total, &got,
                                         nullptr, message) == 0) {
        total += got;
        if (total == capacity) {
            capacity *= 2;
            records = static_cast<VTA_DISK *>(
                large_array_resize(records, sizeof(VTA_DISK) * size_t(capacity)));
        }
    }
    large_array_free(records);
    VTAdmin_NSDisconnect(ns);
    return size_t(total);
}

// The part of the library's disk listing no decoding can avoid: each record is 1,576 bytes, so
// 10,000 of them are 15.8 MB written into fresh memory. Copies one record into every slot of an
// array allocated as the listing allocates it.
void DiskRecordsWrite(benchmark::State &state) {
    const size_t n = size_t(state.range(0));
    VTA_DISK record{};
    memset(record.label, 'd', sizeof record.label - 1);
    for (auto _ : state) {
        auto *records = static_cast<VTA_DISK *>(large_array_alloc(sizeof(VTA_DISK) * n));
        if (records == nullptr) {
            state.SkipWithError("out of memory");
            break;
        }
        for (size_t i = 0; i < n; ++i)
            records[i] = record;
        benchmark::DoNotOptimize(records[n - 1].label[0]);
        large_array_free(records);
    }
}

// ---- kxadmin ls, as a user runs it ----

// Runs kxadmin with `words` and counts the lines it prints; -1 when it cannot be started or
// fails.
long run_kxadmin(std::vector<std::string> words) {
    int out[2];
    if (pipe(out) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::string program = KX_KXADMIN_PROGRAM;
    std::vector<char *> argv = {program.data()};
    for (std::string &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    long lines = 0;
    char buffer[1 << 16];
    for (ssize_t got; spawned == 0 && (got = read(out[0], buffer, sizeof buffer)) > 0;)
        lines += std::count(buffer, buffer + got, '\n');
    close(out[0]);
    int status = 0;
    if (spawned != 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        return -1;
    return lines;
}

// Runs `kxadmin ls PATH` and counts the rows it prints (the header excluded); 0 on failure.
size_t kxadmin_ls(const char *path) {
    const long lines = run_kxadmin({"ls", path});
    return lines > 0 ? size_t(lines - 1) : 0;
}

// Starting kxadmin alone (`kxadmin --version`): the part of every `kxadmin ls` that no listing
// can make shorter, to set beside the raw round trips.
void KxadminStart(benchmark::State &state) {
    for (auto _ : state)
        if (run_kxadmin({"--version"}) != 1)
            state.SkipWithError("kxadmin --version failed");
}

// ---- Listing benchmarks ----

// The three ways of listing one folder.
enum lister { raw = 0, library = 1, command = 2 };
struct listing {
    size_t (*raw)();
    size_t (*library)();
    const char *path; // for kxadmin ls
};
const listing kClientListing = {raw_client_list, library_client_list,
                                "localhost/File Systems/big/Clients"};
const listing kDiskListing = {raw_disk_list, library_disk_list, "localhost/Disks"};

void List(benchmark::State &state, const listing &folder) {
    const size_t n = size_t(state.range(0));
    simulator_of(n);
    size_t listed = 0;
    for (auto _ : state) {
        switch (state.range(1)) {
        case raw:
            listed = folder.raw();
            break;
        case library:
            listed = folder.library();
            break;
        default:
            listed = kxadmin_ls(folder.path);
        }
    }
    if (listed != n)
        state.SkipWithError(
            ("listed " + std::to_string(listed) + " of " + std::to_string(n)).c_str());
}

const std::vector<int64_t> kListSizes = {1000, 10000, 100000};
// The disk list's 16-bit index reaches the 65,536th disk at most.
const std::vector<int64_t> kDiskSizes = {1000, 10000, 65000};

// ---- Tree insertion and refresh ----

std::vector<std::string> g_items; // what the benchmark folder's refresh finds, in that order
uint64_t g_notes = 0;

void count_note(VTANote *) {
    ++g_notes;
}

// The refresh of a list folder: each item is looked up by name, then updated or inserted.
int32_t ItemsFolderOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *, size_t, char *msg,
                          size_t msg_size) {
    if (op != VTA_OP_REFRESH)
        return VTA_ERR_NOT_HANDLED;
    for (const std::string &name : g_items) {
        VTAObj *found = nullptr;
        if (VTAObj_FindChild(node, nullptr, name.c_str(), &found) == VTA_OK) {
            VTAObj_Touch(found);
            VTATree_Notify(tree, VTA_NOTE_UPDATED, found);
            continue;
        }
        VTAObj *child = VTAObj_Alloc(VTAObj_DummyOpFunc);
        if (child == nullptr) {
            bounded_format(msg, msg_size, "out of memory");
            return VTA_ERR_NO_MEMORY;
        }
        VTAObj_SetName(child, name.c_str());
        child->VTA_Type = VTA_OBJ_CLIENT;
        child->VTA_IsFolder = 1;
        if (VTAObj_Insert(tree, node, child) != VTA_OK)
            return VTA_ERR_NO_MEMORY;
    }
    return VTA_OK;
}

// Names in a scattered order, so that insertions land all over the list.
void make_items(size_t n) {
    g_items.clear();
    g_items.reserve(n);
    char name[32];
    for (size_t i = 0; i < n; ++i) {
        bounded_format(name, sizeof name, "client-%07zu", (i * 7919) % n);
        g_items.emplace_back(name);
    }
}

// Node memory: fresh from the system, as the first listing of a process gets it, or reused from
// an earlier listing. The tree's pool keeps no emptied slab, or every one; glibc, for the rest
// of what a listing allocates, trims its heap at once (and at the end of each run), or never.
enum memory { fresh = 0, reused = 1 };
constexpr int kDefaultTrimThreshold = 128 * 1024;

void use_memory(memory kind) {
    VTAObj_SetNodeMemory(true, kind == reused ? SIZE_MAX : 0);
    mallopt(M_TRIM_THRESHOLD, kind == reused ? INT_MAX : kDefaultTrimThreshold);
}

// Creates a tree with one list folder, refreshes it twice (inserting, then finding every
// child again) and destroys it; false when the folder does not end up holding every child.
bool insert_and_refresh(size_t n, double *insert_ms, double *refresh_ms) {
    char msg[256];
    VTATree *tree = VTATree_Create();
    VTATree_SetNotify(tree, count_note);
    VTAObj *folder = VTAObj_Alloc(ItemsFolderOpFunc);
    VTAObj_SetName(folder, "Clients");
    folder->VTA_Type = VTA_OBJ_ALL_CLIENTS;
    folder->VTA_IsFolder = 1;
    VTAObj_Insert(tree, tree->VTA_Root, folder);
    auto start = clock_type::now();
    int32_t rc = VTATree_Op(tree, VTA_OP_REFRESH, folder, nullptr, 0, msg, sizeof msg);
    *insert_ms = ms_since(start);
    start = clock_type::now();
    rc |= VTATree_Op(tree, VTA_OP_REFRESH, folder, nullptr, 0, msg, sizeof msg);
    *refresh_ms = ms_since(start);
    const bool whole = rc == VTA_OK && VTAObj_GetNthChild(tree, folder, int32_t(n)) != nullptr;
    VTATree_Destroy(&tree);
    return whole;
}

void TreeInsertAndRefresh(benchmark::State &state) {
    const size_t n = size_t(state.range(0));
    const memory kind = memory(state.range(1));
    make_items(n);
    double insert_ms = 0, refresh_ms = 0;
    use_memory(kind);
    if (kind == reused)
        insert_and_refresh(n, &insert_ms, &refresh_ms);
    for (auto _ : state) {
        if (!insert_and_refresh(n, &insert_ms, &refresh_ms))
            state.SkipWithError("the folder does not hold every child");
        state.SetIterationTime((insert_ms + refresh_ms) / 1000);
        if (kind == fresh)
            malloc_trim(0);
    }
    use_memory(fresh);
    VTAObj_SetNodeMemory(true, VTA_NODE_MEMORY_KEPT);
    malloc_trim(0);
    state.counters["insert_ms"] = insert_ms;
    state.counters["refresh_ms"] = refresh_ms;
}

// ---- The detail list ----

QApplication &application() {
    static int argc = 1;
    static char name[] = "scale_bench";
    static char *argv[] = {name, nullptr};
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static QApplication app(argc, argv);
    return app;
}

// Four columns, the last two right-aligned, as the file-system folders have.
int32_t RowsFolderOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data, size_t, char *msg,
                         size_t msg_size) {
    if (op == VTA_OP_REFRESH) {
        for (VTAObj *child = node->VTA_Child; child != nullptr; child = child->VTA_SibRight)
            VTAObj_Touch(child);
        return VTA_OK;
    }
    if (op != VTA_OP_LV_ROW_GET && op != VTA_OP_LV_ROW_GETBYNBR)
        return VTA_ERR_NOT_HANDLED;
    auto *row = static_cast<VTA_LV_ROW *>(data);
    VTAObj *child =
        op == VTA_OP_LV_ROW_GET ? row->VTA_Node : VTAObj_GetNthChild(tree, node, row->VTA_RowNbr);
    if (child == nullptr) {
        bounded_format(msg, msg_size, "No more rows");
        return VTA_ERR_NOT_FOUND;
    }
    row->VTA_ColCount = 4;
    VTA_LV_CELL *cells = row->VTA_Cells;
    if (row->VTA_RowNbr == 0) {
        bounded_format(cells[0].VTA_Text, VTA_LV_TEXT_SIZE, "Name");
        bounded_format(cells[1].VTA_Text, VTA_LV_TEXT_SIZE, "State");
        bounded_format(cells[2].VTA_Text, VTA_LV_TEXT_SIZE, "Size");
        bounded_format(cells[3].VTA_Text, VTA_LV_TEXT_SIZE, "Free");
        cells[2].VTA_RightAlign = cells[3].VTA_RightAlign = 1;
        return VTA_OK;
    }
    row->VTA_Node = child;
    bounded_format(cells[0].VTA_Text, VTA_LV_TEXT_SIZE, "%s", child->VTA_Name);
    bounded_format(cells[1].VTA_Text, VTA_LV_TEXT_SIZE, "Active");
    bounded_format(cells[2].VTA_Text, VTA_LV_TEXT_SIZE, "%dg", row->VTA_RowNbr);
    bounded_format(cells[3].VTA_Text, VTA_LV_TEXT_SIZE, "%d%%", row->VTA_RowNbr % 100);
    return VTA_OK;
}

// A document window whose root holds the folder "big" with `children` leaves.
struct BigFolderWindow {
    explicit BigFolderWindow(int children) {
        doc = new CVTADoc(&frame);
        doc->OnNewDocument();
        VTATree *tree = doc->Tree();
        // The root keeps what it holds when the window's first display refreshes it.
        tree->VTA_Root->VTA_OpFunc = RowsFolderOpFunc;
        big = VTAObj_Alloc(RowsFolderOpFunc);
        VTAObj_SetName(big, "big");
        big->VTA_Type = VTA_OBJ_ALL_FS;
        big->VTA_IsFolder = 1;
        VTAObj_Insert(tree, tree->VTA_Root, big);
        char name[32];
        for (int i = 0; i < children; ++i) {
            VTAObj *child = VTAObj_Alloc(VTAObj_DummyOpFunc);
            bounded_format(name, sizeof name, "fs%07d", (i * 7919) % children);
            VTAObj_SetName(child, name);
            child->VTA_Type = VTA_OBJ_FS_ACTIVE;
            VTAObj_Insert(tree, big, child);
        }
        child = frame.OpenDocumentWindow(doc);
        frame.show();
    }
    // Makes `node` current, which refreshes it and shows it in the list.
    void show(VTAObj *node) {
        char msg[256];
        if (VTATree_SetCurrent(doc->Tree(), node, msg, sizeof msg) != VTA_OK)
            fprintf(stderr, "cannot show %s: %s\n", node->VTA_Name, msg);
    }
    CKxAdminListView *list() const { return child->ListView(); }
    // Paints the list's visible rows. The offscreen platform never exposes the window, so
    // repaint() would skip the painting; rendering the viewport into a pixmap does it all.
    void paint() const { list()->viewport()->grab(); }

    QApplication &app = application(); // before any widget
    CKxAdminFrm frame;
    CVTADoc *doc;
    VTAObj *big;
    CkxAdminChildFrm *child;
};

// Double-clicking the folder: refresh, clear, fill, size the columns, paint.
void ListViewFill(benchmark::State &state) {
    BigFolderWindow window(int(state.range(0)));
    VTAObj *root = window.doc->Tree()->VTA_Root;
    for (auto _ : state) {
        window.show(window.big);
        window.paint();
        state.PauseTiming();
        if (window.list()->model()->rowCount() != state.range(0))
            state.SkipWithError("the list does not hold every child");
        window.show(root);
        state.ResumeTiming();
    }
}

// Scrolling the shown list from top to bottom in 100 steps, painting each; the slowest step
// is the stall a user would notice.
void ListViewScroll(benchmark::State &state) {
    BigFolderWindow window(int(state.range(0)));
    window.show(window.big);
    QScrollBar *bar = window.list()->verticalScrollBar();
    double slowest = 0;
    for (auto _ : state) {
        for (int step = 0; step <= 100; ++step) {
            const auto start = clock_type::now();
            bar->setValue(bar->maximum() * step / 100);
            window.paint();
            slowest = std::max(slowest, ms_since(start));
        }
    }
    state.counters["slowest_step_ms"] = slowest;
}

// ---- Summary ----

// The median real time (ms) of every benchmark run, and its counters, by run name.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.aggregate_name != "median" || run.error_occurred)
                continue;
            const std::string name = run.run_name.function_name + "/" + run.run_name.args;
            medians[name] = run.GetAdjustedRealTime();
            for (const auto &[key, counter] : run.counters)
                counters[name][key] = counter.value;
        }
    }
    double median(const std::string &name) const {
        auto found = medians.find(name);
        return found != medians.end() ? found->second : NAN;
    }
    double counter(const std::string &name, const std::string &key) const {
        auto found = counters.find(name);
        if (found == counters.end() || found->second.count(key) == 0)
            return NAN;
        return found->second.at(key);
    }

private:
    std::map<std::string, double> medians;
    std::map<std::string, std::map<std::string, double>> counters;
};

double exponent(double t1, double t2, double n1, double n2) {
    return std::log(t2 / t1) / std::log(n2 / n1);
}

void print_summary(const SummaryReporter &r) {
    printf(
        "\nListings from the generated simulator (medians, ms; ratios to the raw round trips)\n");
    printf("%-8s %9s %11s %11s %7s %12s %7s\n", "folder", "entries", "raw", "library", "x raw",
           "kxadmin ls", "x raw");
    auto listing = [&](const char *folder, const std::vector<int64_t> &sizes) {
        for (int64_t n : sizes) {
            const std::string base = "List/" + std::string(folder) + "/" + std::to_string(n) + "/";
            const double raw_ms = r.median(base + "0");
            const double lib_ms = r.median(base + "1");
            const double ls_ms = r.median(base + "2");
            printf("%-8s %9lld %11.1f %11.1f %7.2f %12.1f %7.2f\n", folder, (long long)n, raw_ms,
                   lib_ms, lib_ms / raw_ms, ls_ms, ls_ms / raw_ms);
        }
    };
    listing("Clients", kListSizes);
    listing("Disks", kDiskSizes);
    for (int64_t n : kDiskSizes) {
        const double write_ms = r.median("DiskRecordsWrite/" + std::to_string(n));
        printf("writing %lld disk records into fresh memory alone: %.1f ms = %.2f x raw\n",
               (long long)n, write_ms,
               write_ms / r.median("List/Disks/" + std::to_string(n) + "/0"));
    }
    printf("kxadmin --version alone (the start of every kxadmin ls): %.1f ms\n",
           r.median("KxadminStart/"));

    printf("\nFolder refresh: inserting N children, then finding them all again (medians, ms)\n");
    for (int memory : {fresh, reused}) {
        printf("%s node memory\n", memory == fresh ? "fresh" : "reused");
        printf("%10s %10s %10s %10s %10s\n", "children", "insert", "refresh", "total", "exponent");
        double previous = NAN, previous_n = NAN, first = NAN, first_n = NAN;
        for (int64_t n : {10000, 100000, 1000000}) {
            const std::string name =
                "TreeInsertAndRefresh/" + std::to_string(n) + "/" + std::to_string(memory);
            const double total = r.median(name);
            printf("%10lld %10.1f %10.1f %10.1f", (long long)n, r.counter(name, "insert_ms"),
                   r.counter(name, "refresh_ms"), total);
            if (!std::isnan(previous))
                printf(" %10.2f", exponent(previous, total, previous_n, double(n)));
            printf("\n");
            if (std::isnan(first))
                first = total, first_n = double(n);
            previous = total, previous_n = double(n);
        }
        printf("growth exponent from 10^4 to 10^6: %.2f\n",
               exponent(first, previous, first_n, previous_n));
    }

    printf("\nDetail list (medians, ms)\n");
    printf("%10s %10s %18s\n", "rows", "fill", "slowest scroll");
    for (int64_t n : {10000, 100000}) {
        printf("%10lld %10.1f %18.2f\n", (long long)n,
               r.median("ListViewFill/" + std::to_string(n)),
               r.counter("ListViewScroll/" + std::to_string(n), "slowest_step_ms"));
    }
}

} // namespace

BENCHMARK_CAPTURE(List, Clients, kClientListing)
    ->ArgsProduct({kListSizes, {raw, library, command}})
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);
BENCHMARK_CAPTURE(List, Disks, kDiskListing)
    ->ArgsProduct({kDiskSizes, {raw, library, command}})
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);
BENCHMARK(DiskRecordsWrite)
    ->ArgsProduct({kDiskSizes})
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);
BENCHMARK(KxadminStart)->Unit(benchmark::kMillisecond)->Repetitions(3)->ReportAggregatesOnly(true);
BENCHMARK(TreeInsertAndRefresh)
    ->ArgsProduct({{10000, 100000, 1000000}, {fresh, reused}})
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);
BENCHMARK(ListViewFill)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);
BENCHMARK(ListViewScroll)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    bench_root();
    VTAdmin_Init();
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    stop_simulator();
    VTAdmin_Teardown();
    std::filesystem::remove_all(bench_root());
    print_summary(reporter);
    benchmark::Shutdown();
    return 0;
}
