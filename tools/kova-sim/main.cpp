// kova-sim: the operator's front end to the module running in user space.
//
//   kova-sim MOUNTPOINT [-f] [-v] [-o OPTIONS]
//       Loads the module and serves MOUNTPOINT/dev/kova and
//       MOUNTPOINT/sys/kernel/debug/kova/* through FUSE until SIGINT, SIGTERM
//       or an unmount (fusermount3 -u MOUNTPOINT); then unloads and exits 0.
//   kova-sim --script FILE [-v]
//       Runs a file of operator steps and API calls (see script.h).
//   kova-sim crc FIELDS...
//       Prints the crc32 of a flow's header fields (see crc.cpp, flow_key.h).
#include <getopt.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "crc.h"
#include "kova/host.h"
#include "kova/version.h"
#include "mount.h"
#include "quote.h"
#include "script.h"

namespace {

int usage(FILE *out, int status) {
    std::fprintf(
        out,
        "usage: kova-sim MOUNTPOINT [-f] [-v] [-o OPTIONS]\n"
        "       kova-sim --script FILE [-v]\n"
        "       kova-sim crc ETH_DMAC ETH_SMAC VLAN_ID_1 VLAN_ID_2 ETH_TYPE SRC DST SPORT DPORT "
        "[UCC]\n"
        "       kova-sim crc key=value...   (the key names of a create_flows definition)\n"
        "       kova-sim crc --help\n"
        "       kova-sim --help | --version\n"
        "\n"
        "MOUNTPOINT   serve dev/kova and sys/kernel/debug/kova/{dump_flows_cpu,dump_flows_qe,\n"
        "             dump_oq,dump_scheduler,create_flows,delete_flows,create_flows_old,setlag,\n"
        "             flow_list}\n"
        "             there until SIGINT/SIGTERM or fusermount3 -u MOUNTPOINT, and\n"
        "             kova-sim/call: write \"FUNCTION ARGS...\" to call an exported\n"
        "             function, read the result line\n"
        "-f           stay in the foreground (default: detach once mounted)\n"
        "-v           echo the kernel log to stderr\n"
        "-o OPTIONS   extra FUSE mount options, e.g. allow_other\n"
        "--script F   run the steps in F ('-' for stdin; also --script=F), no mount:\n"
        "               write PATH TEXT | read PATH | call FUNCTION ARGS... | attach [VERSION]\n"
        "               | log | echo TEXT | # comment\n"
        "             PATH without '/' is a debug file (create_flows); TEXT takes \\n \\t \\\\ "
        "\\xHH\n"
        "--version    print the module's version and exit\n");
    return status;
}

// A usage error: what is wrong, one line, and where to read more.
int usage_error(const std::string &what) {
    std::fprintf(stderr, "kova-sim: %s\nTry 'kova-sim --help' for more information.\n",
                 what.c_str());
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    if (argc >= 2 && std::strcmp(argv[1], "crc") == 0)
        return kovasim::crc_command(argc - 2, argv + 2);

    enum : int { kScript = 256, kVersion };
    const option options[] = {
        {"script", required_argument, nullptr, kScript},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, kVersion},
        {nullptr, 0, nullptr, 0},
    };
    // getopt names the program after argv[0], whatever path started it.
    std::vector<char *> args(argv, argv + argc);
    args[0] = const_cast<char *>("kova-sim");
    args.push_back(nullptr);
    kovasim::MountOptions mount;
    const char *script = nullptr;
    bool verbose = false;
    for (int opt; (opt = getopt_long(argc, args.data(), "fvo:h", options, nullptr)) != -1;) {
        switch (opt) {
        case 'h':
            return usage(stdout, 0);
        case kVersion:
            std::printf("kova-sim %s\n", KOVA_API_VERSION);
            return 0;
        case 'f':
            mount.foreground = true;
            break;
        case 'v':
            verbose = true;
            break;
        case 'o':
            mount.fuse_options = optarg;
            break;
        case kScript:
            script = optarg;
            break;
        default: // getopt has said what is wrong
            std::fprintf(stderr, "Try 'kova-sim --help' for more information.\n");
            return 2;
        }
    }
    if (optind < argc)
        mount.mountpoint = args[size_t(optind++)];
    if (optind < argc)
        return usage_error("unexpected argument " + kova_tools::quoted(args[size_t(optind)]));
    if (!script && mount.mountpoint.empty())
        return usage_error("give a MOUNTPOINT to serve, or --script FILE");
    if (script && !mount.mountpoint.empty())
        return usage_error("--script runs without a mount: no MOUNTPOINT with it");

    if (!script && !kovasim::check_mountpoint(mount.mountpoint))
        return 1;

    kova_host_log_echo(verbose ? 1 : 0);
    const int loaded = kova_host_load();
    if (loaded != 0) {
        std::fprintf(stderr, "kova-sim: the module failed to load (%d)\n", loaded);
        return 1;
    }
    // The load's messages are not kept; with -v they were echoed.
    kova_host_log_clear();
    if (script)
        return kovasim::run_script(script);
    const int status = kovasim::serve(mount);
    kova_host_unload();
    return status;
}
