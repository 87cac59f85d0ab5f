#include "flow/lookup.h"

#include "flow/ctrl.h"
#include "lib/once.h"
#include "platform.h"

namespace kv::flows {

uint32_t flow_slot(uint32_t appflowid, Kind kind, const Refusals &why) {
    const uint32_t slot = read_once(kova.appflow_map[appflowid]);
    const char *refusal = nullptr;
    if (slot == KOVA_NO_SLOT)
        refusal = why.unmapped;
    else if (slot >= KOVA_LUT_ENTRIES)
        refusal = why.out_of_range;
    else if (read_once(kova.lut_info[slot].in_use) != 1)
        refusal = why.not_live;
    else if (kind != Kind::any &&
             kova.lut_info[slot].is_extended != (kind == Kind::extended ? 1 : 0))
        refusal = why.wrong_kind;
    if (!refusal)
        return slot;
    plat_printk("%s", refusal);
    return KOVA_NO_SLOT;
}

} // namespace kv::flows
