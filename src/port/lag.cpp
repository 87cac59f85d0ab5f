// Link aggregation: the LAG table, the ports' link state, and pushing the
// active member sets to the network-interface module that owns "kova0".
// Callers on several CPUs change links and LAGs at once. kova_lag_lock is
// held from each change of the table through the sibling's call, so no
// change is lost and the sibling receives the configurations in the order
// the table went through them: its last one is always the table's state.
#include "flow/ctrl.h"
#include "lib/once.h"
#include "platform.h"

namespace kv::lag {
namespace {

// lagnum arrives from kernel callers and from operator text; anything
// outside 0..3 would index past the table.
bool lag_in_range(int32_t lagnum) { return lagnum >= 0 && lagnum < int32_t(KOVA_MAX_LAGS); }

// Element of the shared configuration: a disabled LAG has no members, an
// enabled one its active members as a 32-bit mask, sign-extended because
// the receiving side declared the elements signed.
int64_t member_element(uint32_t lag) {
    const auto &rec = kova.lag_table[lag];
    if (rec.lag_mode != 1)
        return 0;
    return int64_t(int32_t(rec.lag_active & rec.lag_portmask));
}

// The LAG that commits a link change of `bit`: the lowest-numbered one that
// lists the port, or KOVA_MAX_LAGS for none.
uint32_t owning_lag(uint32_t bit) {
    for (uint32_t lag = 0; lag < KOVA_MAX_LAGS; ++lag)
        if (kova.lag_table[lag].lag_portmask & bit)
            return lag;
    return KOVA_MAX_LAGS;
}

// Pushes the table to the sibling after LAG lagnum's active members are
// recomputed; the caller holds kova_lag_lock. May sleep (module loading,
// the interface lookup, the sibling's call).
uint32_t commit_locked(int32_t lagnum) {
    plat_mutex_assert_held(&kova_lag_lock);
    auto &rec = kova.lag_table[lagnum];
    rec.lag_active = rec.lag_portmask & kova.lag_link_up;

    const plat_lag_cfg_fn cfg_fn = plat_lag_sibling_get();
    plat_netdev *dev = plat_netdev_get("kova0");
    if (!dev) {
        if (cfg_fn)
            plat_lag_sibling_put();
        // The table keeps the change; the next commit sends it.
        plat_printk("kovaAPI: kovaAPISetLAGCommitToKova interface kova0 not present");
        return KOVA_ERR_NOT_INITIALIZED;
    }
    // The receiver always gets all four LAGs, so a lost earlier commit of
    // another LAG is repaired by this one.
    kova_LAG_CFG cfg;
    for (uint32_t lag = 0; lag < KOVA_MAX_LAGS; ++lag)
        cfg.lag_members[lag] = member_element(lag);
    int32_t ret = -1;
    if (cfg_fn)
        ret = cfg_fn(dev, &cfg);
    plat_netdev_put(dev);
    if (cfg_fn)
        plat_lag_sibling_put();
    if (ret != 0) {
        plat_printk("kovaAPI: kovaAPISetLAGCommitToKova kni_lag_intf_cfg ret=%d", int(ret));
        return KOVA_ERR_NOT_SUPPORTED;
    }
    return KOVA_OK;
}

// Records a link change and commits the owning LAG.
uint32_t link_change(uint32_t uccnum, bool up, const char *caller) {
    plat_might_sleep();
    if (kovaAPIIsUCCInitialized(int(uccnum), caller) != 0)
        return KOVA_ERR_NOT_INITIALIZED;
    // UCCs 32..35 have no bit in the 32-bit masks: no LAG can hold them.
    if (uccnum >= 32)
        return KOVA_OK;
    const uint32_t bit = 1u << uccnum;
    plat_mutex_lock(&kova_lag_lock);
    if (up)
        kova.lag_link_up |= bit;
    else
        kova.lag_link_up &= ~bit;
    uint32_t r = KOVA_OK;
    const uint32_t lag = owning_lag(bit);
    if (lag != KOVA_MAX_LAGS) {
        if (up)
            kova.lag_table[lag].lag_active |= bit;
        else
            kova.lag_table[lag].lag_active &= ~bit;
        r = commit_locked(int32_t(lag));
    }
    plat_mutex_unlock(&kova_lag_lock);
    return r;
}

} // namespace
} // namespace kv::lag

extern "C" {

uint32_t kovaAPISetLAG(int32_t lagnum, uint32_t lagmode, uint32_t lagportmask) {
    plat_might_sleep();
    if (!kv::lag::lag_in_range(lagnum))
        return KOVA_ERR_INVALID;
    plat_mutex_lock(&kova_lag_lock);
    kova.lag_table[lagnum].lag_mode = lagmode;
    kv::write_once(kova.lag_table[lagnum].lag_portmask, lagportmask); // statistics read it unlocked
    const uint32_t r = kv::lag::commit_locked(lagnum);
    plat_mutex_unlock(&kova_lag_lock);
    return r;
}

// Process context only: it sleeps.
uint32_t kovaAPISetLAGCommitToKova(int32_t lagnum) {
    plat_might_sleep();
    if (!kv::lag::lag_in_range(lagnum))
        return KOVA_ERR_INVALID;
    plat_mutex_lock(&kova_lag_lock);
    const uint32_t r = kv::lag::commit_locked(lagnum);
    plat_mutex_unlock(&kova_lag_lock);
    return r;
}

uint32_t kovaAPISetLAGPortUP(uint32_t uccnum) {
    return kv::lag::link_change(uccnum, true, "kovaAPISetLAGPortUP");
}

uint32_t kovaAPISetLAGPortDOWN(uint32_t uccnum) {
    return kv::lag::link_change(uccnum, false, "kovaAPISetLAGPortDOWN");
}

} // extern "C"
