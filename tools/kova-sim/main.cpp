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
#include <cstdio>
#include <cstring>
#include <string>

#include "crc.h"
#include "kova/host.h"
#include "mount.h"
#include "script.h"

namespace {

int usage(FILE *out, int status) {
    std::fprintf(out,
                 "usage: kova-sim MOUNTPOINT [-f] [-v] [-o OPTIONS]\n"
                 "       kova-sim --script FILE [-v]\n"
                 "       kova-sim crc ETH_DMAC ETH_SMAC VLAN_ID_1 VLAN_ID_2 ETH_TYPE SRC DST SPORT DPORT [UCC]\n"
                 "       kova-sim crc key=value...   (the key names of a create_flows definition)\n"
                 "\n"
                 "MOUNTPOINT   serve dev/kova and sys/kernel/debug/kova/{dump_flows_cpu,dump_flows_qe,\n"
                 "             dump_oq,dump_scheduler,create_flows,delete_flows,create_flows_old,setlag}\n"
                 "             there until SIGINT/SIGTERM or fusermount3 -u MOUNTPOINT, and\n"
                 "             kova-sim/call: write \"FUNCTION ARGS...\" to call an exported\n"
                 "             function, read the result line\n"
                 "-f           stay in the foreground (default: detach once mounted)\n"
                 "-v           echo the kernel log to stderr\n"
                 "-o OPTIONS   extra FUSE mount options, e.g. allow_other\n"
                 "--script F   run the steps in F ('-' for stdin), no mount:\n"
                 "               write PATH TEXT | read PATH | call FUNCTION ARGS... | attach [VERSION]\n"
                 "               | log | echo TEXT | # comment\n"
                 "             PATH without '/' is a debug file (create_flows); TEXT takes \\n \\t \\\\ \\xHH\n");
    return status;
}

} // namespace

int main(int argc, char **argv) {
    if (argc >= 2 && std::strcmp(argv[1], "crc") == 0)
        return kovasim::crc_command(argc - 2, argv + 2);

    kovasim::MountOptions mount;
    const char *script = nullptr;
    bool verbose = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-h" || a == "--help")
            return usage(stdout, 0);
        if (a == "-f")
            mount.foreground = true;
        else if (a == "-v")
            verbose = true;
        else if (a == "-o" && i + 1 < argc)
            mount.fuse_options = argv[++i];
        else if (a == "--script" && i + 1 < argc)
            script = argv[++i];
        else if (a[0] != '-' && mount.mountpoint.empty())
            mount.mountpoint = a;
        else
            return usage(stderr, 2);
    }
    if (!script == mount.mountpoint.empty())
        return usage(stderr, 2);

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
