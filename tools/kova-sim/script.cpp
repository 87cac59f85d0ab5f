// The script runner: each step goes through the host platform's file layer
// or calls the API directly, exactly as a kernel caller would.
#include "script.h"

#include <sys/mman.h>

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "kova/host.h"
#include "kova/kovaAPI.h"
#include "kova/kova_shm.h"

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
        {"kovaAPIdeleteVoipFlow", 1, [](const Args &a) { return u(kovaAPIdeleteVoipFlow(U32(a[0]))); }},
        {"kovaAPIdeleteVoipFlowWithStats", 1,
         [](const Args &a) {
             uint32_t s[3] = {};
             const uint32_t r = kovaAPIdeleteVoipFlowWithStats(U32(a[0]), s);
             return stats3(r, s);
         }},
        {"kovaAPIdeleteFlow2", 2, [](const Args &a) { return u(kovaAPIdeleteFlow2(U32(a[0]), U32(a[1]))); }},
        {"kovaAPIdeleteExtendedFlow", 1, [](const Args &a) { return u(kovaAPIdeleteExtendedFlow(U32(a[0]))); }},
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
        {"kovaAPIDumpFlowsCPU", 1, [](const Args &a) { return u(kovaAPIDumpFlowsCPU(uint8_t(a[0]))); }},
        {"kovaAPIDumpFlowsQE", 1, [](const Args &a) { return u(kovaAPIDumpFlowsQE(uint8_t(a[0]))); }},
        {"kovaAPIGetAPIVersion", 0, [](const Args &) { return fmt("\"%s\"", kovaAPIGetAPIVersion()); }},
        {"kovaAPIGetMicrocodeVersion", 0,
         [](const Args &) { return fmt("\"%s\"", kovaAPIGetMicrocodeVersion()); }},
        {"kovaAPIInitKovaUcc", 1, [](const Args &a) { return fmt("%d", kovaAPIInitKovaUcc(U32(a[0]))); }},
        {"kovaAPIsetLKUPMask", 3,
         [](const Args &a) { return u(kovaAPIsetLKUPMask(I32(a[0]), I32(a[1]), uint8_t(a[2]))); }},
        {"kovaAPISetLAG", 3, [](const Args &a) { return u(kovaAPISetLAG(I32(a[0]), U32(a[1]), U32(a[2]))); }},
        {"kovaAPISetLAGCommitToKova", 1, [](const Args &a) { return u(kovaAPISetLAGCommitToKova(I32(a[0]))); }},
        {"kovaAPISetLAGPortUP", 1, [](const Args &a) { return u(kovaAPISetLAGPortUP(U32(a[0]))); }},
        {"kovaAPISetLAGPortDOWN", 1, [](const Args &a) { return u(kovaAPISetLAGPortDOWN(U32(a[0]))); }},
        {"kovaAPISetOQShaping", 5,
         [](const Args &a) {
             return u(kovaAPISetOQShaping(I32(a[0]), I32(a[1]), I32(a[2]), uint64_t(a[3]), uint64_t(a[4])));
         }},
        {"kovaAPISetICPolicing", 7,
         [](const Args &a) {
             return u(kovaAPISetICPolicing(I32(a[0]), I32(a[1]), I32(a[2]), uint64_t(a[3]), uint64_t(a[4]),
                                           uint64_t(a[5]), uint64_t(a[6])));
         }},
        {"kovaAPISetStormControlCfg", 5,
         [](const Args &a) {
             return u(kovaAPISetStormControlCfg(I32(a[0]), I32(a[1]), U32(a[2]), U32(a[3]), U32(a[4])));
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

std::string harness_path(const std::string &p) { return p[0] == '/' ? p : "/sys/kernel/debug/kova/" + p; }

std::string result_text(long r) {
    return r < 0 ? fmt("%ld (%s)", r, std::strerror(int(-r))) : fmt("%ld", r);
}

// Decodes the escapes of a write's text; false for a malformed escape.
bool unescape(const std::string &in, std::string *out) {
    out->clear();
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '\\') {
            *out += in[i];
            continue;
        }
        if (++i == in.size())
            return false;
        switch (in[i]) {
        case 'n': *out += '\n'; break;
        case 't': *out += '\t'; break;
        case 'r': *out += '\r'; break;
        case '\\': *out += '\\'; break;
        case '"': *out += '"'; break;
        case 'x': {
            if (i + 2 >= in.size())
                return false;
            const char hex[3] = {in[i + 1], in[i + 2], '\0'};
            if (!std::isxdigit(static_cast<unsigned char>(hex[0])) ||
                !std::isxdigit(static_cast<unsigned char>(hex[1])))
                return false;
            *out += char(std::strtol(hex, nullptr, 16));
            i += 2;
            break;
        }
        default:
            return false;
        }
    }
    return true;
}

void print_log() {
    std::string log(kova_host_log_read(nullptr, 0) + 1, '\0');
    kova_host_log_read(log.data(), log.size());
    log.resize(std::strlen(log.c_str()));
    kova_host_log_clear();
    std::printf("log:\n%s", log.c_str());
    if (!log.empty() && log.back() != '\n')
        std::printf("\n");
}

// The engine area of `attach`, released after the module is unloaded.
struct Area {
    void *p = nullptr;
    ~Area() {
        if (p)
            munmap(p, KOVA_SHM_SIZE);
    }
};

class Runner {
  public:
    explicit Runner(Area &area) : area_(area) {}

    // false with *why set for a malformed line.
    bool step(const std::string &line, std::string *why) {
        size_t at = line.find_first_not_of(" \t");
        if (at == std::string::npos || line[at] == '#')
            return true;
        const size_t end = line.find_first_of(" \t", at);
        const std::string cmd = line.substr(at, end == std::string::npos ? std::string::npos : end - at);
        const std::string rest = end == std::string::npos ? "" : line.substr(end + 1);
        std::vector<std::string> words = split(rest);
        if (cmd == "write")
            return write(rest, why);
        if (cmd == "read" && words.size() == 1)
            return read(words[0]), true;
        if (cmd == "call" && !words.empty())
            return call(words, why);
        if (cmd == "attach" && words.size() <= 1)
            return attach(words.empty() ? "kova-sim" : words[0]), true;
        if (cmd == "log" && words.empty())
            return print_log(), true;
        if (cmd == "echo")
            return std::printf("%s\n", rest.c_str()), true;
        *why = "unknown command or wrong arguments: " + cmd;
        return false;
    }

  private:
    static std::vector<std::string> split(const std::string &s) {
        std::vector<std::string> w;
        size_t at = 0;
        while ((at = s.find_first_not_of(" \t", at)) != std::string::npos) {
            const size_t end = s.find_first_of(" \t", at);
            w.push_back(s.substr(at, end == std::string::npos ? std::string::npos : end - at));
            at = end;
        }
        return w;
    }

    bool write(const std::string &rest, std::string *why) {
        const size_t sp = rest.find_first_of(" \t");
        const std::string path = rest.substr(0, sp);
        std::string text;
        if (path.empty() || !unescape(sp == std::string::npos ? "" : rest.substr(sp + 1), &text)) {
            *why = "write PATH TEXT: missing path or bad escape";
            return false;
        }
        const int fd = kova_host_open(harness_path(path).c_str());
        long r = fd;
        if (fd >= 0) {
            r = kova_host_write(fd, text.data(), text.size());
            kova_host_close(fd);
        }
        std::printf("write %s = %s\n", path.c_str(), result_text(r).c_str());
        return true;
    }

    void read(const std::string &path) {
        const int fd = kova_host_open(harness_path(path).c_str());
        long r = fd, total = 0;
        if (fd >= 0) {
            std::vector<char> buf(1 << 16);
            while ((r = kova_host_read(fd, buf.data(), buf.size())) > 0) {
                std::fwrite(buf.data(), 1, size_t(r), stdout);
                total += r;
            }
            kova_host_close(fd);
        }
        std::printf("read %s = %s\n", path.c_str(), result_text(r < 0 ? r : total).c_str());
    }

    bool call(const std::vector<std::string> &words, std::string *why) {
        if (words[0] == "help") {
            for (const Call &c : calls())
                std::printf("  %s (%zu argument%s)\n", c.name, c.nargs, c.nargs == 1 ? "" : "s");
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
            const std::string r = c.run(args);
            std::printf("call %s(%s) = %s\n", c.name, shown.c_str(), r.c_str());
            return true;
        }
        *why = "unknown function " + words[0] + " (call help lists them)";
        return false;
    }

    void attach(const std::string &version) {
        long r = -ENOMEM;
        if (!area_.p) {
            void *p = mmap(nullptr, KOVA_SHM_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
            area_.p = p == MAP_FAILED ? nullptr : p;
        }
        if (area_.p) {
            kova_attach_args a;
            std::memset(&a, 0, sizeof a);
            a.shm_vaddr = reinterpret_cast<uintptr_t>(area_.p);
            a.qe_base = a.shm_vaddr;
            std::snprintf(a.ucode_version, sizeof a.ucode_version, "%s", version.c_str());
            const int fd = kova_host_open("/dev/kova");
            r = fd;
            if (fd >= 0) {
                r = kova_host_ioctl(fd, KOVA_IOC_ATTACH, reinterpret_cast<unsigned long>(&a));
                kova_host_close(fd);
            }
        }
        std::printf("attach = %s\n", result_text(r).c_str());
    }

    Area &area_;
};

} // namespace

int run_script(const char *path) {
    FILE *f = std::strcmp(path, "-") == 0 ? stdin : std::fopen(path, "re");
    if (!f) {
        std::fprintf(stderr, "kova-sim: %s: %s\n", path, std::strerror(errno));
        return 2;
    }
    Area area;
    Runner runner(area);
    int status = 0;
    std::vector<char> line(1 << 16);
    for (unsigned number = 1; std::fgets(line.data(), int(line.size()), f); ++number) {
        std::string text(line.data());
        if (!text.empty() && text.back() == '\n')
            text.pop_back();
        std::string why;
        std::fflush(stdout);
        if (!runner.step(text, &why)) {
            std::fflush(stdout);
            std::fprintf(stderr, "kova-sim: %s:%u: %s\n", path, number, why.c_str());
            status = 2;
            break;
        }
    }
    if (f != stdin)
        std::fclose(f);
    std::fflush(stdout);
    // The module may still hold the area: unload before it goes away.
    kova_host_unload();
    return status;
}

} // namespace kovasim
