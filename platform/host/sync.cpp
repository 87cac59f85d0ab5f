// The kernel mutex and the full barrier, in user space.
#include <pthread.h>

#include "host_trace.h"
#include "kova/kovaAPI.h"
#include "platform.h"

struct kova_mutex {
    pthread_mutex_t m;
};

extern "C" {

struct kova_mutex kovaAPI_lock = {PTHREAD_MUTEX_INITIALIZER};

void plat_mutex_init(struct kova_mutex *m, const char *) { pthread_mutex_init(&m->m, nullptr); }
void plat_mutex_lock(struct kova_mutex *m) { pthread_mutex_lock(&m->m); }
void plat_mutex_unlock(struct kova_mutex *m) { pthread_mutex_unlock(&m->m); }

void plat_full_barrier(void) {
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
    if (kv::host::tracing())
        kv::host::trace_barrier();
}

} // extern "C"
