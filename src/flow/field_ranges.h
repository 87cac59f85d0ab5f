// What each field of a flow definition may hold: the bits the entry gives
// it. The module's definition language refuses values outside these, and
// the tools that write or check definitions use the same forms.
#pragma once

#include <stdint.h>

#include "lib/scan.h"

namespace kv::ranges {

constexpr NumberForm kAppFlowId{10, true, INT32_MIN, INT32_MAX};
constexpr NumberForm kCrc{16, false, 0, 0xffffffff};
constexpr NumberForm kUcc{10, false, 0, 40};          // 36..40: the link-aggregation pseudo ports
constexpr NumberForm kTwelveBits{10, false, 0, 4095}; // subports, VLAN ids
constexpr NumberForm kEthType{16, false, 0, 0xffff};
constexpr NumberForm kSixteenBits{10, false, 0, 65535}; // ports, a VLAN rule's etype
constexpr NumberForm kMacOctet{16, false, 0, 0xff};
constexpr NumberForm kByte{10, false, 0, 255};
constexpr NumberForm kThreeBits{10, false, 0, 7}; // service class, VLAN priority
constexpr NumberForm kOneBit{10, false, 0, 1};
constexpr NumberForm kWeight{10, false, 0, 0xffffffff};

} // namespace kv::ranges

// A MAC address as the module logs it and the tools print it.
#define KOVA_MAC_FORMAT "%02x:%02x:%02x:%02x:%02x:%02x"
#define KOVA_MAC_ARGS(m) (m)[0], (m)[1], (m)[2], (m)[3], (m)[4], (m)[5]
