// The host platform's file registry and dispatch, and its user-memory access.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "kova/host.h"
#include "platform.h"

namespace {

// What the fake handlers saw. They reach back into the registry, which must
// not deadlock.
struct Seen {
    int releases = 0, open_result = 0, release_result = 0, visible_in_open = -1, visible_in_release = -1;
    void *open_inode_data = nullptr, *released_private = nullptr;
    std::string written;
    unsigned int cmd = 0;
    unsigned long arg = 0;
    bool fail_write = false;
} seen;

int tag; // its address is what open stores as per-open state
const char kText[] = "0123456789";

int fake_open(plat_inode *inode, plat_file *file) {
    seen.visible_in_open = kova_host_path_exists("/dev/vfs-test");
    seen.open_inode_data = plat_inode_private(inode);
    if (seen.open_result == 0)
        *plat_file_private(file) = &tag;
    return seen.open_result;
}
int fake_release(plat_inode *, plat_file *file) {
    ++seen.releases;
    seen.visible_in_release = kova_host_path_exists("/dev/vfs-test");
    seen.released_private = *plat_file_private(file);
    return seen.release_result;
}
// Both move the position before they know the call worked: the caller must
// not keep a failed call's position.
long fake_read(plat_file *, char *buf, size_t count, int64_t *pos) {
    size_t n = std::min(count, size_t(std::max<int64_t>(0, int64_t(sizeof kText - 1) - *pos)));
    const char *from = kText + std::min<int64_t>(*pos, sizeof kText - 1);
    *pos += int64_t(n);
    return plat_copy_to_user(buf, from, n) ? -14 : long(n);
}
long fake_write(plat_file *, const char *buf, size_t count, int64_t *pos) {
    std::string s(count, '\0');
    if (plat_copy_from_user(s.data(), buf, count))
        return -14;
    *pos += int64_t(count);
    if (!seen.fail_write)
        seen.written += s;
    return seen.fail_write ? -5 : long(count);
}
long fake_ioctl(plat_file *, unsigned int cmd, unsigned long arg) {
    seen.cmd = cmd;
    seen.arg = arg;
    return 7;
}

const kova_file_ops kOps = {fake_open, fake_release, fake_read, fake_write, fake_ioctl};
const kova_file_ops kBareOps = {};

class VfsTest : public ::testing::Test {
protected:
    void SetUp() override { seen = Seen{}; }
    void TearDown() override {
        for (int fd : fds_)
            kova_host_close(fd);
        plat_misc_deregister(&kOps);
        plat_misc_deregister(&kBareOps);
        plat_debugfs_remove_recursive(dir_);
        kova_host_fail_debugfs(nullptr);
        kova_host_fail_misc_register(0);
    }
    // Opens and remembers the fd for cleanup when the test stops early.
    int open(const char *path) {
        int fd = kova_host_open(path);
        if (fd >= 0)
            fds_.push_back(fd);
        return fd;
    }
    int close(int fd) {
        std::erase(fds_, fd);
        return kova_host_close(fd);
    }
    std::vector<int> fds_;
    void *dir_ = nullptr;
};

TEST_F(VfsTest, DeviceCallsDispatchToHandlersWithThePosition) {
    ASSERT_EQ(plat_misc_register("vfs-test", &kOps), 0);
    int fd = open("/dev/vfs-test");
    ASSERT_GE(fd, 0);
    EXPECT_EQ(seen.visible_in_open, 1);
    EXPECT_EQ(seen.open_inode_data, nullptr);

    // A failed call keeps no position its handler moved (the reads below
    // start at 0, and the failed write below leaves 13).
    EXPECT_EQ(kova_host_read(fd, nullptr, 4), -14);
    char buf[16] = {};
    EXPECT_EQ(kova_host_read(fd, buf, 4), 4);
    EXPECT_EQ(kova_host_read(fd, buf + 4, sizeof buf - 4), 6);
    EXPECT_EQ(std::string(buf, 10), kText);
    EXPECT_EQ(kova_host_write(fd, "abc", 3), 3);
    EXPECT_EQ(seen.written, "abc");
    EXPECT_EQ(kova_host_file_pos(fd), 13);
    EXPECT_EQ(kova_host_ioctl(fd, 0x4b02, 0xfeedul), 7);
    EXPECT_EQ(seen.cmd, 0x4b02u);
    EXPECT_EQ(seen.arg, 0xfeedul);

    seen.fail_write = true;
    EXPECT_EQ(kova_host_write(fd, "cdef", 4), -5);
    EXPECT_EQ(kova_host_file_pos(fd), 13);

    // A second open has its own position.
    int fd2 = open("/dev/vfs-test");
    ASSERT_GE(fd2, 0);
    EXPECT_EQ(kova_host_file_pos(fd2), 0);
    EXPECT_EQ(close(fd2), 0);

    seen.release_result = 3;
    EXPECT_EQ(close(fd), 3);
    EXPECT_EQ(seen.releases, 2);
    EXPECT_EQ(seen.visible_in_release, 1);
    EXPECT_EQ(seen.released_private, &tag);
    EXPECT_EQ(kova_host_close(fd), -9);
    EXPECT_EQ(kova_host_ioctl(-1, 1, 0), -9);
}

TEST_F(VfsTest, DeviceNamesAbsentOperationsAndRemoval) {
    EXPECT_EQ(kova_host_open(nullptr), -2);
    ASSERT_EQ(plat_misc_register("vfs-bare", &kBareOps), 0);
    int bare = open("/dev/vfs-bare");
    ASSERT_GE(bare, 0);
    char c;
    EXPECT_EQ(kova_host_read(bare, &c, 1), -22);
    EXPECT_EQ(kova_host_write(bare, &c, 1), -22);
    EXPECT_EQ(kova_host_ioctl(bare, 1, 0), -25);

    EXPECT_EQ(kova_host_open("/dev/vfs-test"), -2);
    ASSERT_EQ(plat_misc_register("vfs-test", &kOps), 0);
    EXPECT_EQ(plat_misc_register("vfs-test", &kBareOps), -16);
    EXPECT_EQ(kova_host_open("/sys/kernel/debug/vfs-test"), -2);
    seen.open_result = -12;
    EXPECT_EQ(open("/dev/vfs-test"), -12);
    EXPECT_EQ(seen.releases, 0) << "a refused open is not released";
    seen.open_result = 0;

    int fd = open("/dev/vfs-test");
    ASSERT_GE(fd, 0);
    plat_misc_deregister(&kOps);
    EXPECT_EQ(kova_host_path_exists("/dev/vfs-test"), 0);
    EXPECT_EQ(kova_host_open("/dev/vfs-test"), -2);
    // The open file outlives its device, and the name is free again.
    EXPECT_EQ(kova_host_write(fd, "x", 1), 1);
    EXPECT_EQ(close(fd), 0);
    EXPECT_EQ(seen.releases, 1);
    plat_misc_deregister(&kBareOps);
    EXPECT_EQ(plat_misc_register("vfs-test", &kBareOps), 0);
}

TEST_F(VfsTest, DebugfsTreeAndRecursiveRemoval) {
    int data = 0;
    dir_ = plat_debugfs_create_dir("vfs-test", nullptr);
    ASSERT_NE(dir_, nullptr);
    EXPECT_EQ(plat_debugfs_create_dir("vfs-test", nullptr), nullptr);
    void *file = plat_debugfs_create_file("stats", 0444, dir_, &data, &kOps);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(plat_debugfs_create_file("stats", 0444, dir_, nullptr, &kOps), nullptr);
    EXPECT_EQ(plat_debugfs_create_dir("stats", dir_), nullptr);
    EXPECT_EQ(plat_debugfs_create_file("x", 0444, file, nullptr, &kOps), nullptr);  // not a dir
    EXPECT_EQ(plat_debugfs_create_file("x", 0444, &data, nullptr, &kOps), nullptr); // not ours
    void *sub = plat_debugfs_create_dir("sub", dir_);
    ASSERT_NE(sub, nullptr);
    ASSERT_NE(plat_debugfs_create_file("stats", 0444, sub, nullptr, &kOps), nullptr);
    EXPECT_EQ(kova_host_path_exists("/sys/kernel/debug/vfs-test/sub/stats"), 1);
    EXPECT_EQ(kova_host_open("/sys/kernel/debug/vfs-test"), -21);
    // A neighbour whose name extends ours must survive our removal.
    void *other = plat_debugfs_create_dir("vfs-test2", nullptr);
    ASSERT_NE(other, nullptr);
    ASSERT_NE(plat_debugfs_create_file("keep", 0444, other, nullptr, &kOps), nullptr);

    int fd = open("/sys/kernel/debug/vfs-test/stats");
    ASSERT_GE(fd, 0);
    EXPECT_EQ(seen.open_inode_data, &data);

    plat_debugfs_remove_recursive(nullptr);
    EXPECT_EQ(kova_host_path_exists("/sys/kernel/debug/vfs-test/stats"), 1);
    plat_debugfs_remove_recursive(dir_);
    dir_ = nullptr;
    for (const char *p : {"/sys/kernel/debug/vfs-test", "/sys/kernel/debug/vfs-test/stats",
                          "/sys/kernel/debug/vfs-test/sub", "/sys/kernel/debug/vfs-test/sub/stats"})
        EXPECT_EQ(kova_host_path_exists(p), 0) << p;
    EXPECT_EQ(kova_host_path_exists("/sys/kernel/debug/vfs-test2/keep"), 1);
    EXPECT_EQ(plat_debugfs_create_file("late", 0444, sub, nullptr, &kOps), nullptr) << "removed parent";

    char buf[4];
    EXPECT_EQ(kova_host_read(fd, buf, 2), 2);
    EXPECT_EQ(close(fd), 0);
    EXPECT_EQ(seen.releases, 1);
    plat_debugfs_remove_recursive(other);
    EXPECT_EQ(kova_host_path_exists("/sys/kernel/debug/vfs-test2/keep"), 0);
}

TEST_F(VfsTest, InjectedRegistrationFailuresHitOnceByName) {
    kova_host_fail_debugfs("vfs-test");
    EXPECT_EQ(plat_debugfs_create_dir("vfs-test", nullptr), nullptr);
    dir_ = plat_debugfs_create_dir("vfs-test", nullptr); // once only
    ASSERT_NE(dir_, nullptr);
    kova_host_fail_debugfs("stats");
    ASSERT_NE(plat_debugfs_create_file("other", 0444, dir_, nullptr, &kOps), nullptr);
    EXPECT_EQ(plat_debugfs_create_file("stats", 0444, dir_, nullptr, &kOps), nullptr);
    EXPECT_EQ(kova_host_path_exists("/sys/kernel/debug/vfs-test/stats"), 0);
    kova_host_fail_debugfs("sub");
    kova_host_fail_debugfs(nullptr);
    EXPECT_NE(plat_debugfs_create_dir("sub", dir_), nullptr);

    kova_host_fail_misc_register(-12);
    EXPECT_EQ(plat_misc_register("vfs-test", &kOps), -12);
    EXPECT_EQ(kova_host_path_exists("/dev/vfs-test"), 0);
    EXPECT_EQ(plat_misc_register("vfs-test", &kOps), 0);
    plat_misc_deregister(&kOps);
    kova_host_fail_misc_register(-12);
    kova_host_fail_misc_register(0);
    EXPECT_EQ(plat_misc_register("vfs-test", &kOps), 0);
}

TEST_F(VfsTest, ConcurrentOpensEachGetOneRelease) {
    ASSERT_EQ(plat_misc_register("vfs-bare", &kBareOps), 0);
    int lowest = kova_host_open("/dev/vfs-bare");
    ASSERT_GE(lowest, 0);
    ASSERT_EQ(kova_host_close(lowest), 0);
    // The bare device only: the recording handlers are not thread-safe.
    std::atomic<int> bad{0};
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&] {
                for (int i = 0; i < 300; ++i) {
                    int fd = kova_host_open("/dev/vfs-bare");
                    bad += fd < 0 || kova_host_ioctl(fd, 1, 0) != -25 || kova_host_close(fd) != 0;
                }
            });
    }
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(open("/dev/vfs-bare"), lowest) << "every fd was freed";
}

TEST_F(VfsTest, ResetForgetsRegistrationsAndOpenFiles) {
    ASSERT_EQ(plat_misc_register("vfs-test", &kOps), 0);
    void *dir = plat_debugfs_create_dir("vfs-test", nullptr);
    ASSERT_NE(dir, nullptr);
    int fd = kova_host_open("/dev/vfs-test");
    ASSERT_GE(fd, 0);
    kova_host_fail_misc_register(-5);
    kova_host_fs_reset();
    EXPECT_EQ(seen.releases, 0);
    EXPECT_EQ(kova_host_read(fd, nullptr, 0), -9);
    EXPECT_EQ(kova_host_path_exists("/dev/vfs-test"), 0);
    EXPECT_EQ(kova_host_path_exists("/sys/kernel/debug/vfs-test"), 0);
    EXPECT_EQ(plat_debugfs_create_file("x", 0444, dir, nullptr, &kOps), nullptr);
    EXPECT_EQ(plat_misc_register("vfs-test", &kOps), 0);
}

// ---- User memory ----------------------------------------------------------

// A private anonymous area of `pages` pages.
struct Area {
    explicit Area(size_t pages) : size(pages * page()) {
        void *m = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        p = m == MAP_FAILED ? nullptr : static_cast<uint8_t *>(m);
    }
    ~Area() { if (p) munmap(p, size); }
    static size_t page() { return size_t(sysconf(_SC_PAGESIZE)); }
    uint64_t at(size_t off) const { return uint64_t(uintptr_t(p + off)); }
    uint8_t *p;
    size_t size;
};

class UserMemTest : public ::testing::Test {
protected:
    void SetUp() override { pins_before_ = kova_host_pins_live(); }
    void TearDown() override {
        kova_host_user_copy_limit(-1);
        EXPECT_EQ(kova_host_pins_live(), pins_before_) << "pins left behind";
    }
    long pins_before_ = 0;
};

TEST_F(UserMemTest, LimitedCopiesStopShortOnce) {
    const char src[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    char dst[8];
    std::memset(dst, 0xEE, sizeof dst);
    kova_host_user_copy_limit(3);
    EXPECT_EQ(plat_copy_from_user(dst, src, 8), 5ul);
    EXPECT_EQ(std::memcmp(dst, src, 3), 0);
    for (int i = 3; i < 8; ++i)
        EXPECT_EQ(dst[i], 0) << i; // the kernel zeroes what it could not read
    EXPECT_EQ(plat_copy_from_user(dst, src, 8), 0ul) << "the limit applied to one copy only";
    EXPECT_EQ(std::memcmp(dst, src, 8), 0);

    std::memset(dst, 0xEE, sizeof dst);
    kova_host_user_copy_limit(0);
    EXPECT_EQ(plat_copy_to_user(dst, src, 8), 8ul);
    EXPECT_EQ(dst[0], char(0xEE));
    kova_host_user_copy_limit(5);
    EXPECT_EQ(plat_copy_to_user(dst, src, 8), 3ul);
    EXPECT_EQ(std::memcmp(dst, src, 5), 0);
    EXPECT_EQ(dst[5], char(0xEE)); // the user's memory beyond the stop is untouched
    kova_host_user_copy_limit(2);
    kova_host_user_copy_limit(-1);
    EXPECT_EQ(plat_copy_to_user(dst, src, 8), 0ul);
}

TEST_F(UserMemTest, NullLowAndUnmappedPointersCopyNothing) {
    char buf[16];
    std::memset(buf, 0xEE, sizeof buf);
    EXPECT_EQ(plat_copy_from_user(buf, nullptr, 16), 16ul);
    for (char c : buf)
        EXPECT_EQ(c, 0);
    EXPECT_EQ(plat_copy_to_user(nullptr, buf, 16), 16ul);
    EXPECT_EQ(plat_copy_from_user(buf, reinterpret_cast<void *>(0xff0), 4), 4ul);
    EXPECT_EQ(plat_copy_to_user(reinterpret_cast<void *>(0x10), buf, 4), 4ul);

    // Copies that run into an inaccessible page stop at its edge.
    Area a(2);
    ASSERT_NE(a.p, nullptr);
    char probe;
    iovec l{&probe, 1}, r{a.p, 1};
    if (process_vm_readv(getpid(), &l, 1, &r, 1, 0) != 1)
        GTEST_SKIP() << "self-copy syscalls unavailable; copies are unchecked";
    std::memset(a.p, 0x5A, a.size);
    ASSERT_EQ(mprotect(a.p + Area::page(), Area::page(), PROT_READ), 0);
    uint8_t *edge = a.p + Area::page() - 4;
    std::memset(buf, 0xEE, sizeof buf);
    EXPECT_EQ(plat_copy_to_user(edge, buf, 16), 12ul);
    EXPECT_EQ(edge[0], 0xEE);
    ASSERT_EQ(mprotect(a.p + Area::page(), Area::page(), PROT_NONE), 0);
    EXPECT_EQ(plat_copy_from_user(buf, edge, 16), 12ul);
    EXPECT_EQ(uint8_t(buf[3]), 0xEE);
    EXPECT_EQ(buf[4], 0);
}

TEST_F(UserMemTest, PinNeedsReadWriteMappingsThroughout) {
    const size_t pg = Area::page();
    Area a(4);
    ASSERT_NE(a.p, nullptr);
    // Two mappings the kernel cannot merge: the pin walks from one to the next.
    ASSERT_NE(mmap(a.p + 2 * pg, pg, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS | MAP_FIXED, -1, 0),
              MAP_FAILED);
    uint64_t phys = 0;
    EXPECT_EQ(plat_pin_user(a.at(8), 4 * pg - 8, &phys), nullptr) << "not on a page";
    void *pin = plat_pin_user(a.at(pg), 3 * pg, &phys);
    ASSERT_NE(pin, nullptr);
    EXPECT_EQ(phys, a.at(pg));
    EXPECT_EQ(plat_phys_to_virt(phys), a.p + pg);
    void *pin2 = plat_pin_user(a.at(0), pg, &phys);
    ASSERT_NE(pin2, nullptr);
    EXPECT_NE(pin2, pin);
    EXPECT_EQ(kova_host_pins_live(), pins_before_ + 2);
    plat_unpin_user(pin);
    plat_unpin_user(pin2);
    plat_unpin_user(nullptr);
    EXPECT_EQ(kova_host_pins_live(), pins_before_);

    // The last page becomes a guard: one byte into it is too far.
    ASSERT_EQ(mprotect(a.p + 3 * pg, pg, PROT_NONE), 0);
    EXPECT_EQ(plat_pin_user(a.at(0), 3 * pg + 1, &phys), nullptr);
    pin = plat_pin_user(a.at(0), 3 * pg, &phys);
    EXPECT_NE(pin, nullptr);
    plat_unpin_user(pin);
    ASSERT_EQ(mprotect(a.p + pg, pg, PROT_READ), 0);
    EXPECT_EQ(plat_pin_user(a.at(0), 2 * pg, &phys), nullptr) << "read-only";
    ASSERT_EQ(munmap(a.p + pg, pg), 0);
    EXPECT_EQ(plat_pin_user(a.at(0), 3 * pg, &phys), nullptr) << "a hole";
    EXPECT_EQ(plat_pin_user(a.at(pg), 16, &phys), nullptr);
    using P = std::pair<uint64_t, uint64_t>;
    for (auto [addr, len] : {P{0, 16}, P{a.at(0), 0}, P{~0ull - 8, 16}}) // nothing to pin
        EXPECT_EQ(plat_pin_user(addr, len, &phys), nullptr) << addr << "+" << len;
}

} // namespace
