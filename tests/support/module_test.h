// Helpers for tests that load the module and attach an engine area.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kova/kova_shm.h"
#include "support/kova_test.h"

namespace kt {

// Loads the module before each test and unloads it after; nothing it obtained may be left.
class ModuleTest : public ::testing::Test {
protected:
    void SetUp() override {
        allocs_ = kova_host_alloc_live(), maps_ = kova_host_iomap_live();
        pins_ = kova_host_pins_live();
        ASSERT_EQ(kova_host_load(), 0);
        kova_host_log_clear();
    }
    void TearDown() override {
        kova_host_user_copy_limit(-1);
        kova_host_unload();
        EXPECT_EQ(kova_host_alloc_live(), allocs_) << "allocations left behind";
        EXPECT_EQ(kova_host_iomap_live(), maps_) << "mappings left behind";
        EXPECT_EQ(kova_host_pins_live(), pins_) << "engine pages left pinned";
    }
    long allocs_ = 0, maps_ = 0, pins_ = 0;
};

// An engine's area: `size` bytes, then a guard page, so a short area ends where it says.
class EngineArea {
public:
    explicit EngineArea(size_t size = KOVA_SHM_SIZE) {
        const size_t page = size_t(sysconf(_SC_PAGESIZE)),
                     rounded = (size + page - 1) / page * page;
        mapped_ = rounded + page;
        void *m =
            mmap(nullptr, mapped_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (m == MAP_FAILED) {
            ADD_FAILURE() << "mmap of the engine area failed";
            return;
        }
        base_ = static_cast<uint8_t *>(m);
        // The rounded tail still counts as the caller's memory; the guard page after it does not.
        mprotect(base_, rounded, PROT_READ | PROT_WRITE);
    }
    ~EngineArea() {
        if (base_)
            munmap(base_, mapped_);
    }
    EngineArea(const EngineArea &) = delete;
    EngineArea &operator=(const EngineArea &) = delete;
    uint8_t *data() const { return base_; }
    uint64_t addr() const { return uint64_t(uintptr_t(base_)); }

private:
    uint8_t *base_ = nullptr;
    size_t mapped_;
};

inline kova_attach_args attach_args(uint64_t shm_vaddr, uint64_t qe_base, const char *version) {
    kova_attach_args a;
    std::memset(&a, 0, sizeof a);
    a.shm_vaddr = shm_vaddr, a.qe_base = qe_base;
    std::memcpy(a.ucode_version, version, std::min(std::strlen(version), sizeof a.ucode_version));
    return a;
}

// Opens /dev/kova, issues the attach command and closes it; the ioctl's result.
inline long attach_engine(const kova_attach_args &args, unsigned int cmd = KOVA_IOC_ATTACH) {
    const int fd = kova_host_open("/dev/kova");
    if (fd < 0)
        return fd;
    const long r = kova_host_ioctl(fd, cmd, (unsigned long)(uintptr_t)&args);
    kova_host_close(fd);
    return r;
}

} // namespace kt
