// kovactl's checks of what `add` is given, without a mount: each range's ends
// taken and one past refused, named with its rule, and each malformed form.
#include <gtest/gtest.h>

#include <iterator>
#include <sstream>

#include "flow_args.h"

namespace {

using namespace kovactl;

// "" when `add` takes the arguments, else its refusal.
std::string refusal(const std::string &args) {
    std::istringstream in(args);
    try {
        parse_add({std::istream_iterator<std::string>(in), {}});
        return "";
    } catch (const UsageError &e) {
        return e.message;
    }
}

TEST(KovactlArgs, EveryRangeAndFormIsCheckedBeforeAnythingIsWritten) {
    // The value goes where '%' is, into a flow "id=1 ucc=1 src=1.1.1.1"
    // unless the case gives its own.
    const struct {
        const char *args;
        long long lo, hi;
    } ranges[] = {
        {"id=% ucc=1 drop", INT32_MIN, INT32_MAX}, {"id=1 parent=% ucc=1 drop", INT32_MIN, INT32_MAX},
        {"id=1 ucc=% drop", 0, 40}, {"subport=% drop", 0, 4095}, {"vlan=% drop", 0, 4095},
        {"vlan2=% drop", 0, 4095}, {"sport=% drop", 0, 65535}, {"dport=% drop", 0, 65535},
        {"forward-qe port=1 class=%", 0, 7}, {"forward-qe port=1 subport=%", 0, 4095},
        {"forward-qe port=1 priority=%", 0, 255}, {"forward-qe port=%", 0, 40}, {"forward-cpu priority=%", 0, 255},
        {"vlan1-add vid=1 prio=%", 0, 7}, {"vlan1-change vid=1 cfi=%", 0, 1}, {"vlan2-add vid=%", 0, 4095},
        {"vlan2-change vid=1 etype=%", 0, 65535}, {"police weight=%", 0, 4294967295LL}, {"set-tos tos=%", 0, 255},
        {"replace-src mac=0:0:0:0:0:0 ip=1.1.1.1 port=%", 0, 65535},
        {"replace-dst mac=0:0:0:0:0:0 ip=1.1.1.1 port=%", 0, 65535}};
    for (const auto &c : ranges) {
        const std::string t = c.args;
        const size_t pct = t.find('%'), from = t.rfind(' ', pct) + 1;
        const std::string name = (t.find('=') < t.find(' ') ? "" : t.substr(0, t.find(' ') + 1)) +
                                 t.substr(from, pct - from - 1);
        for (const long long v : {c.lo, c.hi, c.hi + 1}) {
            std::string args = (t.rfind("id=", 0) == 0 ? "" : "id=1 ucc=1 src=1.1.1.1 ") + t;
            args.replace(args.find('%'), 1, std::to_string(v));
            EXPECT_EQ(refusal(args), v <= c.hi ? "" : name + ": " + std::to_string(v) + " out of range " +
                                                        std::to_string(c.lo) + ".." + std::to_string(c.hi))
                << args;
        }
    }
    const std::pair<const char *, const char *> texts[] = {
        {"sport=99999999999999999999999 drop", "sport: 99999999999999999999999 out of range 0..65535"},
        {"dmac=02:00:00:4f:03:e8f drop",
         "dmac: 02:00:00:4f:03:e8f is not a MAC address (six octets 00..ff, colon-separated)"},
        {"src=300.1.1.1 drop", "src: 300.1.1.1 out of range 0..255"},
        {"src=2001:db8::1::2 drop", "src: 2001:db8::1::2 is not an IPv6 address"},
        {"src=10.0.0.1 dst=::1 drop", "src and dst: 10.0.0.1 and ::1 are not of one address family"},
        {"type=ipv4 src=::1 drop", "src: ::1 is IPv6 but type is ipv4"},
        {"type=0x10000 drop", "type: 0x10000 out of range 0x0..0xffff"},
        {"type=800 drop", "type: 800 is not ipv4, ipv6, arp or 0xNNNN"},
        {"type=0x8100 sport=1 drop",
         "type 0x8100 has no addresses or ports in its key: src, dst, sport and dport need ipv4, ipv6 or arp"},
        {"forward-qe port=1 trusted=maybe", "forward-qe trusted: maybe is not yes or no"},
        {"forward-qe", "forward-qe port: missing (forward-qe needs port=)"},
        {"drop drop", "rule drop given twice (each rule at most once)"},
        {"drop port=1", "rule drop has no parameter 'port'"},
        {"replace-src mac=1:2:3:4:5:6 ip=::1 port=1", "replace-src ip: ::1 is IPv6 but the flow's addresses are not"},
        {"drop forward-cpu set-tos tos=1 police weight=1 vlan1-remove vlan2-remove test",
         "too many rules: 7 (at most 6)"},
        {"ucc=2 drop", "ucc given twice"},
        {"", "no rule given (at least one: drop, forward-qe port=N, ...)"}};
    for (const auto &[args, want] : texts)
        EXPECT_EQ(refusal(std::string("id=1 ucc=1 ") + args), want);
    EXPECT_EQ(refusal("ucc=1 drop"), "id: missing (the flow's appflowid)");
}

} // namespace
