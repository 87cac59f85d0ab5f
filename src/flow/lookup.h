// The flow an appflowid names: one lookup, with each operation's own
// refusal texts, for every operation that takes an appflowid.
#pragma once

#include <stdint.h>

namespace kv::flows {

// What an operation logs when an appflowid does not name a live flow of the
// kind it works on; each text is logged as it stands.
struct Refusals {
    const char *unmapped;     // no flow has the appflowid
    const char *out_of_range; // the map holds something that is not a slot
    const char *not_live;     // the slot holds no flow
    const char *wrong_kind;   // unused with Kind::any
};

enum class Kind { main, extended, any };

// The slot of the live flow of `kind` that owns appflowid (which must be
// below KOVA_APP_FLOWS), or KOVA_NO_SLOT after logging the refusal. Each
// record word is read once: the queries call this without the lock.
uint32_t flow_slot(uint32_t appflowid, Kind kind, const Refusals &why);

inline constexpr Refusals kDeleteRefusals = {
    "kovaAPI: trying to delete non-existing application flowid\n",
    "kovaAPI: trying to delete flowid which is out of range\n",
    "kovaAPI: trying to delete non-existing flow\n",
    "kovaAPI: trying to delete extended flow with normal flow delete function\n",
};

inline constexpr Refusals kDeleteExtendedRefusals = {
    kDeleteRefusals.unmapped,
    kDeleteRefusals.out_of_range,
    kDeleteRefusals.not_live,
    "kovaAPI: trying to delete normal flow with extendedFlow delete function\n",
};

// The flow an extended flow is added to; any kind will do.
inline constexpr Refusals kExtendRefusals = {
    "kovaAPI: trying to add extended flow to non-existing application flowid\n",
    "kovaAPI: trying to add extended flow to flowid which is out of range\n",
    "kovaAPI: trying to add extended flow to non-existing flow\n",
    nullptr,
};

} // namespace kv::flows
