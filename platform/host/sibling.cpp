// Stand-in for the network-interface module that owns "kova0" and takes the
// link-aggregation member sets. It keeps every configuration it is handed so
// tests can see exactly what the module sent, and counts the references the
// module takes, so an unbalanced get/put shows.
#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

#include "kova/host.h"
#include "kova/kovaAPI.h"
#include "platform.h"

struct plat_netdev {
    char name[16];
};

namespace {

std::mutex sibling_mutex;
kova_host_sibling_state state = KOVA_HOST_SIBLING_LOADED;
bool loaded = true; // a loadable sibling becomes loaded once requested
int32_t result = 0;
bool netdev_present = true;
std::vector<kova_LAG_CFG> received;
unsigned long requests = 0;
long sibling_refs = 0;
long netdev_refs = 0;
plat_netdev kova0 = {"kova0"};
std::atomic<kova_host_sibling_fn> hook{nullptr};
std::atomic<void *> hook_ctx{nullptr};

// The exported configuration function. It refuses a call that does not
// come with a held "kova0", as the real one would misbehave on it.
int32_t sibling_lag_intf_cfg(plat_netdev *dev, kova_LAG_CFG *cfg) {
    if (kova_host_sibling_fn fn = hook.load())
        fn(hook_ctx.load());
    std::lock_guard<std::mutex> g(sibling_mutex);
    if (dev != &kova0 || netdev_refs <= 0 || sibling_refs <= 0 || !cfg)
        return -22;
    received.push_back(*cfg);
    return result;
}

// symbol_get: found only while the module is loaded.
plat_lag_cfg_fn symbol_get_locked() {
    if (!loaded)
        return nullptr;
    ++sibling_refs;
    return sibling_lag_intf_cfg;
}

} // namespace

extern "C" {

plat_lag_cfg_fn plat_lag_sibling_get(void) {
    std::lock_guard<std::mutex> g(sibling_mutex);
    if (plat_lag_cfg_fn fn = symbol_get_locked())
        return fn;
    ++requests; // request_module("symbol:kova_kni_lag_intf_cfg"), waiting
    if (state == KOVA_HOST_SIBLING_LOADABLE)
        loaded = true;
    return symbol_get_locked();
}

void plat_lag_sibling_put(void) {
    std::lock_guard<std::mutex> g(sibling_mutex);
    --sibling_refs;
}

plat_netdev *plat_netdev_get(const char *name) {
    std::lock_guard<std::mutex> g(sibling_mutex);
    if (!netdev_present || !name || std::strcmp(name, kova0.name) != 0)
        return nullptr;
    ++netdev_refs;
    return &kova0;
}

void plat_netdev_put(plat_netdev *dev) {
    std::lock_guard<std::mutex> g(sibling_mutex);
    if (dev)
        --netdev_refs;
}

void kova_host_sibling_set(enum kova_host_sibling_state s) {
    std::lock_guard<std::mutex> g(sibling_mutex);
    state = s;
    loaded = s == KOVA_HOST_SIBLING_LOADED;
}

void kova_host_sibling_result(int32_t ret) {
    std::lock_guard<std::mutex> g(sibling_mutex);
    result = ret;
}

void kova_host_sibling_hook(kova_host_sibling_fn fn, void *ctx) {
    hook_ctx.store(ctx);
    hook.store(fn);
}

void kova_host_netdev_present(int present) {
    std::lock_guard<std::mutex> g(sibling_mutex);
    netdev_present = present != 0;
}

size_t kova_host_sibling_received(int64_t (*cfgs)[4], size_t n) {
    std::lock_guard<std::mutex> g(sibling_mutex);
    for (size_t i = 0; i < n && i < received.size(); ++i)
        std::memcpy(cfgs[i], received[i].lag_members, sizeof received[i].lag_members);
    return received.size();
}

unsigned long kova_host_sibling_requests(void) {
    std::lock_guard<std::mutex> g(sibling_mutex);
    return requests;
}

long kova_host_sibling_refs(void) {
    std::lock_guard<std::mutex> g(sibling_mutex);
    return sibling_refs;
}

long kova_host_netdev_refs(void) {
    std::lock_guard<std::mutex> g(sibling_mutex);
    return netdev_refs;
}

void kova_host_sibling_reset(void) {
    std::lock_guard<std::mutex> g(sibling_mutex);
    state = KOVA_HOST_SIBLING_LOADED;
    loaded = true;
    result = 0;
    netdev_present = true;
    hook.store(nullptr);
    received.clear();
    requests = 0;
    sibling_refs = 0;
    netdev_refs = 0;
}

} // extern "C"
