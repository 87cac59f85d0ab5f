// kova-engine: a stand-in for the data-plane engine. It owns the shared
// area (a POSIX shared-memory object, or a 1 GiB huge page), hands it to the
// module with the attach command on the device, and then runs packets from
// a trace, a capture or a generator through the flow table, counting them
// where the module reads them back. See usage() for the command line,
// trace.h for the packet lines and pcap_decode.h for what a captured frame
// gives.
//
// The engine sees the table at a fixed address of its own, qe_base
// (0x10000000000 unless --qe-base says otherwise): links in the table are
// qe_base + 256 * slot whatever address the area is mapped at, so a second
// run with --no-attach finds the links of the first as long as both use the
// same qe_base.
#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "capture.h"
#include "engine.h"
#include "kova/version.h"
#include "quote.h"
#include "trace.h"

#ifndef MAP_HUGE_1GB
#define MAP_HUGE_1GB (30 << 26)
#endif

namespace {

using namespace kova_engine;
using kova_tools::escaped;

constexpr const char *kVersion = "kova-engine 1.0";
constexpr uint64_t kDefaultQeBase = 0x10000000000ull;
constexpr size_t kHugePage = size_t(1) << 30;

volatile sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

void usage(FILE *out) {
    std::fprintf(
        out,
        "usage: kova-engine --dev PATH [--shm NAME | --hugepage] [--qe-base ADDR]\n"
        "                   [--trace FILE | --pcap FILE --port N|vlan [--subport S]\n"
        "                    | --generate N --flows FILE [--miss-percent P]]\n"
        "                   [--progress] [--stay] [--keep]\n"
        "       kova-engine --no-attach --shm NAME [--qe-base ADDR] [--trace FILE | --pcap ... | "
        "--generate ...]\n"
        "       kova-engine --crc FILE\n"
        "       kova-engine --help | --version\n"
        "\n"
        "  Options take their value as --opt VALUE or --opt=VALUE.\n"
        "  --dev PATH        the module's device to attach through (MNT/dev/kova, /dev/kova)\n"
        "  --shm NAME        shared-memory object of the area [/kova-engine-<pid>]; created\n"
        "                    here, removed at exit unless --keep\n"
        "  --hugepage        use an anonymous 1 GiB huge page instead (physically contiguous)\n"
        "  --no-attach       map the existing object NAME, attached earlier, and only run packets\n"
        "  --qe-base ADDR    the engine's address of the table [0x%" PRIx64 "]\n"
        "  --trace FILE      packets, one line each (ucc=2 dmac=.. eth_type=800 src=.. dport=5 "
        "...);\n"
        "                    checked whole first, then parsed line by line as the packets run\n"
        "  --pcap FILE       packets from a pcap or pcapng capture of Ethernet frames: MACs,\n"
        "                    up to two VLAN tags (0x8100, 0x88a8; the outer one is vlan1),\n"
        "                    IPv4, IPv6 (extension headers walked), UDP/TCP ports, ARP; frames\n"
        "                    that cannot be keyed are counted by reason and not looked up\n"
        "  --port N          the capture's packets arrive on UCC N (0..40)\n"
        "  --port vlan       each frame's outer tag is a port tag: its VLAN id is the UCC\n"
        "                    (0..40), and it is taken off before the key's tags are read\n"
        "  --subport S       the subport of the capture's packets (0..4095) [0]\n"
        "  --generate N      N packets (at least 1) cycling through the lines of --flows FILE\n"
        "  --miss-percent P  that share of generated packets matches no flow [0]\n"
        "  --progress        a line on stderr every quarter second\n"
        "  --stay            after the packets keep the area until SIGINT or SIGTERM\n"
        "  --keep            leave the shared-memory object in place at exit\n"
        "  --crc FILE        print each line's crc32 (for a flow definition) and exit\n"
        "  --version         print the module version this engine goes with and exit\n"
        "\n"
        "lookups/s counts from the first read of the packets: a trace's lines are parsed and a\n"
        "capture's frames decoded within it, hashing included; generated packets are made\n"
        "beforehand, so theirs is the lookup alone.\n",
        kDefaultQeBase);
}

struct Options {
    std::string dev, shm, trace, flows, crc_file, pcap, port;
    uint64_t subport = 0;
    uint64_t qe_base = kDefaultQeBase;
    uint64_t generate = 0;
    uint32_t miss_percent = 0;
    bool hugepage = false, no_attach = false, progress = false, stay = false, keep = false;
};

bool parse_u64(const char *text, uint64_t min, uint64_t max, uint64_t *out) {
    errno = 0;
    char *end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, 0);
    if (errno || !*text || *end || text[0] == '-' || v < min || v > max)
        return false;
    *out = v;
    return true;
}

// Long options without a short form take values from 256 up.
enum : int {
    kDev = 256,
    kShm,
    kHugepage,
    kNoAttach,
    kQeBase,
    kTrace,
    kPcap,
    kPort,
    kSubport,
    kGenerate,
    kFlows,
    kMissPercent,
    kProgress,
    kStay,
    kKeep,
    kCrc,
    kPrintVersion
};

const option kOptions[] = {
    {"dev", required_argument, nullptr, kDev},
    {"shm", required_argument, nullptr, kShm},
    {"hugepage", no_argument, nullptr, kHugepage},
    {"no-attach", no_argument, nullptr, kNoAttach},
    {"qe-base", required_argument, nullptr, kQeBase},
    {"trace", required_argument, nullptr, kTrace},
    {"pcap", required_argument, nullptr, kPcap},
    {"port", required_argument, nullptr, kPort},
    {"subport", required_argument, nullptr, kSubport},
    {"generate", required_argument, nullptr, kGenerate},
    {"flows", required_argument, nullptr, kFlows},
    {"miss-percent", required_argument, nullptr, kMissPercent},
    {"progress", no_argument, nullptr, kProgress},
    {"stay", no_argument, nullptr, kStay},
    {"keep", no_argument, nullptr, kKeep},
    {"crc", required_argument, nullptr, kCrc},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kPrintVersion},
    {nullptr, 0, nullptr, 0},
};

// An option with a value to check: stored, or false with a line saying what
// the option takes instead of this value.
bool checked_value(int id, const char *v, Options *o, std::string *why) {
    uint64_t n = 0;
    bool ok = false;
    const char *takes = "";
    switch (id) {
    case kQeBase:
        ok = parse_u64(v, 1, UINT64_MAX, &n) && n % KOVA_LUT_SIZE == 0;
        o->qe_base = n;
        takes = "--qe-base takes a non-zero multiple of 256";
        break;
    case kGenerate:
        ok = parse_u64(v, 1, UINT64_MAX, &o->generate);
        takes = "--generate takes a packet count of at least 1";
        break;
    case kMissPercent:
        ok = parse_u64(v, 0, 100, &n);
        o->miss_percent = uint32_t(n);
        takes = "--miss-percent takes a share 0..100";
        break;
    case kSubport:
        ok = parse_u64(v, 0, 4095, &o->subport);
        takes = "--subport takes a subport 0..4095";
        break;
    case kPort:
        ok = std::strcmp(v, "vlan") == 0 || parse_u64(v, 0, 40, &n);
        o->port = v;
        takes = "--port takes a UCC 0..40 or vlan";
        break;
    }
    if (!ok)
        *why = std::string(takes) + ", not " + kova_tools::quoted(v);
    return ok;
}

// 0 to run, 1 after printing help or the version, 2 on a usage error
// (reported).
int parse_options(int argc, char **argv, Options *o) {
    // getopt names the program after argv[0], which is whatever path it was
    // started by.
    std::vector<char *> args(argv, argv + argc);
    args[0] = const_cast<char *>("kova-engine");
    args.push_back(nullptr);
    optind = 1;
    for (int id; (id = getopt_long(argc, args.data(), "h", kOptions, nullptr)) != -1;) {
        std::string why;
        switch (id) {
        case 'h':
            usage(stdout);
            return 1;
        case kPrintVersion:
            std::printf("kova-engine %s\n", KOVA_API_VERSION);
            return 1;
        case kHugepage:
            o->hugepage = true;
            break;
        case kNoAttach:
            o->no_attach = true;
            break;
        case kProgress:
            o->progress = true;
            break;
        case kStay:
            o->stay = true;
            break;
        case kKeep:
            o->keep = true;
            break;
        case kDev:
            o->dev = optarg;
            break;
        case kShm:
            o->shm = optarg;
            break;
        case kTrace:
            o->trace = optarg;
            break;
        case kFlows:
            o->flows = optarg;
            break;
        case kPcap:
            o->pcap = optarg;
            break;
        case kCrc:
            o->crc_file = optarg;
            break;
        case kQeBase:
        case kGenerate:
        case kMissPercent:
        case kSubport:
        case kPort:
            if (checked_value(id, optarg, o, &why))
                break;
            std::fprintf(stderr, "kova-engine: %s\n", why.c_str());
            return 2;
        default: // getopt has said what is wrong
            return 2;
        }
    }
    if (optind < argc) {
        std::fprintf(stderr, "kova-engine: unexpected argument %s\n",
                     kova_tools::quoted(args[size_t(optind)]).c_str());
        return 2;
    }
    const char *problem = nullptr;
    if (!o->crc_file.empty())
        return 0;
    if (o->no_attach && (o->shm.empty() || o->hugepage || !o->dev.empty()))
        problem = "--no-attach needs --shm NAME and takes neither --dev nor --hugepage";
    else if (!o->no_attach && o->dev.empty())
        problem = "--dev PATH is needed to attach";
    else if (o->hugepage && (!o->shm.empty() || o->keep))
        problem = "--hugepage takes neither --shm nor --keep";
    else if (int(!o->trace.empty()) + int(!o->pcap.empty()) + int(o->generate != 0) > 1)
        problem = "--trace, --pcap and --generate exclude each other";
    else if (o->pcap.empty() != o->port.empty())
        problem = "--pcap FILE and --port go together";
    else if (bool(o->generate) != !o->flows.empty())
        problem = "--generate N and --flows FILE go together";
    if (problem) {
        std::fprintf(stderr, "kova-engine: %s\n", problem);
        return 2;
    }
    return 0;
}

// The shared area, however it was obtained.
struct Area {
    uint8_t *base = nullptr;
    size_t size = 0;
    std::string shm; // the object to remove at exit, if any

    ~Area() {
        if (base)
            munmap(base, size);
        if (!shm.empty())
            shm_unlink(shm.c_str());
    }
};

size_t page_rounded(size_t n) {
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    return (n + page - 1) / page * page;
}

// Shared in both forms, never private: the module writes into the pages it
// pinned at the attach, and a private mapping that is copied on write (after
// a fork, in either process) would leave the engine reading a copy the
// module no longer writes.
bool map_area(const Options &o, Area *area) {
    if (o.hugepage) {
        void *m =
            mmap(nullptr, kHugePage, PROT_READ | PROT_WRITE,
                 MAP_SHARED | MAP_ANONYMOUS | MAP_HUGETLB | MAP_HUGE_1GB | MAP_POPULATE, -1, 0);
        if (m == MAP_FAILED) {
            std::fprintf(stderr, "kova-engine: no 1 GiB huge page: %s\n", std::strerror(errno));
            return false;
        }
        area->base = static_cast<uint8_t *>(m);
        area->size = kHugePage;
        std::printf("kova-engine: area in a 1 GiB huge page at %p\n", m);
        return true;
    }
    const std::string name = o.shm.empty() ? "/kova-engine-" + std::to_string(getpid()) : o.shm;
    const int fd = o.no_attach ? shm_open(name.c_str(), O_RDWR, 0)
                               : shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    if (fd < 0) {
        std::fprintf(stderr, "kova-engine: shared memory %s: %s\n", escaped(name).c_str(),
                     std::strerror(errno));
        return false;
    }
    if (!o.no_attach && !o.keep)
        area->shm = name;
    const size_t size = page_rounded(KOVA_SHM_SIZE);
    struct stat st {};
    const bool ok = o.no_attach ? fstat(fd, &st) == 0 && size_t(st.st_size) >= KOVA_SHM_SIZE
                                : ftruncate(fd, off_t(size)) == 0;
    if (!ok) {
        std::fprintf(stderr, "kova-engine: shared memory %s: %s\n", escaped(name).c_str(),
                     o.no_attach ? "shorter than the engine's area" : std::strerror(errno));
        close(fd);
        return false;
    }
    void *m = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (m == MAP_FAILED) {
        std::fprintf(stderr, "kova-engine: mmap of %s: %s\n", escaped(name).c_str(),
                     std::strerror(errno));
        return false;
    }
    area->base = static_cast<uint8_t *>(m);
    area->size = size;
    std::printf("kova-engine: area %s (%#zx bytes) at %p\n", name.c_str(), size, m);
    return true;
}

bool attach(const Options &o, const Area &area) {
    int fd = open(o.dev.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0 && (errno == EACCES || errno == EPERM))
        fd = open(o.dev.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "kova-engine: %s: %s\n", escaped(o.dev).c_str(), std::strerror(errno));
        return false;
    }
    kova_attach_args args{};
    args.shm_vaddr = uint64_t(uintptr_t(area.base));
    args.qe_base = o.qe_base;
    std::snprintf(args.ucode_version, sizeof args.ucode_version, "%s", kVersion);
    const int r = ioctl(fd, KOVA_IOC_ATTACH, &args);
    const int err = errno;
    close(fd);
    if (r != 0) {
        std::fprintf(stderr, "kova-engine: attach through %s: %s\n", escaped(o.dev).c_str(),
                     std::strerror(err));
        return false;
    }
    std::printf("kova-engine: attached through %s, qe_base 0x%" PRIx64 ", version \"%s\"\n",
                o.dev.c_str(), o.qe_base, kVersion);
    return true;
}

double now_seconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// The timestamp the engine writes into a flow it matched: Unix seconds.
uint32_t wall_seconds() { return uint32_t(time(nullptr)); }

// Runs packets and reports; the source gives the i-th packet.
class Runner {
public:
    Runner(Engine &engine, bool progress) : engine_(engine), progress_(progress) {}

    // next() gives the packets in turn and null after the last one.
    template <typename Next> void run(Next next) {
        start_ = last_ = now_seconds();
        engine_.set_clock(wall_seconds());
        uint64_t last_packets = 0;
        for (uint64_t i = 0; !g_stop; ++i) {
            const Packet *p = next();
            if (!p)
                break;
            engine_.process(*p);
            if ((i & 4095) == 4095) {
                const double t = now_seconds();
                if (t - last_ >= 0.25) {
                    engine_.set_clock(wall_seconds());
                    if (progress_)
                        report_progress(t, engine_.stats().packets - last_packets);
                    last_ = t;
                    last_packets = engine_.stats().packets;
                }
            }
        }
        elapsed_ = now_seconds() - start_;
    }

    void report() const {
        const Stats &s = engine_.stats();
        std::printf("packets: %" PRIu64 "\nhits: %" PRIu64 "\nmisses: %" PRIu64
                    "\nextended: %" PRIu64 "\nbad links: %" PRIu64
                    "\nseconds: %.6f\nlookups/s: %.0f\n",
                    s.packets, s.hits, s.misses, s.extended, s.bad_links, elapsed_,
                    elapsed_ > 0 ? double(s.packets) / elapsed_ : 0.0);
        std::fflush(stdout);
    }

private:
    void report_progress(double t, uint64_t packets) const {
        const Stats &s = engine_.stats();
        std::fprintf(stderr,
                     "kova-engine: %" PRIu64 " packets, %" PRIu64 " hits, %" PRIu64
                     " misses, %.0f lookups/s\n",
                     s.packets, s.hits, s.misses, double(packets) / (t - last_));
    }

    Engine &engine_;
    bool progress_;
    double start_ = 0, last_ = 0, elapsed_ = 0;
};

// The generator's packets: each flow, and for misses a variant whose source
// MAC has the group bit set, which no sender's address has.
struct Generator {
    std::vector<Packet> hit, miss;
    uint32_t miss_percent;
    uint64_t state = 0x9E3779B97F4A7C15ull;

    uint64_t total, i = 0;

    const Packet *operator()() {
        if (i == total)
            return nullptr;
        const Packet &p = hit[i % hit.size()];
        const Packet &m = miss[i++ % miss.size()];
        if (!miss_percent)
            return &p;
        state ^= state << 13, state ^= state >> 7, state ^= state << 17;
        return state % 100 < miss_percent ? &m : &p;
    }
};

int run_crc(const Options &o) {
    std::vector<TraceLine> lines;
    std::string error;
    if (!read_lines(o.crc_file.c_str(), &lines, &error)) {
        std::fprintf(stderr, "kova-engine: %s\n", error.c_str());
        return 1;
    }
    for (const TraceLine &t : lines)
        std::printf("crc32=0x%08x\n", t.packet.crc);
    return 0;
}

// Frames decoded as they are read: the rate includes taking the key out of
// the headers, as an engine has to, as a trace's includes parsing its lines.
bool run_capture(const Options &o, CaptureReader &capture, Runner &runner) {
    PortChoice port;
    port.from_tag = o.port == "vlan";
    port.ucc = port.from_tag ? 0 : uint16_t(std::strtoul(o.port.c_str(), nullptr, 0));
    port.subport = uint16_t(o.subport);
    CaptureSource source(capture, port);
    runner.run([&] { return source.next(); });
    runner.report();
    const uint64_t *by_result = source.by_result();
    std::printf("frames: %" PRIu64 "\nnot decoded: %" PRIu64 "\n", source.frames(),
                source.frames() - by_result[0]);
    for (unsigned r = 1; r < kDecodeResults; ++r)
        std::printf("  %s: %" PRIu64 "\n", decode_name(Decode(r)), by_result[r]);
    std::fflush(stdout);
    if (source.frames() == 0 && capture.error().empty())
        std::fprintf(stderr, "kova-engine: warning: %s holds no frames\n", escaped(o.pcap).c_str());
    if (!capture.error().empty()) {
        std::fprintf(stderr, "kova-engine: %s: %s\n", escaped(o.pcap).c_str(),
                     capture.error().c_str());
        return false;
    }
    return true;
}

int run(const Options &o) {
    std::vector<TraceLine> trace;
    std::string error;
    // Opened before the area is set up, so that a file that is not a
    // capture is reported before anything is attached.
    CaptureReader capture;
    if (!o.pcap.empty() && !capture.open(o.pcap, &error)) {
        std::fprintf(stderr, "kova-engine: %s\n", error.c_str());
        return 1;
    }
    if (o.generate && !read_lines(o.flows.c_str(), &trace, &error)) {
        std::fprintf(stderr, "kova-engine: %s\n", error.c_str());
        return 1;
    }
    // A trace is checked whole before anything is attached, so that a bad
    // line stops the run before it starts; the run reads it again and
    // parses each line as it comes, as a capture's frames are decoded, so
    // that the two rates count the same work.
    TraceReader trace_in;
    if (!o.trace.empty()) {
        TraceReader check;
        bool ok = check.open(o.trace, &error);
        bool any = false;
        for (TraceLine t; ok && check.next(&t);)
            any = true;
        if (ok && !check.error().empty()) {
            ok = false;
            error = check.error();
        }
        if (!ok || !trace_in.open(o.trace, &error)) {
            std::fprintf(stderr, "kova-engine: %s\n", error.c_str());
            return 1;
        }
        // Most likely the wrong file, but a run of nothing is still a run:
        // it reports its zeros.
        if (!any)
            std::fprintf(stderr, "kova-engine: warning: %s holds no packets\n",
                         escaped(o.trace).c_str());
    }
    if (o.generate && trace.empty()) {
        std::fprintf(stderr, "kova-engine: %s holds no flows\n", escaped(o.flows).c_str());
        return 1;
    }

    Area area;
    if (!map_area(o, &area) || (!o.no_attach && !attach(o, area)))
        return 1;
    Engine engine(area.base, o.qe_base);
    Runner runner(engine, o.progress);
    if (o.generate) {
        Generator gen{{}, {}, o.miss_percent};
        gen.total = o.generate;
        for (const TraceLine &t : trace) {
            gen.hit.push_back(t.packet);
            Packet m = t.packet;
            m.key.bytes[6] |= 1; // the source MAC's first octet
            m.crc = kova_flow_key_crc(&m.key);
            gen.miss.push_back(m);
        }
        runner.run(gen);
        runner.report();
    } else if (!o.trace.empty()) {
        // Each line as many times as its count says.
        TraceLine line;
        uint64_t left = 0;
        runner.run([&]() -> const Packet * {
            while (left == 0) {
                if (!trace_in.next(&line))
                    return nullptr;
                left = line.count;
            }
            --left;
            return &line.packet;
        });
        runner.report();
        if (!trace_in.error().empty()) { // the file changed since it was checked
            std::fprintf(stderr, "kova-engine: %s\n", trace_in.error().c_str());
            return 1;
        }
    } else if (!o.pcap.empty()) {
        if (!run_capture(o, capture, runner))
            return 1;
    }
    if (o.stay && !g_stop) {
        std::printf("kova-engine: holding the area; SIGINT or SIGTERM ends\n");
        std::fflush(stdout);
        while (!g_stop)
            pause();
    }
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    Options o;
    const int parsed = parse_options(argc, argv, &o);
    if (parsed == 1)
        return 0;
    if (parsed == 2) {
        std::fprintf(stderr, "Try 'kova-engine --help' for more information.\n");
        return 2;
    }
    if (!o.crc_file.empty())
        return run_crc(o);
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    return run(o);
}
