// kovactl: the operator's flow tool over the module's debug files, on the
// board's debugfs or a kova-sim mount alike.
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "dump_parse.h"
#include "flow_args.h"
#include "kova/kova_shm.h"
#include "linux/module.h"

namespace {

using namespace kovactl;

// Exit codes (the man page lists them).
constexpr int kExitOk = 0, kExitRefused = 1, kExitUsage = 2, kExitIo = 3;

// The module refused, or a flow could not be found or removed.
struct Refusal {
    std::string message;
};
// A file missing or unusable: not the module's directory, no permission.
struct IoError {
    std::string message;
};

const char kUsage[] =
    "Usage: kovactl [OPTION]... COMMAND [ARG]...\n"
    "Create, list, delete and count the flows of the kova module through its\n"
    "debug files, on the board's debugfs or a kova-sim mount.\n"
    "\n"
    "Options:\n"
    "  -r, --root=DIR     the module's debug directory (default /sys/kernel/debug/kova;\n"
    "                     on a kova-sim mount MNT/sys/kernel/debug/kova)\n"
    "  -d, --dev=PATH     the engine window read for actions and octets (default:\n"
    "                     ROOT's /sys/kernel/debug/kova replaced by /dev/kova)\n"
    "  -j, --json         print listings as JSON\n"
    "  -n, --dry-run      add: print the definition, write nothing\n"
    "  -h, --help         display this help and exit\n"
    "  -V, --version      output version information and exit\n"
    "\n"
    "Commands:\n"
    "  add id=N [parent=N] ucc=N [subport=N] [dmac=MAC] [smac=MAC] [vlan=N]\n"
    "      [vlan2=N] [type=ipv4|ipv6|arp|0xNNNN] [src=ADDR] [dst=ADDR] [sport=N]\n"
    "      [dport=N] RULE [PARAM=VALUE]... [RULE [PARAM=VALUE]...]...\n"
    "                     create a flow (fields in any order; the crc32 is computed)\n"
    "  del ID             delete the flow with appflowid ID (use -- before a negative ID)\n"
    "  flush              delete every flow the table holds\n"
    "  list               both copies of the table, decoded\n"
    "  stats SELECTOR     a flow's counters; SELECTOR: slot=N, crc=N or key fields\n"
    "  lag N MODE MASK    set link-aggregation group N (0..3), MODE 0|1, MASK hex\n"
    "\n"
    "Rules and their parameters (defaults in brackets):\n"
    "  drop | forward-cpu [priority=0..255 (0)] | second-classify | test\n"
    "  forward-qe port=0..40 [priority=0..255 (0)] [subport=0..4095 (0)]\n"
    "             [class=0..7 (0)] [trusted=yes|no (no)]\n"
    "  vlan1-add | vlan1-change | vlan2-add | vlan2-change\n"
    "             vid=0..4095 [prio=0..7 (0)] [cfi=0..1 (0)] [etype=0..65535 (0x8100)]\n"
    "  vlan1-remove | vlan2-remove | update-timestamp | update-packet-cnt\n"
    "  police weight=0..4294967295 | set-tos tos=0..255\n"
    "  replace-src | replace-dst  mac=MAC ip=ADDR port=0..65535\n"
    "Numbers are decimal or 0x hexadecimal. At most 6 rules, each once.\n"
    "\n"
    "Exit status:\n"
    "  0  success\n"
    "  1  the module refused (its result or a failed write), or no such flow\n"
    "  2  usage error: bad option, command or value\n"
    "  3  I/O error: the debug files are missing or cannot be used\n";

void usage_hint() { std::cerr << "Try 'kovactl --help' for more information.\n"; }

struct Options {
    std::string root = "/sys/kernel/debug/kova";
    std::string dev;
    bool json = false, dry_run = false;
};

std::string file(const Options &o, const char *name) { return o.root + "/" + name; }

// The debug directory must be the module's: a wrong --root is an I/O error
// that says what was expected.
void check_root(const Options &o) {
    struct stat st;
    for (const char *name : {"create_flows", "delete_flows", "dump_flows_cpu", "dump_flows_qe", "setlag"})
        if (stat(file(o, name).c_str(), &st) != 0) {
            std::string why = o.root + " is not the module's debug directory (" + file(o, name) + ": " +
                              std::strerror(errno) + ")";
            if (stat((o.root + "/sys/kernel/debug/kova/create_flows").c_str(), &st) == 0)
                why += "; on a kova-sim mount use --root " + o.root + "/sys/kernel/debug/kova";
            throw IoError{why};
        }
}

std::string read_all(const std::string &path) {
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        throw IoError{path + ": " + std::strerror(errno)};
    std::string out;
    char buf[65536];
    long n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        out.append(buf, size_t(n));
    const int e = errno;
    close(fd);
    if (n < 0)
        throw IoError{path + ": read: " + std::strerror(e)};
    return out;
}

// One open, one write, one close: the module parses each write whole. 0 or
// the write's errno.
int write_once(const std::string &path, const std::string &text) {
    const int fd = open(path.c_str(), O_WRONLY);
    if (fd < 0)
        throw IoError{path + ": " + std::strerror(errno)};
    const long n = write(fd, text.data(), text.size());
    const int e = n < 0 ? errno : n == long(text.size()) ? 0 : EIO;
    close(fd);
    return e;
}

// A write the module failed: its parameter errors are refusals, anything
// else an I/O error.
[[noreturn]] void write_failed(const std::string &path, int e) {
    std::string what = path + ": write failed with errno " + std::to_string(e) + " (" + std::strerror(e) + ")";
    switch (e) {
    case 3:
        throw Refusal{what + ": the module's parameter error; the kernel log names the parameter"};
    case 2:
        throw Refusal{what + ": the module found an address malformed"};
    case 27:
        throw Refusal{what + ": longer than the module takes"};
    default:
        throw IoError{what};
    }
}

// The result in the header a read of create_flows or delete_flows starts with.
int header_result(const std::string &path, const char *prefix) {
    const std::string text = read_all(path);
    const size_t at = text.find(prefix);
    if (at != 0)
        throw IoError{path + ": no \"" + prefix + "\" header: " + text.substr(0, text.find('\n'))};
    return std::atoi(text.c_str() + std::strlen(prefix));
}

int cmd_add(const Options &o, const std::vector<std::string> &args) {
    const FlowRequest req = parse_add(args);
    if (o.dry_run) {
        std::cout << req.definition;
        return kExitOk;
    }
    check_root(o);
    const std::string path = file(o, "create_flows");
    if (const int e = write_once(path, req.definition))
        write_failed(path, e);
    const int r = header_result(path, "Previous call of kovaAPIcreateVoipFlow=");
    std::string what = create_result_text(r, req.extended);
    if (r == int(KOVA_ERR_INVALID) && !req.extended)
        what = req.id >= 0 && req.id < int32_t(KOVA_APP_FLOWS) ? "appflowid in use" : "appflowid out of range 0..32767";
    char crc[64];
    std::snprintf(crc, sizeof crc, "crc32 0x%08x, bucket %u", req.flow.crc32, req.flow.crc32 >> KOVA_LUT_BUCKET_SHIFT);
    if (r != 0)
        throw Refusal{"flow " + std::to_string(req.id) + " not created: " + what + " (result " + std::to_string(r) + ")"};
    std::cout << "flow " << req.id << ": " << what << " (" << crc << ")\n";
    return kExitOk;
}

int delete_one(const Options &o, int32_t id) {
    const std::string path = file(o, "delete_flows");
    if (const int e = write_once(path, "flow_id=" + std::to_string(id) + "\n"))
        write_failed(path, e);
    return header_result(path, "Previous call of kovaAPIdeleteVoipFlow=");
}

int cmd_del(const Options &o, const std::vector<std::string> &args) {
    if (args.size() != 1)
        throw UsageError{"del takes one appflowid"};
    const int32_t id = int32_t(parse_number("id", args[0], INT32_MIN, INT32_MAX));
    check_root(o);
    const int r = delete_one(o, id);
    if (r != 0)
        throw Refusal{"flow " + std::to_string(id) + " not deleted: " + delete_result_text(r) + " (result " +
                      std::to_string(r) + ")"};
    std::cout << "flow " << id << ": " << delete_result_text(r) << "\n";
    return kExitOk;
}

// ---- Listing ---------------------------------------------------------------

std::string dev_path(const Options &o) {
    if (!o.dev.empty())
        return o.dev;
    const std::string tail = "sys/kernel/debug/kova";
    std::string root = o.root;
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    if (root.size() < tail.size() || root.compare(root.size() - tail.size(), tail.size(), tail) != 0)
        return "";
    return root.substr(0, root.size() - tail.size()) + "dev/kova";
}

// The engine's copy of the table as /dev/kova shows it (its first 8 MiB),
// or "" with the reason in *why.
std::string read_window(const std::string &path, std::string *why) {
    if (path.empty()) {
        *why = "no engine window for this --root (give --dev)";
        return "";
    }
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        *why = path + ": " + std::strerror(errno);
        return "";
    }
    std::string out(KOVA_LUT_TABLE_BYTES, '\0');
    size_t got = 0;
    while (got < out.size()) {
        const long n = read(fd, out.data() + got, out.size() - got);
        if (n <= 0) {
            *why = path + ": " + (n < 0 ? std::strerror(errno) : "short read") + " (is an engine attached?)";
            close(fd);
            return "";
        }
        got += size_t(n);
    }
    close(fd);
    return out;
}

Json key_json(const DumpEntry &e) {
    const bool v6 = e.eth_type == KOVA_ETH_TYPE_IPV6;
    return {{"dmac", mac_text(e.dmac)},
            {"smac", mac_text(e.smac)},
            {"vlan", e.vlan1},
            {"vlan2", e.vlan2},
            {"type", e.eth_type},
            {"src", display_address(e.src, v6)},
            {"dst", display_address(e.dst, v6)},
            {"sport", e.sport},
            {"dport", e.dport}};
}

Json flow_json(const DumpEntry &e) {
    return {{"slot", e.slot},
            {"appflowid", nullptr},
            {"role", e.role()},
            {"parent_slot", e.parent_slot < 0 ? Json(nullptr) : Json(e.parent_slot)},
            {"ucc", e.port_word},
            {"crc32", e.crc},
            {"crc_matches_key", e.crc_matches_key()},
            {"key", key_json(e)},
            {"actions", nullptr},
            {"packets", e.packets},
            {"octets", nullptr},
            {"last_used", e.timestamp},
            {"flow_cnt", e.flow_cnt},
            {"copies", "both"},
            {"differences", Json::array()}};
}

Json copy_json(const Dump &d) {
    Json s = Json::object();
    for (const auto &[k, v] : d.summary)
        s[k] = v;
    return {{"present", d.present}, {"cut", d.cut}, {"entries", d.entries.size()}, {"summary", s}};
}

// Both copies, merged by slot: the engine's counters, the shadow's order.
Json listing(const Options &o) {
    check_root(o);
    const Dump cpu = parse_dump(read_all(file(o, "dump_flows_cpu")));
    const Dump qe = parse_dump(read_all(file(o, "dump_flows_qe")));
    std::string why;
    const std::string window = qe.present ? read_window(dev_path(o), &why) : "";
    if (!qe.present)
        why = "no engine attached (dump_flows_qe shows no table)";
    Json flows = Json::array();
    std::map<int64_t, size_t> at; // slot -> index in flows
    for (const DumpEntry &e : cpu.entries) {
        at[e.slot] = flows.size();
        flows.push_back(flow_json(e));
        flows.back()["copies"] = "cpu";
    }
    for (const DumpEntry &e : qe.entries) {
        Json f = flow_json(e);
        if (!window.empty() && e.slot >= 0) {
            const auto *entry = reinterpret_cast<const uint8_t *>(window.data()) + e.slot * KOVA_LUT_SIZE;
            const uint32_t crc = uint32_t(entry[64]) | uint32_t(entry[65]) << 8 | uint32_t(entry[66]) << 16 |
                                 uint32_t(entry[67]) << 24;
            // The window is read after the dump: use it only for the same flow.
            if (crc == e.crc && std::memcmp(entry + KOVA_LUT_OFF_ETH_DMAC, e.dmac, 6) == 0) {
                f["actions"] = decode_actions(entry);
                f["octets"] = uint32_t(entry[108]) | uint32_t(entry[109]) << 8 | uint32_t(entry[110]) << 16 |
                              uint32_t(entry[111]) << 24;
            }
        }
        const auto it = at.find(e.slot);
        if (it == at.end()) {
            f["copies"] = "qe";
            flows.push_back(f);
            continue;
        }
        Json &mine = flows[it->second];
        Json diff = Json::array();
        for (const char *k : {"role", "parent_slot", "ucc", "crc32"})
            if (mine[k] != f[k])
                diff.push_back(k);
        for (const auto &[k, v] : f["key"].items())
            if (mine["key"][k] != v)
                diff.push_back(k);
        for (const char *k : {"actions", "packets", "octets", "last_used", "flow_cnt"})
            mine[k] = f[k]; // the engine keeps the counters; the shadow's stay 0
        mine["copies"] = "both";
        mine["differences"] = diff;
    }
    Json notes = Json::array();
    if (window.empty())
        notes.push_back("actions and octets not shown: " + why);
    if (cpu.cut || qe.cut)
        notes.push_back("a dump was cut: the table holds more than is listed");
    notes.push_back("appflowids are not shown: the dumps do not carry them");
    return {{"root", o.root}, {"cpu", copy_json(cpu)}, {"qe", copy_json(qe)}, {"engine_window", !window.empty()},
            {"flows", flows}, {"notes", notes}};
}

std::string n_or_dash(const Json &v) { return v.is_null() ? "-" : v.dump(); }

void print_flow(const Json &f, bool engine_copy) {
    const Json &k = f["key"];
    const char *name = type_name(uint16_t(k["type"].get<unsigned>()));
    char type[16];
    std::snprintf(type, sizeof type, "0x%04x", k["type"].get<unsigned>());
    const std::string role = f["role"];
    std::cout << "slot " << n_or_dash(f["slot"]) << " "
              << (role == "head" ? "bucket head" : role == "crc12" ? "chained" : role == "crc32" ? "chained, same crc32"
                                                                                            : "extended");
    if (!f["parent_slot"].is_null())
        std::cout << " of slot " << f["parent_slot"];
    char crc[16];
    std::snprintf(crc, sizeof crc, "0x%08x", f["crc32"].get<uint32_t>());
    std::cout << "  ucc " << ucc_text(f["ucc"].get<uint32_t>()) << "  crc32 " << crc
              << (f["crc_matches_key"].get<bool>() ? "" : " (not the key's crc32: the engine will not find it)")
              << "\n  key dmac " << k["dmac"].get<std::string>() << " smac " << k["smac"].get<std::string>()
              << " vlan " << k["vlan"] << " vlan2 " << k["vlan2"] << " type " << (name ? name : type);
    if (name)
        std::cout << " src " << k["src"].get<std::string>() << " dst " << k["dst"].get<std::string>() << " sport "
                  << k["sport"] << " dport " << k["dport"];
    std::cout << "\n  actions";
    if (f["actions"].is_null())
        std::cout << " -";
    for (const Json &a : f["actions"])
        std::cout << (&a == &f["actions"].front() ? " " : ", ") << action_text(a);
    std::cout << "\n  packets " << f["packets"] << "  octets " << n_or_dash(f["octets"]) << "  last-used "
              << f["last_used"] << "  flow-cnt " << f["flow_cnt"] << "\n";
    // Without an engine attached the listing's first line says so once.
    if (f["copies"] != "both" && engine_copy)
        std::cout << "  only in the " << (f["copies"] == "cpu" ? "shadow (cpu)" : "engine (qe)") << " copy\n";
    else if (!f["differences"].empty())
        std::cout << "  the copies differ in: " << f["differences"].dump() << "\n";
}

int cmd_list(const Options &o, const std::vector<std::string> &args) {
    if (!args.empty())
        throw UsageError{"list takes no arguments"};
    const Json l = listing(o);
    if (o.json) {
        std::cout << l.dump() << "\n";
        return kExitOk;
    }
    std::cout << l["flows"].size() << " flows (shadow copy " << l["cpu"]["entries"] << " entries, engine copy "
              << (l["qe"]["present"].get<bool>() ? l["qe"]["entries"].dump() + " entries" : std::string("absent"))
              << ")\n";
    for (const Json &f : l["flows"])
        print_flow(f, l["qe"]["present"].get<bool>());
    for (const Json &n : l["notes"])
        std::cout << "note: " << n.get<std::string>() << "\n";
    return kExitOk;
}

int cmd_stats(const Options &o, const std::vector<std::string> &args) {
    const Selector s = parse_selector(args);
    const bool v6 = s.flow.eth_type == KOVA_ETH_TYPE_IPV6;
    Json l = listing(o), found = Json::array();
    for (const Json &f : l["flows"]) {
        if (s.slot >= 0 && f["slot"] != s.slot)
            continue;
        if (s.crc >= 0 && f["crc32"] != s.crc)
            continue;
        if (s.ucc >= 0 && f["ucc"] != s.ucc && f["ucc"] != 67 - s.ucc)
            continue;
        if (s.by_key && (f["crc32"] != s.flow.crc32 || f["key"]["dmac"] != mac_text(s.flow.eth_dmac) ||
                         f["key"]["smac"] != mac_text(s.flow.eth_smac) || f["key"]["vlan"] != s.flow.vlan_id_1 ||
                         f["key"]["vlan2"] != s.flow.vlan_id_2 || f["key"]["type"] != s.flow.eth_type ||
                         f["key"]["src"] != display_address(s.flow.ip_src, v6) ||
                         f["key"]["dst"] != display_address(s.flow.ip_dst, v6) || f["key"]["sport"] != s.flow.udp_sport ||
                         f["key"]["dport"] != s.flow.udp_dport))
            continue;
        found.push_back({{"slot", f["slot"]}, {"role", f["role"]}, {"ucc", f["ucc"]}, {"crc32", f["crc32"]},
                         {"packets", f["packets"]}, {"octets", f["octets"]}, {"last_used", f["last_used"]},
                         {"flow_cnt", f["flow_cnt"]}});
    }
    if (found.empty())
        throw Refusal{"no flow matches"};
    if (o.json) {
        std::cout << Json{{"flows", found}}.dump() << "\n";
        return kExitOk;
    }
    for (const Json &f : found)
        std::cout << "slot " << f["slot"] << " " << f["role"].get<std::string>() << " ucc " << ucc_text(f["ucc"].get<uint32_t>())
                  << ": packets " << f["packets"] << " octets " << n_or_dash(f["octets"]) << " last-used "
                  << f["last_used"] << " flow-cnt " << f["flow_cnt"] << "\n";
    return kExitOk;
}

// delete_flows takes an appflowid and the dumps do not show them: every
// appflowid is tried until as many flows are gone as the shadow copy held
// deletable ones. Extended flows and the flows carrying them stay: the file
// deletes with kovaAPIdeleteVoipFlow, which refuses both.
int cmd_flush(const Options &o, const std::vector<std::string> &args) {
    if (!args.empty())
        throw UsageError{"flush takes no arguments"};
    check_root(o);
    const Dump before = parse_dump(read_all(file(o, "dump_flows_cpu")));
    std::set<int64_t> carriers;
    size_t plain = 0;
    for (const DumpEntry &e : before.entries)
        e.extended ? void(carriers.insert(e.parent_slot)) : void(++plain);
    size_t carrying = 0;
    for (const DumpEntry &e : before.entries)
        carrying += !e.extended && carriers.count(e.slot);
    const size_t target = plain - carrying;
    std::vector<int32_t> deleted;
    for (int32_t id = 0; id < int32_t(KOVA_APP_FLOWS) && deleted.size() < target; ++id)
        if (delete_one(o, id) == 0)
            deleted.push_back(id);
    std::cout << "flush: " << deleted.size() << " flows deleted";
    if (!deleted.empty()) {
        std::cout << " (appflowids";
        for (int32_t id : deleted)
            std::cout << " " << id;
        std::cout << ")";
    }
    std::cout << "\n";
    const Dump cpu = parse_dump(read_all(file(o, "dump_flows_cpu")));
    const Dump qe = parse_dump(read_all(file(o, "dump_flows_qe")));
    if (cpu.entries.empty() && qe.entries.empty())
        return kExitOk;
    std::string left;
    for (const DumpEntry &e : cpu.entries)
        left += " " + std::to_string(e.slot) + (e.extended ? "(extended)" : carriers.count(e.slot) ? "(carries extended)" : "");
    throw Refusal{std::to_string(cpu.entries.size()) + " flows remain in the shadow copy, " +
                  std::to_string(qe.entries.size()) + " in the engine copy; slots" + left +
                  ": extended flows and the flows carrying them cannot be deleted through delete_flows"};
}

int cmd_lag(const Options &o, const std::vector<std::string> &args) {
    if (args.size() != 3)
        throw UsageError{"lag takes N MODE MASK"};
    const int64_t n = parse_number("lagnum", args[0], 0, KOVA_MAX_LAGS - 1);
    const int64_t mode = parse_number("lagmode", args[1], 0, 1);
    const std::string mask_text = args[2].rfind("0x", 0) == 0 ? args[2] : "0x" + args[2];
    const int64_t mask = parse_number("lagportmask", mask_text, 0, 0xffffffffLL, true);
    check_root(o);
    char text[96];
    std::snprintf(text, sizeof text, "lagnum=%lld lagmode=%lld lagportmask=0x%llx\n", (long long)n, (long long)mode,
                  (long long)mask);
    const std::string path = file(o, "setlag");
    if (const int e = write_once(path, text))
        write_failed(path, e);
    std::cout << "lag " << n << ": " << (mode ? "enabled" : "disabled") << ", members";
    for (int u = 0; u < 32; ++u)
        if (mask >> u & 1)
            std::cout << " " << u;
    std::cout << "\n";
    return kExitOk;
}

} // namespace

int main(int argc, char **argv) {
    Options o;
    static const option longs[] = {{"root", required_argument, nullptr, 'r'}, {"dev", required_argument, nullptr, 'd'},
                                   {"json", no_argument, nullptr, 'j'},       {"dry-run", no_argument, nullptr, 'n'},
                                   {"help", no_argument, nullptr, 'h'},       {"version", no_argument, nullptr, 'V'},
                                   {nullptr, 0, nullptr, 0}};
    // '+': options end at the command, so that its values (id=-1, a rule's
    // parameters) are never taken for options; a second pass reads the
    // options given after the command ("kovactl list -j").
    std::vector<std::string> args;
    for (int pass = 0; pass < 2; ++pass) {
        int c;
        opterr = 0; // our own messages: argv[0] is the command in the second pass
        while ((c = getopt_long(argc, argv, "+:r:d:jnhV", longs, nullptr)) != -1) {
            switch (c) {
            case 'r': o.root = optarg; break;
            case 'd': o.dev = optarg; break;
            case 'j': o.json = true; break;
            case 'n': o.dry_run = true; break;
            case 'h': std::cout << kUsage; return kExitOk;
            case 'V': std::cout << "kovactl " << KOVA_API_VERSION << "\n"; return kExitOk;
            case ':':
                std::cerr << "kovactl: option '" << argv[optind - 1] << "' requires an argument\n";
                usage_hint();
                return kExitUsage;
            default:
                if (optopt)
                    std::cerr << "kovactl: invalid option -- '" << char(optopt) << "'\n";
                else
                    std::cerr << "kovactl: unrecognized option '" << argv[optind - 1] << "'\n";
                usage_hint();
                return kExitUsage;
            }
        }
        if (optind >= argc)
            break;
        if (pass == 0) {
            args.push_back(argv[optind]);
            argv += optind, argc -= optind; // the command is argv[0] of the second pass
            optind = 0;                    // GNU getopt: start afresh
        }
    }
    if (args.empty()) {
        std::cerr << "kovactl: no command given\n";
        usage_hint();
        return kExitUsage;
    }
    for (int i = optind; i < argc; ++i)
        args.push_back(argv[i]);
    const std::string cmd = args[0];
    args.erase(args.begin());
    try {
        if (cmd == "add")
            return cmd_add(o, args);
        if (cmd == "del")
            return cmd_del(o, args);
        if (cmd == "flush")
            return cmd_flush(o, args);
        if (cmd == "list")
            return cmd_list(o, args);
        if (cmd == "stats")
            return cmd_stats(o, args);
        if (cmd == "lag")
            return cmd_lag(o, args);
        throw UsageError{"unknown command '" + cmd + "'"};
    } catch (const UsageError &e) {
        std::cerr << "kovactl: " << e.message << "\n";
        usage_hint();
        return kExitUsage;
    } catch (const Refusal &e) {
        std::cerr << "kovactl: " << e.message << "\n";
        return kExitRefused;
    } catch (const IoError &e) {
        std::cerr << "kovactl: " << e.message << "\n";
        return kExitIo;
    } catch (const std::exception &e) {
        std::cerr << "kovactl: " << e.what() << "\n";
        return kExitIo;
    }
}
