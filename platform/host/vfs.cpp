// A small VFS standing in for the kernel's misc devices and debugfs: the
// module registers its files here, and tests and tools reach them by path
// through kova_host_open/read/write/ioctl/close, with the kernel's dispatch
// rules (position written back only on success, absent operations failing as
// the VFS fails them, release once the last reference to an open file goes,
// a debugfs removal that waits for the calls still running in its files).
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kova/host.h"
#include "platform.h"

struct plat_inode {
    void *i_private;
    // Open, read, write and ioctl handlers running on the node's files;
    // guarded by fs_mutex.
    int calls = 0;
};

struct plat_file {
    const kova_file_ops *ops;
    // Char devices and debugfs files have no position lock in the kernel
    // either; atomic only so that racing callers are not undefined.
    std::atomic<int64_t> pos{0};
    void *private_data = nullptr;
    plat_inode *inode;
    // Keeps the inode valid while the file is open after its entry was
    // removed (the kernel's dentry reference).
    std::shared_ptr<plat_inode> inode_ref;
    // The fd table's reference plus one per call in progress; guarded by
    // fs_mutex. Release runs when it drops to zero.
    int refs = 1;
    // Abandoned by kova_host_fs_reset: freed without calling release.
    bool forgotten = false;
};

namespace {

constexpr int kENOENT = 2;
constexpr int kEBADF = 9;
constexpr int kEBUSY = 16;
constexpr int kEISDIR = 21;
constexpr int kEINVAL = 22;
constexpr int kENOTTY = 25;

const std::string kDebugfsRoot = "/sys/kernel/debug";

// What a debugfs file created without operations gets: every call fails as
// an absent operation does.
const kova_file_ops kNoOps{};

enum class Kind { device, dir, file };

struct Node {
    Kind kind;
    std::string path;
    const kova_file_ops *ops;
    std::shared_ptr<plat_inode> inode;
    unsigned int mode = 0;
};

std::mutex fs_mutex;
std::condition_variable calls_ended;                // some inode's calls dropped to zero
std::map<std::string, std::unique_ptr<Node>> nodes; // by full path
std::vector<plat_file *> fds;                       // index = fd, null = free
std::string fail_debugfs_name;
bool fail_debugfs_armed = false;
int fail_misc_err = 0;

// One path component: no separators, not empty, not a dot entry.
bool valid_name(const char *name) {
    if (!name || !*name)
        return false;
    std::string s(name);
    return s.find('/') == std::string::npos && s != "." && s != "..";
}

// The node a debugfs handle stands for, or null when the handle is not one
// we gave out (or was removed since). Callers hold fs_mutex.
Node *live_node(const void *handle) {
    for (auto &entry : nodes)
        if (entry.second.get() == handle)
            return entry.second.get();
    return nullptr;
}

Node *add_node(Kind kind, std::string path, const kova_file_ops *ops, void *data) {
    auto node = std::make_unique<Node>();
    node->kind = kind;
    node->path = path;
    node->ops = ops ? ops : &kNoOps;
    node->inode = std::make_shared<plat_inode>(plat_inode{data});
    Node *raw = node.get();
    nodes.emplace(std::move(path), std::move(node));
    return raw;
}

bool take_debugfs_failure(const char *name) {
    if (!fail_debugfs_armed || fail_debugfs_name != name)
        return false;
    fail_debugfs_armed = false;
    fail_debugfs_name.clear();
    return true;
}

void *debugfs_create(Kind kind, const char *name, unsigned int mode, void *parent, void *data,
                     const kova_file_ops *ops) {
    std::lock_guard<std::mutex> g(fs_mutex);
    if (!valid_name(name))
        return nullptr;
    std::string dir = kDebugfsRoot;
    if (parent) {
        Node *p = live_node(parent);
        if (!p || p->kind != Kind::dir)
            return nullptr;
        dir = p->path;
    }
    if (take_debugfs_failure(name))
        return nullptr;
    std::string path = dir + "/" + name;
    if (nodes.count(path))
        return nullptr;
    Node *node = add_node(kind, std::move(path), ops, data);
    node->mode = mode;
    return node;
}

// Takes a reference to the file behind fd for one call.
plat_file *get_file(int fd) {
    std::lock_guard<std::mutex> g(fs_mutex);
    if (fd < 0 || static_cast<size_t>(fd) >= fds.size() || !fds[fd])
        return nullptr;
    plat_file *f = fds[fd];
    ++f->refs;
    ++f->inode->calls;
    return f;
}

void end_call(plat_inode *inode) {
    std::lock_guard<std::mutex> g(fs_mutex);
    if (--inode->calls == 0)
        calls_ended.notify_all();
}

// Drops a reference; the last one releases the file. Returns release's result
// when this call ran it, else 0.
int put_file(plat_file *f) {
    {
        std::lock_guard<std::mutex> g(fs_mutex);
        if (--f->refs > 0)
            return 0;
    }
    int r = 0;
    if (!f->forgotten && f->ops && f->ops->release)
        r = f->ops->release(f->inode, f);
    delete f;
    return r;
}

} // namespace

extern "C" {

void **plat_file_private(struct plat_file *file) { return &file->private_data; }
void *plat_inode_private(struct plat_inode *inode) { return inode->i_private; }

int plat_misc_register(const char *name, const struct kova_file_ops *ops) {
    std::lock_guard<std::mutex> g(fs_mutex);
    if (fail_misc_err) {
        int r = fail_misc_err;
        fail_misc_err = 0;
        return r;
    }
    if (!valid_name(name) || !ops)
        return -kEINVAL;
    std::string path = std::string("/dev/") + name;
    if (nodes.count(path))
        return -kEBUSY;
    add_node(Kind::device, std::move(path), ops, nullptr);
    return 0;
}

void plat_misc_deregister(const struct kova_file_ops *ops) {
    std::lock_guard<std::mutex> g(fs_mutex);
    for (auto it = nodes.begin(); it != nodes.end();) {
        if (it->second->kind == Kind::device && it->second->ops == ops)
            it = nodes.erase(it);
        else
            ++it;
    }
}

void *plat_debugfs_create_dir(const char *name, void *parent) {
    return debugfs_create(Kind::dir, name, 0755, parent, nullptr, nullptr);
}

void *plat_debugfs_create_file(const char *name, unsigned int mode, void *parent, void *data,
                               const struct kova_file_ops *ops) {
    return debugfs_create(Kind::file, name, mode, parent, data, ops);
}

// As debugfs does, returns only once no handler runs in the removed files
// any more, so their owner may free what the handlers use.
void plat_debugfs_remove_recursive(void *dir) {
    if (!dir)
        return;
    std::unique_lock<std::mutex> g(fs_mutex);
    Node *n = live_node(dir);
    if (!n || n->kind == Kind::device)
        return;
    const std::string top = n->path; // n dies in the loop
    const std::string below = top + "/";
    std::vector<std::shared_ptr<plat_inode>> removed;
    for (auto it = nodes.begin(); it != nodes.end();) {
        if (it->first == top || it->first.compare(0, below.size(), below) == 0) {
            removed.push_back(it->second->inode);
            it = nodes.erase(it);
        } else {
            ++it;
        }
    }
    calls_ended.wait(g, [&] {
        return std::all_of(removed.begin(), removed.end(),
                           [](const auto &i) { return i->calls == 0; });
    });
}

int kova_host_open(const char *path) {
    plat_file *f;
    {
        std::lock_guard<std::mutex> g(fs_mutex);
        auto it = path ? nodes.find(path) : nodes.end();
        if (it == nodes.end())
            return -kENOENT;
        const Node &n = *it->second;
        if (n.kind == Kind::dir)
            return -kEISDIR;
        f = new plat_file;
        f->ops = n.ops;
        f->inode = n.inode.get();
        f->inode_ref = n.inode;
        ++f->inode->calls;
    }
    // Not under fs_mutex: an open handler may itself create or open files.
    const int r = f->ops->open ? f->ops->open(f->inode, f) : 0;
    end_call(f->inode);
    if (r < 0) {
        delete f;
        return r;
    }
    std::lock_guard<std::mutex> g(fs_mutex);
    size_t fd = 0;
    while (fd < fds.size() && fds[fd])
        ++fd;
    if (fd == fds.size())
        fds.push_back(f);
    else
        fds[fd] = f;
    return static_cast<int>(fd);
}

long kova_host_read(int fd, void *buf, size_t n) {
    plat_file *f = get_file(fd);
    if (!f)
        return -kEBADF;
    long r = -kEINVAL;
    if (f->ops->read) {
        int64_t pos = f->pos.load(std::memory_order_relaxed);
        r = f->ops->read(f, static_cast<char *>(buf), n, &pos);
        if (r >= 0)
            f->pos.store(pos, std::memory_order_relaxed);
    }
    end_call(f->inode);
    put_file(f);
    return r;
}

long kova_host_write(int fd, const void *buf, size_t n) {
    plat_file *f = get_file(fd);
    if (!f)
        return -kEBADF;
    long r = -kEINVAL;
    if (f->ops->write) {
        int64_t pos = f->pos.load(std::memory_order_relaxed);
        r = f->ops->write(f, static_cast<const char *>(buf), n, &pos);
        if (r >= 0)
            f->pos.store(pos, std::memory_order_relaxed);
    }
    end_call(f->inode);
    put_file(f);
    return r;
}

long kova_host_ioctl(int fd, unsigned int cmd, unsigned long arg) {
    plat_file *f = get_file(fd);
    if (!f)
        return -kEBADF;
    long r = f->ops->unlocked_ioctl ? f->ops->unlocked_ioctl(f, cmd, arg) : -kENOTTY;
    end_call(f->inode);
    put_file(f);
    return r;
}

int kova_host_close(int fd) {
    plat_file *f;
    {
        std::lock_guard<std::mutex> g(fs_mutex);
        if (fd < 0 || static_cast<size_t>(fd) >= fds.size() || !fds[fd])
            return -kEBADF;
        f = fds[fd];
        fds[fd] = nullptr;
    }
    return put_file(f);
}

int64_t kova_host_file_pos(int fd) {
    plat_file *f = get_file(fd);
    if (!f)
        return -kEBADF;
    int64_t pos = f->pos.load(std::memory_order_relaxed);
    end_call(f->inode);
    put_file(f);
    return pos;
}

int kova_host_path_exists(const char *path) {
    if (!path)
        return 0;
    std::lock_guard<std::mutex> g(fs_mutex);
    return nodes.count(path) ? 1 : 0;
}

int kova_host_path_mode(const char *path) {
    if (!path)
        return -1;
    std::lock_guard<std::mutex> g(fs_mutex);
    auto it = nodes.find(path);
    return it == nodes.end() ? -1 : int(it->second->mode);
}

void kova_host_fail_debugfs(const char *name) {
    std::lock_guard<std::mutex> g(fs_mutex);
    fail_debugfs_armed = name != nullptr;
    fail_debugfs_name = name ? name : "";
}

void kova_host_fail_misc_register(int err) {
    std::lock_guard<std::mutex> g(fs_mutex);
    fail_misc_err = err;
}

void kova_host_fs_reset(void) {
    std::vector<plat_file *> dropped;
    {
        std::lock_guard<std::mutex> g(fs_mutex);
        nodes.clear();
        for (plat_file *f : fds)
            if (f) {
                f->forgotten = true;
                dropped.push_back(f);
            }
        fds.clear();
        fail_debugfs_armed = false;
        fail_debugfs_name.clear();
        fail_misc_err = 0;
    }
    for (plat_file *f : dropped)
        put_file(f);
}

} // extern "C"
