// Helpers for tests that load the module and attach an engine area.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kova/kova_shm.h"
#include "support/kova_test.h"

namespace kt {

// Loads the module before each test and unloads it after, checking that
// nothing the module obtained is left.
class ModuleTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    long allocs_ = 0, maps_ = 0, pins_ = 0;
};

// An engine's shared area: read-write for `size` bytes, then an
// inaccessible guard page, so a shorter area really ends where it says.
class EngineArea {
public:
    explicit EngineArea(size_t size = KOVA_SHM_SIZE);
    ~EngineArea();
    EngineArea(const EngineArea &) = delete;
    EngineArea &operator=(const EngineArea &) = delete;
    uint8_t *data() const { return base_; }
    uint64_t addr() const { return uint64_t(uintptr_t(base_)); }

private:
    uint8_t *base_ = nullptr;
    size_t mapped_;
};

kova_attach_args attach_args(uint64_t shm_vaddr, uint64_t qe_base, const char *version);
// Opens /dev/kova, issues the attach command and closes it; the ioctl's result.
long attach_engine(const kova_attach_args &args, unsigned int cmd = KOVA_IOC_ATTACH);

} // namespace kt
