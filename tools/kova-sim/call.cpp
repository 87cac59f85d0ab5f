// The API call dispatcher shared by the script's `call` step and the mount's
// kova-sim/call file: a function name and integer arguments in, one line of
// text out, the call made in this process where the module lives.
#include "call.h"

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

#include "kova/kovaAPI.h"
#include "kova_internal.h" // the module's own entry points are callable here too

namespace kovasim {
namespace {

using Args = std::vector<int64_t>;

struct Call {
    const char *name;
    size_t nargs;
    // Calls the function; returns the text after " = ".
    std::function<std::string(const Args &)> run;
};

std::string fmt(const char *f, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char *f, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, f);
    std::vsnprintf(buf, sizeof buf, f, ap);
    va_end(ap);
    return buf;
}

std::string u(uint32_t r) { return fmt("%u", r); }
std::string stats3(uint32_t r, const uint32_t *s) {
    return fmt("%u stats=[packet_cnt=%u, stats_word2=%u, timestamp=%u]", r, s[0], s[1], s[2]);
}

uint32_t U32(int64_t v) { return uint32_t(v); }
int32_t I32(int64_t v) { return int32_t(v); }

const std::vector<Call> &calls() {
    static const std::vector<Call> table = {
        {"kovaAPIdeleteVoipFlow", 1,
         [](const Args &a) { return u(kovaAPIdeleteVoipFlow(U32(a[0]))); }},
        {"kovaAPIdeleteVoipFlowWithStats", 1,
         [](const Args &a) {
             uint32_t s[3] = {};
             const uint32_t r = kovaAPIdeleteVoipFlowWithStats(U32(a[0]), s);
             return stats3(r, s);
         }},
        {"kovaAPIdeleteFlow2", 2,
         [](const Args &a) { return u(kovaAPIdeleteFlow2(U32(a[0]), U32(a[1]))); }},
        {"kovaAPIdeleteExtendedFlow", 1,
         [](const Args &a) { return u(kovaAPIdeleteExtendedFlow(U32(a[0]))); }},
        {"kovaAPIdeleteFlowWithExtended", 1,
         [](const Args &a) { return u(kovaAPIdeleteFlowWithExtended(U32(a[0]))); }},
        {"kovaAPIgetFlowStatistics", 1,
         [](const Args &a) {
             uint32_t s[3] = {};
             const uint32_t r = kovaAPIgetFlowStatistics(I32(a[0]), s);
             return stats3(r, s);
         }},
        {"kovaAPIgetFlowPacketCounter", 1,
         [](const Args &a) {
             uint64_t c = 0;
             const uint32_t r = kovaAPIgetFlowPacketCounter(I32(a[0]), &c);
             return fmt("%u counter=%" PRIu64, r, c);
         }},
        {"kovaAPIgetFlowTimeStamp", 1,
         [](const Args &a) {
             uint64_t t = 0;
             const uint32_t r = kovaAPIgetFlowTimeStamp(I32(a[0]), &t);
             return fmt("%u timestamp=%" PRIu64, r, t);
         }},
        {"kovaAPIcheckFlowExists", 2,
         [](const Args &a) { return u(kovaAPIcheckFlowExists(uint64_t(a[0]), uint64_t(a[1]))); }},
        {"kovaAPIDumpFlowsCPU", 1,
         [](const Args &a) { return u(kovaAPIDumpFlowsCPU(uint8_t(a[0]))); }},
        {"kovaAPIDumpFlowsQE", 1,
         [](const Args &a) { return u(kovaAPIDumpFlowsQE(uint8_t(a[0]))); }},
        {"kovaAPIGetAPIVersion", 0,
         [](const Args &) { return fmt("\"%s\"", kovaAPIGetAPIVersion()); }},
        {"kovaAPIGetMicrocodeVersion", 0,
         [](const Args &) { return fmt("\"%s\"", kovaAPIGetMicrocodeVersion()); }},
        {"kovaAPIInitKovaUcc", 1,
         [](const Args &a) { return fmt("%d", kovaAPIInitKovaUcc(U32(a[0]))); }},
        {"kovaAPIsetLKUPMask", 3,
         [](const Args &a) { return u(kovaAPIsetLKUPMask(I32(a[0]), I32(a[1]), uint8_t(a[2]))); }},
        {"kovaAPISetLAG", 3,
         [](const Args &a) { return u(kovaAPISetLAG(I32(a[0]), U32(a[1]), U32(a[2]))); }},
        {"kovaAPISetLAGCommitToKova", 1,
         [](const Args &a) { return u(kovaAPISetLAGCommitToKova(I32(a[0]))); }},
        {"kovaAPISetLAGPortUP", 1, [](const Args &a) { return u(kovaAPISetLAGPortUP(U32(a[0]))); }},
        {"kovaAPISetLAGPortDOWN", 1,
         [](const Args &a) { return u(kovaAPISetLAGPortDOWN(U32(a[0]))); }},
        {"kovaAPISetOQShaping", 5,
         [](const Args &a) {
             return u(kovaAPISetOQShaping(I32(a[0]), I32(a[1]), I32(a[2]), uint64_t(a[3]),
                                          uint64_t(a[4])));
         }},
        {"kovaAPISetICPolicing", 7,
         [](const Args &a) {
             return u(kovaAPISetICPolicing(I32(a[0]), I32(a[1]), I32(a[2]), uint64_t(a[3]),
                                           uint64_t(a[4]), uint64_t(a[5]), uint64_t(a[6])));
         }},
        {"kovaAPISetStormControlCfg", 5,
         [](const Args &a) {
             return u(
                 kovaAPISetStormControlCfg(I32(a[0]), I32(a[1]), U32(a[2]), U32(a[3]), U32(a[4])));
         }},
        {"kovaAPIGetPortStatistics", 2,
         [](const Args &a) {
             kova_PORT_STATS s;
             std::memset(&s, 0, sizeof s);
             const uint32_t r = kovaAPIGetPortStatistics(I32(a[0]), I32(a[1]), &s);
             return fmt("%u rx_packets=%" PRIu64 " rx_octets=%" PRIu64 " tx_octets=%" PRIu64
                        " rx_discards=%u tx_discards=%u",
                        r, s.rx_packets, s.rx_octets, s.tx_octets, s.rx_discards, s.tx_discards);
         }},
        {"kovaAPIClearPortStatistics", 2,
         [](const Args &a) { return u(kovaAPIClearPortStatistics(I32(a[0]), I32(a[1]))); }},
    };
    return table;
}

std::vector<std::string> split(const std::string &s) {
    std::vector<std::string> w;
    size_t at = 0;
    while ((at = s.find_first_not_of(" \t\n\r", at)) != std::string::npos) {
        const size_t end = s.find_first_of(" \t\n\r", at);
        w.push_back(s.substr(at, end == std::string::npos ? std::string::npos : end - at));
        at = end;
    }
    return w;
}

} // namespace

bool run_call(const std::string &text, std::string *out, std::string *why) {
    const std::vector<std::string> words = split(text);
    if (words.empty()) {
        *why = "no function named";
        return false;
    }
    if (words[0] == "help") {
        out->clear();
        for (const Call &c : calls())
            *out += fmt("%s  %s (%zu argument%s)", out->empty() ? "" : "\n", c.name, c.nargs,
                        c.nargs == 1 ? "" : "s");
        return true;
    }
    for (const Call &c : calls()) {
        if (words[0] != c.name)
            continue;
        if (words.size() - 1 != c.nargs) {
            *why = fmt("%s takes %zu argument(s)", c.name, c.nargs);
            return false;
        }
        Args args;
        std::string shown;
        for (size_t i = 1; i < words.size(); ++i) {
            char *end = nullptr;
            errno = 0;
            const long long v = std::strtoll(words[i].c_str(), &end, 0);
            if (*end || errno) {
                *why = "not an integer: " + words[i];
                return false;
            }
            args.push_back(v);
            shown += (i > 1 ? ", " : "") + words[i];
        }
        *out = "call " + std::string(c.name) + "(" + shown + ") = " + c.run(args);
        return true;
    }
    *why = "unknown function " + words[0] + " (call help lists them)";
    return false;
}

} // namespace kovasim
