#include "clustersim/client_driver.h"

#include "clustersim/faults.h"
#include "libfsmcomm/fs_driver.h"
#include "libfsmcomm/wire.h"
#include "libutil/cfg_store.h"
#include "libutil/fatal.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Inode-to-path looks at no more directory entries than this below a mount point.
constexpr size_t max_walk_entries = 100000;

std::string name_of_inode(ino_t inode) {
    return "D:" + std::to_string(static_cast<unsigned long long>(inode));
}

// Makes the directory `relative` below `mount_point` and names its name space; false with a
// message when it cannot be made.
bool make_directory(const std::string &mount_point, const std::string &relative, std::string *name,
                    char *text, size_t text_size) {
    const std::string path = relative.empty() ? mount_point : mount_point + "/" + relative;
    std::error_code error;
    fs::create_directories(path, error);
    struct stat st {};
    if (error || stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        bounded_format(text, text_size, "cannot make directory %s: %s", path.c_str(),
                       error ? error.message().c_str() : "not a directory");
        return false;
    }
    if (name != nullptr)
        *name = name_of_inode(st.st_ino);
    return true;
}

sim_name_space *find_name_space(sim_filesystem &f, const std::string &name) {
    for (sim_name_space &space : f.name_spaces)
        if (space.name == name)
            return &space;
    return nullptr;
}

bool mount(const char *root, sim_filesystem &f, char *text, size_t text_size) {
    const std::string mount_point = std::string(root) + "/mnt/" + f.name;
    if (!make_directory(mount_point, "", nullptr, text, text_size))
        return false;
    char canonical[PATH_MAX];
    if (realpath(mount_point.c_str(), canonical) == nullptr) {
        bounded_format(text, text_size, "cannot resolve %s: %s", mount_point.c_str(),
                       strerror(errno));
        return false;
    }
    f.mount_point = canonical;
    for (const std::string &directory : f.directories)
        if (!make_directory(f.mount_point, directory, nullptr, text, text_size))
            return false;
    std::vector<sim_name_space> spaces;
    for (sim_name_space space : f.name_spaces) {
        if (!make_directory(f.mount_point, space.path, &space.name, text, text_size))
            return false;
        spaces.push_back(space);
    }
    f.name_spaces.clear();
    // Two paths of one directory make one name space.
    for (const sim_name_space &space : spaces)
        if (find_name_space(f, space.name) == nullptr)
            f.name_spaces.push_back(space);
    for (std::vector<sim_quota> *list : {&f.dir_space_quotas, &f.dir_file_quotas})
        for (sim_quota &q : *list) {
            if (!q.path.empty() && !make_directory(f.mount_point, q.path, &q.name, text, text_size))
                return false;
            if (find_name_space(f, q.name) == nullptr)
                f.name_spaces.push_back({q.name, q.path, false});
        }
    return true;
}

// One line per file system: its name and mount point.
int write_mount_table(const char *root, const sim_scenario &scenario, char *text,
                      size_t text_size) {
    const std::string path = std::string(root) + "/config/mounttab";
    cfg_store *store = nullptr;
    char message[256] = "";
    int rc = cfg_open(path.c_str(),
                      CFG_MODE_READ | CFG_MODE_WRITE | CFG_MODE_CREATE | CFG_MODE_EXCLUSIVE,
                      CFG_STYLE_KEY_FIELDS, &store, message, sizeof message);
    if (rc == CFG_EXISTS)
        return 0;
    if (rc == CFG_OK)
        rc = cfg_insert(store, -1, nullptr, nullptr, "# file system, mount point", message,
                        sizeof message);
    for (size_t i = 0; rc == CFG_OK && i < scenario.filesystems.size(); ++i) {
        const sim_filesystem &f = scenario.filesystems[i];
        const char *fields[] = {f.mount_point.c_str(), nullptr};
        rc = cfg_insert(store, -1, f.name.c_str(), fields, nullptr, message, sizeof message);
    }
    const int closed = cfg_close(&store, rc == CFG_OK ? 1 : 0, message, sizeof message);
    if (rc == CFG_OK)
        rc = closed;
    if (rc != CFG_OK)
        bounded_format(text, text_size, "cannot write %s: %s", path.c_str(), message);
    return rc == CFG_OK ? 0 : -1;
}

// ---- Requests ----

struct mounted {
    size_t index;
    std::string name, mount_point;
};

// The file system whose mount point holds the canonical `path` (the innermost one).
bool find_mount(sim_world &world, const std::string &path, mounted *found) {
    std::lock_guard<std::mutex> hold(world.lock);
    bool any = false;
    const std::vector<sim_filesystem> &all = world.scenario.filesystems;
    for (size_t i = 0; i < all.size(); ++i) {
        const std::string &mp = all[i].mount_point;
        const bool below = !mp.empty() && path.compare(0, mp.size(), mp) == 0 &&
                           (path.size() == mp.size() || path[mp.size()] == '/');
        if (below && (!any || mp.size() > found->mount_point.size())) {
            *found = {i, all[i].name, mp};
            any = true;
        }
    }
    return any;
}

// The name-space request: creates or destroys the name space of the directory `inode`.
uint32_t change_name_space(sim_world &world, size_t fs_index, uint32_t operation, ino_t inode,
                           const std::string &relative) {
    std::lock_guard<std::mutex> hold(world.lock);
    sim_filesystem &f = world.scenario.filesystems[fs_index];
    if (!f.dir_quotas)
        return FSDRV_NS_NO_SUPPORT;
    if (!f.quotas_enabled)
        return FSDRV_NS_QUOTAS_OFF;
    const std::string name = name_of_inode(inode);
    sim_name_space *space = find_name_space(f, name);
    if (space != nullptr && space->busy)
        return FSDRV_NS_BUSY;
    switch (operation) {
    case FSDRV_NS_CREATE:
        if (space != nullptr)
            return FSDRV_NS_EXISTS;
        f.name_spaces.push_back({name, relative, false});
        return FSDRV_NS_DONE;
    case FSDRV_NS_DESTROY:
        if (space == nullptr)
            return FSDRV_NS_NO_SUCH;
        for (std::vector<sim_quota> *list : {&f.dir_space_quotas, &f.dir_file_quotas})
            std::erase_if(*list, [&](const sim_quota &q) { return q.name == name; });
        std::erase_if(f.name_spaces, [&](const sim_name_space &s) { return s.name == name; });
        return FSDRV_NS_DONE;
    default:
        return EINVAL;
    }
}

bool is_directory_with_inode(const std::string &path, ino_t inode) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_ino == inode;
}

// The path of the directory `inode` below the mount point, relative to it ("" for the mount
// point itself): the name space's own path when it still leads there, else a bounded search.
bool find_inode(sim_world &world, const mounted &m, ino_t inode, std::string *relative) {
    std::string hint;
    {
        std::lock_guard<std::mutex> hold(world.lock);
        const sim_name_space *space =
            find_name_space(world.scenario.filesystems[m.index], name_of_inode(inode));
        if (space != nullptr)
            hint = space->path;
    }
    for (const std::string &candidate : {hint, std::string()})
        if (is_directory_with_inode(
                candidate.empty() ? m.mount_point : m.mount_point + "/" + candidate, inode)) {
            *relative = candidate;
            return true;
        }
    std::error_code error;
    fs::recursive_directory_iterator it(m.mount_point,
                                        fs::directory_options::skip_permission_denied, error);
    for (size_t seen = 0;
         !error && it != fs::recursive_directory_iterator() && seen < max_walk_entries;
         it.increment(error), ++seen) {
        const std::string path = it->path().string();
        if (is_directory_with_inode(path, inode)) {
            *relative = path.substr(m.mount_point.size() + 1);
            return true;
        }
    }
    return false;
}

// Answers `in` into `out`; the error number, 0 when done.
uint32_t answer(sim_world &world, const fsdrv_frame &in, fsdrv_frame *out) {
    const size_t reply_size = fsdrv_reply_size(in.word);
    if (reply_size == 0 || in.buffer_size != fsdrv_request_size(in.word))
        return EINVAL;
    char canonical[PATH_MAX];
    if (realpath(in.path, canonical) == nullptr)
        return static_cast<uint32_t>(errno);
    mounted m;
    if (!find_mount(world, canonical, &m))
        return FSDRV_NOT_ON_CLIENT;
    struct stat st {};
    if (stat(canonical, &st) != 0)
        return static_cast<uint32_t>(errno);
    out->buffer_size = reply_size;
    uint8_t *b = out->buffer;
    switch (in.word) {
    case FSDRV_DIR_STATUS:
        put_le32(b + FSDRV_MODE_AT, static_cast<uint32_t>(st.st_mode));
        put_le64(b + FSDRV_INODE_AT, st.st_ino);
        return 0;
    case FSDRV_FS_NAME:
        bounded_format(reinterpret_cast<char *>(b), FSDRV_FS_NAME_SIZE, "%s", m.name.c_str());
        return 0;
    case FSDRV_NAME_SPACE: {
        if (!S_ISDIR(st.st_mode))
            return ENOTDIR;
        const std::string path = canonical;
        const std::string relative =
            path.size() > m.mount_point.size() ? path.substr(m.mount_point.size() + 1) : "";
        put_le32(b + FSDRV_NS_WORD_AT,
                 change_name_space(world, m.index, get_le32(in.buffer + FSDRV_NS_WORD_AT),
                                   st.st_ino, relative));
        return 0;
    }
    default: { // FSDRV_INODE_PATH
        std::string relative;
        if (!find_inode(world, m, get_le64(in.buffer + FSDRV_PATH_INODE_AT), &relative))
            return ENOENT;
        if (relative.size() + 1 >= FSDRV_PATH_OUT_SIZE)
            return ENAMETOOLONG;
        bounded_format(reinterpret_cast<char *>(b), FSDRV_PATH_OUT_SIZE, "/%s", relative.c_str());
        return 0;
    }
    }
}

} // namespace

int client_mounts_prepare(const char *root, sim_scenario *scenario, char *text, size_t text_size) {
    for (sim_filesystem &f : scenario->filesystems)
        if (!mount(root, f, text, text_size))
            return -1;
    return write_mount_table(root, *scenario, text, text_size);
}

std::string client_driver_socket_path(const char *root) {
    return std::string(root) + "/config/" + FSDRV_SOCKET_NAME;
}

int client_driver_bind(const std::string &path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    ::unlink(path.c_str());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

size_t client_driver_answer(sim_world &world, const uint8_t *request, size_t length, uint8_t *reply,
                            size_t reply_size) {
    fsdrv_frame in;
    fsdrv_frame out{};
    out.word = fsdrv_frame_decode(request, length, &in) == 0 ? answer(world, in, &out) : EINVAL;
    if (out.word != 0)
        out.buffer_size = 0;
    return fsdrv_frame_encode(out, reply, reply_size);
}

void client_driver_serve(sim_world &world, int socket) {
    std::vector<uint8_t> request(FSDRV_HEADER_SIZE);
    if (!sim_recv_exact(socket, request.data(), FSDRV_HEADER_SIZE))
        return;
    // A bad header is answered as a malformed request without reading further.
    const size_t length = std::max(fsdrv_frame_length(request.data()), FSDRV_HEADER_SIZE);
    request.resize(length);
    if (!sim_recv_exact(socket, request.data() + FSDRV_HEADER_SIZE, length - FSDRV_HEADER_SIZE))
        return;
    std::vector<uint8_t> reply(FSDRV_MAX_FRAME);
    const size_t size =
        client_driver_answer(world, request.data(), length, reply.data(), reply.size());
    sim_send_all(socket, reply.data(), size);
}
