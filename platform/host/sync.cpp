// The kernel's locks, grace periods and the full barrier, in user space.
#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <thread>

#include "host_trace.h"
#include "kova/kovaAPI.h"
#include "platform.h"

// The owner is kept so that "the caller holds this lock" can be checked, as
// lockdep checks it in the kernel.
struct kova_mutex {
    pthread_mutex_t m;
    std::atomic<pthread_t> owner;
    std::atomic<bool> held;
};

struct kova_spinlock {
    pthread_mutex_t m;
};

namespace {

// Reader sections as SRCU keeps them: two counters of active readers, and
// an epoch whose low bit says which one a new reader counts in. A wait
// flips the epoch and waits for the old counter to drain, twice, so a
// reader that read the epoch just before a flip is covered too. New readers
// never wait, so a stream of them cannot starve a waiter.
std::atomic<unsigned> reader_epoch{0};
std::atomic<long> readers_active[2];
std::mutex readers_wait_lock;

} // namespace

extern "C" {

struct kova_mutex kovaAPI_lock = {PTHREAD_MUTEX_INITIALIZER, {}, {false}};
struct kova_mutex kova_lag_lock = {PTHREAD_MUTEX_INITIALIZER, {}, {false}};
struct kova_spinlock kova_port_lock = {PTHREAD_MUTEX_INITIALIZER};

void plat_mutex_init(struct kova_mutex *m, const char *) {
    pthread_mutex_init(&m->m, nullptr);
    m->held = false;
}

void plat_mutex_lock(struct kova_mutex *m) {
    pthread_mutex_lock(&m->m);
    m->owner.store(pthread_self(), std::memory_order_relaxed);
    m->held.store(true, std::memory_order_relaxed);
}

void plat_mutex_unlock(struct kova_mutex *m) {
    m->held.store(false, std::memory_order_relaxed);
    pthread_mutex_unlock(&m->m);
}

// Counted and failable like the kernel's kmalloc behind it, so tests see a
// mutex that is never freed and can make an open go without one.
struct kova_mutex *plat_mutex_alloc(void) {
    void *p = plat_kmalloc(sizeof(kova_mutex));
    return p ? new (p) kova_mutex{PTHREAD_MUTEX_INITIALIZER, {}, {false}} : nullptr;
}

void plat_mutex_free(struct kova_mutex *m) {
    if (!m)
        return;
    pthread_mutex_destroy(&m->m);
    m->~kova_mutex();
    plat_kfree(m);
}

void plat_mutex_assert_held(struct kova_mutex *m) {
    if (m->held.load(std::memory_order_relaxed) &&
        pthread_equal(m->owner.load(std::memory_order_relaxed), pthread_self()))
        return;
    std::fprintf(stderr, "kova host: lock %p is not held by this thread\n", static_cast<void *>(m));
    std::abort();
}

void plat_might_sleep(void) {}

unsigned long plat_spin_lock(struct kova_spinlock *l) {
    pthread_mutex_lock(&l->m);
    return 0;
}

void plat_spin_unlock(struct kova_spinlock *l, unsigned long) { pthread_mutex_unlock(&l->m); }

int plat_reader_enter(void) {
    const int idx = int(reader_epoch.load() & 1);
    readers_active[idx].fetch_add(1);
    return idx;
}

void plat_reader_exit(int cookie) { readers_active[cookie].fetch_sub(1); }

void plat_readers_wait(void) {
    std::lock_guard<std::mutex> g(readers_wait_lock);
    for (int flip = 0; flip < 2; ++flip) {
        const unsigned old = reader_epoch.fetch_add(1) & 1;
        while (readers_active[old].load() != 0)
            std::this_thread::yield();
    }
}

void plat_full_barrier(void) {
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
    if (kv::host::tracing())
        kv::host::trace_barrier();
}

} // extern "C"
