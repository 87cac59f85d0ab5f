// The mount: a fixed tree of directories holding dev/kova and the debug
// files, every open/read/write/ioctl/release handed to the host platform's
// file layer with the kernel's semantics (a negative result is the errno).
//
//   MNT/dev/kova                      regular file, 0666 (FUSE cannot serve a
//                                     device node; ioctl works on a file)
//   MNT/sys/kernel/debug/kova/<name>  the debug files, with the mode the module
//                                     created them with
//   MNT/kova-sim/call                 kova-sim's own, 0666: a write of
//                                     "FUNCTION ARGS" makes that API call here,
//                                     a read gives the last call's line
//
// File positions are the module's own (those of the host file): what the
// handlers see is what they see in the kernel for read() and write() calls
// in sequence. Requests run one at a time on one thread.
#define FUSE_USE_VERSION 312
#include <fuse_lowlevel.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "call.h"
#include "kova/host.h"
#include "mount.h"
#include "quote.h"

namespace kovasim {
namespace {

struct Node {
    fuse_ino_t parent;
    const char *name;
    const char *path; // the host file's path; null for a node of our own
    bool dir;
};

// Inode number = index + 1; the root is FUSE_ROOT_ID (1).
const Node kNodes[] = {
    {0, "", nullptr, true},                                                    // 1 /
    {1, "dev", nullptr, true},                                                 // 2
    {2, "kova", "/dev/kova", false},                                           // 3
    {1, "sys", nullptr, true},                                                 // 4
    {4, "kernel", nullptr, true},                                              // 5
    {5, "debug", nullptr, true},                                               // 6
    {6, "kova", "/sys/kernel/debug/kova", true},                               // 7
    {7, "dump_flows_cpu", "/sys/kernel/debug/kova/dump_flows_cpu", false},     // 8
    {7, "dump_flows_qe", "/sys/kernel/debug/kova/dump_flows_qe", false},       // 9
    {7, "dump_oq", "/sys/kernel/debug/kova/dump_oq", false},                   // 10
    {7, "dump_scheduler", "/sys/kernel/debug/kova/dump_scheduler", false},     // 11
    {7, "create_flows", "/sys/kernel/debug/kova/create_flows", false},         // 12
    {7, "delete_flows", "/sys/kernel/debug/kova/delete_flows", false},         // 13
    {7, "create_flows_old", "/sys/kernel/debug/kova/create_flows_old", false}, // 14
    {7, "setlag", "/sys/kernel/debug/kova/setlag", false},                     // 15
    {1, "kova-sim", nullptr, true},                                            // 16
    {16, "call", nullptr, false},                                              // 17
    {7, "flow_list", "/sys/kernel/debug/kova/flow_list", false},               // 18
};
constexpr fuse_ino_t kNodeCount = sizeof kNodes / sizeof kNodes[0];
constexpr fuse_ino_t kDevKova = 3;
constexpr fuse_ino_t kCall = 17;
// The file handle of an open of kova-sim/call: never a host fd.
constexpr uint64_t kCallFh = UINT64_MAX;

// What a read of kova-sim/call gives: the line of the last call written to
// it by anyone, or why that write was refused.
std::string last_call;

time_t start_time;

// Host files opened through the mount and not yet released. A release the
// kernel queued just before a SIGTERM is never served; the files are closed
// at the end instead, as the module must not be unloaded under open files.
std::set<int> open_files;

// The node of an inode number that exists now (a debug file whose creation
// failed at load does not), or null.
const Node *node(fuse_ino_t ino) {
    if (ino < 1 || ino > kNodeCount)
        return nullptr;
    const Node *n = &kNodes[ino - 1];
    return !n->path || kova_host_path_exists(n->path) ? n : nullptr;
}

void fill_attr(fuse_ino_t ino, const Node &n, struct stat *st) {
    std::memset(st, 0, sizeof *st);
    st->st_ino = ino;
    st->st_uid = getuid();
    st->st_gid = getgid();
    st->st_atime = st->st_mtime = st->st_ctime = start_time;
    if (n.dir) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
    } else {
        const int mode = ino == kDevKova || ino == kCall ? 0666 : kova_host_path_mode(n.path);
        st->st_mode = S_IFREG | (mode > 0 ? mode & 07777 : 0444);
        st->st_nlink = 1;
    }
}

// Every request ends here: the kernel log has been echoed (with -v) as it
// was written, and is not kept, so a long-running mount does not grow.
void done() { kova_host_log_clear(); }

void reply_err(fuse_req_t req, long r) {
    fuse_reply_err(req, int(-r));
    done();
}

void op_lookup(fuse_req_t req, fuse_ino_t parent, const char *name) {
    for (fuse_ino_t ino = 1; ino <= kNodeCount; ++ino) {
        const Node *n = node(ino);
        if (n && n->parent == parent && std::strcmp(n->name, name) == 0) {
            fuse_entry_param e;
            std::memset(&e, 0, sizeof e);
            e.ino = ino;
            fill_attr(ino, *n, &e.attr);
            fuse_reply_entry(req, &e);
            return done();
        }
    }
    reply_err(req, -ENOENT);
}

void op_getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info *) {
    const Node *n = node(ino);
    if (!n)
        return reply_err(req, -ENOENT);
    struct stat st;
    fill_attr(ino, *n, &st);
    fuse_reply_attr(req, &st, 0);
    done();
}

// Truncation (the O_TRUNC of a shell's `>`) means nothing to these files, as
// in debugfs: the attributes stay as they are.
void op_setattr(fuse_req_t req, fuse_ino_t ino, struct stat *, int, fuse_file_info *fi) {
    op_getattr(req, ino, fi);
}

void op_open(fuse_req_t req, fuse_ino_t ino, fuse_file_info *fi) {
    const Node *n = node(ino);
    if (!n)
        return reply_err(req, -ENOENT);
    if (n->dir)
        return reply_err(req, -EISDIR);
    if (ino == kCall) {
        fi->fh = kCallFh;
        fi->direct_io = 1;
        fuse_reply_open(req, fi);
        return done();
    }
    const int fd = kova_host_open(n->path);
    if (fd < 0)
        return reply_err(req, fd);
    open_files.insert(fd);
    fi->fh = uint64_t(fd);
    fi->direct_io = 1; // no page cache: every read reaches the handler
    fuse_reply_open(req, fi);
    done();
}

void op_read(fuse_req_t req, fuse_ino_t, size_t size, off_t off, fuse_file_info *fi) {
    if (fi->fh == kCallFh) {
        const size_t at = std::min(size_t(off), last_call.size());
        fuse_reply_buf(req, last_call.data() + at, std::min(size, last_call.size() - at));
        return done();
    }
    std::vector<char> buf(size);
    const long r = kova_host_read(int(fi->fh), buf.data(), size);
    if (r < 0)
        return reply_err(req, r);
    fuse_reply_buf(req, buf.data(), size_t(r));
    done();
}

// One write to kova-sim/call is one call, whatever the position.
void op_write(fuse_req_t req, fuse_ino_t, const char *buf, size_t size, off_t, fuse_file_info *fi) {
    if (fi->fh == kCallFh) {
        std::string out, why;
        const bool ok = run_call(std::string(buf, size), &out, &why);
        last_call = (ok ? out : "error: " + why) + "\n";
        if (!ok)
            return reply_err(req, -EINVAL);
        fuse_reply_write(req, size);
        return done();
    }
    const long r = kova_host_write(int(fi->fh), buf, size);
    if (r < 0)
        return reply_err(req, r);
    fuse_reply_write(req, size_t(r));
    done();
}

// The handler reads its payload from the caller's memory at arg, as the
// kernel's copy_from_user does, and an attach maps the caller's area: both
// need to know whose memory a user address is, for this call only.
void op_ioctl(fuse_req_t req, fuse_ino_t, unsigned int cmd, void *arg, fuse_file_info *fi, unsigned,
              const void *, size_t, size_t) {
    if (fi->fh == kCallFh)
        return reply_err(req, -ENOTTY);
    kova_host_set_caller(int(fuse_req_ctx(req)->pid));
    const long r = kova_host_ioctl(int(fi->fh), cmd, reinterpret_cast<unsigned long>(arg));
    kova_host_set_caller(0);
    if (r < 0)
        return reply_err(req, r);
    fuse_reply_ioctl(req, int(r), nullptr, 0);
    done();
}

void op_release(fuse_req_t req, fuse_ino_t, fuse_file_info *fi) {
    if (fi->fh != kCallFh) {
        open_files.erase(int(fi->fh));
        kova_host_close(int(fi->fh));
    }
    fuse_reply_err(req, 0);
    done();
}

void op_opendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info *fi) {
    const Node *n = node(ino);
    if (!n)
        return reply_err(req, -ENOENT);
    if (!n->dir)
        return reply_err(req, -ENOTDIR);
    fuse_reply_open(req, fi);
    done();
}

void op_readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info *) {
    const Node *dir = node(ino);
    if (!dir)
        return reply_err(req, -ENOENT);
    struct Entry {
        const char *name;
        fuse_ino_t ino;
    };
    std::vector<Entry> entries{{".", ino}, {"..", dir->parent ? dir->parent : ino}};
    for (fuse_ino_t i = 1; i <= kNodeCount; ++i)
        if (const Node *n = node(i); n && n->parent == ino && i != ino)
            entries.push_back({n->name, i});
    std::vector<char> buf(size);
    size_t used = 0;
    for (size_t i = size_t(off); i < entries.size(); ++i) {
        struct stat st;
        fill_attr(entries[i].ino, kNodes[entries[i].ino - 1], &st);
        const size_t need = fuse_add_direntry(req, buf.data() + used, size - used, entries[i].name,
                                              &st, off_t(i + 1));
        if (need > size - used)
            break;
        used += need;
    }
    fuse_reply_buf(req, buf.data(), used);
    done();
}

// A mount point as /proc/self/mountinfo writes it: blank, tab, newline and
// backslash as three octal digits.
std::string unescape_mountinfo(const std::string &field) {
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() &&
            std::isdigit(static_cast<unsigned char>(field[i + 1]))) {
            out += char(std::strtol(field.substr(i + 1, 3).c_str(), nullptr, 8));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

// The type of the mount at `path` ("fuse.kova-sim", ...), or "" when none
// is mounted there. Another mount on top would hide the first one, which
// goes on serving (or, its server gone, fails every access); a later
// unmount takes the top one off only.
std::string mount_at(const std::string &path) {
    // A FUSE mount whose server is gone refuses even a stat.
    struct stat st, up;
    if (stat(path.c_str(), &st) != 0)
        return errno == ENOTCONN ? "a FUSE mount whose server is gone" : "";
    if (char *real = realpath(path.c_str(), nullptr)) {
        const std::string canonical = real;
        std::free(real);
        std::ifstream info("/proc/self/mountinfo");
        // id parent major:minor root mount-point options [optional...] - type ...
        for (std::string line; std::getline(info, line);) {
            std::istringstream in(line);
            std::string id, parent, dev, root, point, field, type;
            in >> id >> parent >> dev >> root >> point;
            if (unescape_mountinfo(point) != canonical)
                continue;
            while (in >> field && field != "-") {
            }
            in >> type;
            return type.empty() ? "a mount" : type;
        }
    }
    // Without /proc: another file system than the parent's, or the root.
    if (stat((path + "/..").c_str(), &up) == 0 &&
        (st.st_dev != up.st_dev || st.st_ino == up.st_ino))
        return "a mount";
    return "";
}

} // namespace

bool check_mountpoint(const std::string &path) {
    const std::string shown = kova_tools::escaped(path);
    if (const std::string mounted = mount_at(path); !mounted.empty()) {
        std::fprintf(stderr, "kova-sim: mount point %s: already mounted (%s); unmount it first\n",
                     shown.c_str(), mounted.c_str());
        return false;
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        std::fprintf(stderr, "kova-sim: mount point %s: %s\n", shown.c_str(), std::strerror(errno));
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        std::fprintf(stderr, "kova-sim: mount point %s: not a directory\n", shown.c_str());
        return false;
    }
    return true;
}

int serve(const MountOptions &opt) {
    start_time = std::time(nullptr);

    fuse_lowlevel_ops ops;
    std::memset(&ops, 0, sizeof ops);
    ops.lookup = op_lookup;
    ops.getattr = op_getattr;
    ops.setattr = op_setattr;
    ops.open = op_open;
    ops.read = op_read;
    ops.write = op_write;
    ops.ioctl = op_ioctl;
    ops.release = op_release;
    ops.opendir = op_opendir;
    ops.readdir = op_readdir;

    std::string options = "fsname=kova,subtype=kova-sim";
    if (!opt.fuse_options.empty())
        options += "," + opt.fuse_options;
    char *argv[] = {const_cast<char *>("kova-sim"), const_cast<char *>("-o"), options.data(),
                    nullptr};
    fuse_args args = FUSE_ARGS_INIT(3, argv);
    fuse_session *se = fuse_session_new(&args, &ops, sizeof ops, nullptr);
    fuse_opt_free_args(&args); // the session parsed them into copies of its own
    if (!se) {
        std::fprintf(stderr, "kova-sim: cannot start the FUSE session (options: %s)\n",
                     options.c_str());
        return 1;
    }
    int status = 1;
    if (fuse_set_signal_handlers(se) != 0) {
        std::fprintf(stderr, "kova-sim: cannot install signal handlers\n");
    } else {
        if (fuse_session_mount(se, opt.mountpoint.c_str()) != 0) {
            std::fprintf(
                stderr, "kova-sim: cannot mount on %s (is /dev/fuse usable and fuse3 installed?)\n",
                opt.mountpoint.c_str());
        } else {
            fuse_daemonize(opt.foreground ? 1 : 0);
            status = fuse_session_loop(se) < 0 ? 1 : 0;
            fuse_session_unmount(se);
        }
        fuse_remove_signal_handlers(se);
    }
    fuse_session_destroy(se);
    for (int fd : open_files)
        kova_host_close(fd);
    open_files.clear();
    return status;
}

} // namespace kovasim
