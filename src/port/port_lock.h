// One writer at a time in the per-port areas: the parameter setters and the
// statistics clear hold kova_port_lock around their stores, so two callers
// on two CPUs cannot leave a bucket or a lookup mask half one's and half the
// other's. A spinlock: the sections are a few stores and barriers and never
// sleep, and callers may be in atomic context. The engine takes no lock; it
// is the store order inside a section that keeps its view consistent.
#pragma once

#include "platform.h"

namespace kv::port {

class PortLock {
public:
    PortLock() : state_(plat_spin_lock(&kova_port_lock)) {}
    ~PortLock() { plat_spin_unlock(&kova_port_lock, state_); }
    PortLock(const PortLock &) = delete;
    PortLock &operator=(const PortLock &) = delete;

private:
    unsigned long state_;
};

} // namespace kv::port
