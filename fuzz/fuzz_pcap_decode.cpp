// libFuzzer target for kova-engine's frame decoder: byte 0 bit 0 takes the port
// from a tag, the rest is the frame, at the end of its own allocation. A decoded
// frame carries its key's CRC, 12-bit VLAN ids and, from a tag, a UCC of 0..40.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "kova_internal.h"
#include "pcap_decode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    kova_engine::PortChoice port;
    port.from_tag = data[0] & 1, port.ucc = 3, port.subport = 77;
    std::vector<uint8_t> frame(data + 1, data + size);
    kova_engine::Packet p;
    memset(&p, 0xA5, sizeof p);
    const kova_engine::Decode d =
        kova_engine::decode_frame(frame.data(), frame.size(), uint32_t(frame.size()), port, &p);
    if (unsigned(d) >= kova_engine::kDecodeResults)
        abort();
    if (d != kova_engine::Decode::ok)
        return 0;
    const uint8_t *k = p.key.bytes;
    if (p.crc != kova_crc32(k, KOVA_FLOW_KEY_LEN) || p.len != frame.size() || p.subport != 77 ||
        (port.from_tag ? p.ucc > 40 : p.ucc != 3))
        abort();
    // vlan_id_1 and vlan_id_2 as big-endian words of 12 bits.
    if (k[12] || k[13] || k[14] > 0x0F || k[16] || k[17] || k[18] > 0x0F)
        abort();
    return 0;
}
