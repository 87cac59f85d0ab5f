// kovactl: the operator's flow tool over the module's debug files, on the
// board's debugfs or a kova-sim mount alike.
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "dump_parse.h"
#include "flow/key.h"
#include "flow_args.h"
#include "flow_key.h"
#include "kova/kova_shm.h"
#include "kova/version.h"

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
    "  -j, --json         print listings as JSON\n"
    "  -n, --dry-run      add: print the definition, write nothing\n"
    "      --with-extended  del: delete the flow's extended flows with it\n"
    "  -h, --help         display this help and exit\n"
    "  -V, --version      output version information and exit\n"
    "\n"
    "Commands:\n"
    "  add id=N [parent=N] ucc=N [subport=N] [dmac=MAC] [smac=MAC] [vlan=N]\n"
    "      [vlan2=N] [type=ipv4|ipv6|arp|0xNNNN] [src=ADDR] [dst=ADDR] [sport=N]\n"
    "      [dport=N] RULE [PARAM=VALUE]... [RULE [PARAM=VALUE]...]...\n"
    "                     create a flow (fields in any order; the crc32 is computed)\n"
    "  del ID             delete the flow with appflowid ID (use -- before a negative ID)\n"
    "  flush              delete every flow, extended flows with their parents\n"
    "  list               every flow, decoded, each checked against both copies\n"
    "  stats ID           the counters of the flow with appflowid ID\n"
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
    "  1  the module refused (its result or a failed write), no such flow, or\n"
    "     flows remain after flush\n"
    "  2  usage error: bad option, command or value\n"
    "  3  I/O error: the debug files are missing or cannot be used\n";

void usage_hint() { std::cerr << "Try 'kovactl --help' for more information.\n"; }

struct Options {
    std::string root = "/sys/kernel/debug/kova";
    bool json = false, dry_run = false, with_extended = false;
};

std::string file(const Options &o, const char *name) { return o.root + "/" + name; }

// The debug directory must be the module's: a wrong --root is an I/O error
// that says what was expected.
void check_root(const Options &o) {
    struct stat st;
    for (const char *name :
         {"create_flows", "delete_flows", "dump_flows_cpu", "dump_flows_qe", "flow_list", "setlag"})
        if (stat(file(o, name).c_str(), &st) != 0) {
            std::string why = o.root + " is not the module's debug directory (" + file(o, name) +
                              ": " + std::strerror(errno) + ")";
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
    std::string what =
        path + ": write failed with errno " + std::to_string(e) + " (" + std::strerror(e) + ")";
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
        what = req.id >= 0 && req.id < int32_t(KOVA_APP_FLOWS) ? "appflowid in use"
                                                               : "appflowid out of range 0..32767";
    char crc[64];
    std::snprintf(crc, sizeof crc, "crc32 0x%08x, bucket %u", req.flow.crc32,
                  req.flow.crc32 >> KOVA_LUT_BUCKET_SHIFT);
    if (r != 0)
        throw Refusal{"flow " + std::to_string(req.id) + " not created: " + what + " (result " +
                      std::to_string(r) + ")"};
    std::cout << "flow " << req.id << ": " << what << " (" << crc << ")\n";
    return kExitOk;
}

// ---- Listing ---------------------------------------------------------------

// The fields a flow and a dump line are compared on, as named in the
// listing.
Json line_content(bool extended, uint32_t word, uint32_t crc, const uint8_t *entry) {
    Json c = {{"extended", extended}, {"ucc", word}, {"crc32", crc}};
    c.update(key_json(entry));
    return c;
}

bool same_key(const Json &a, const Json &b) {
    for (const char *k : {"dmac", "smac", "vlan", "vlan2", "type", "src", "dst", "sport", "dport"})
        if (a[k] != b[k])
            return false;
    return true;
}

// Finds each flow's line in one dump by content: first the lines equal in
// every field, then for the flows left a line with the same crc32 or the
// same key, named with the fields that differ. Sets each flow's "copies"/"differences" for
// `copy`; returns how many lines no flow took.
size_t match_copy(const std::vector<FlowLine> &list, const Dump &dump, const char *copy,
                  Json &flows) {
    std::vector<Json> lines;
    for (const DumpEntry &e : dump.entries)
        lines.push_back(line_content(e.extended, e.port_word, e.crc, e.entry));
    std::vector<bool> taken(lines.size());
    std::vector<Json> want;
    for (const FlowLine &f : list)
        want.push_back(line_content(f.parent >= 0, kv::key::port_word(f.ucc), f.crc, f.entry));
    for (size_t i = 0; i < list.size(); ++i) {
        flows[i]["copies"][copy] = dump.present ? "missing" : "absent";
        flows[i]["differences"][copy] = Json::array();
        for (size_t j = 0; j < lines.size() && dump.present; ++j)
            if (!taken[j] && lines[j] == want[i]) {
                taken[j] = true;
                flows[i]["copies"][copy] = "same";
                break;
            }
    }
    for (size_t i = 0; i < list.size(); ++i) {
        if (flows[i]["copies"][copy] != "missing")
            continue;
        for (size_t j = 0; j < lines.size(); ++j)
            if (!taken[j] &&
                (lines[j]["crc32"] == want[i]["crc32"] || same_key(lines[j], want[i]))) {
                taken[j] = true;
                flows[i]["copies"][copy] = "differs";
                for (const auto &[k, v] : want[i].items())
                    if (lines[j][k] != v)
                        flows[i]["differences"][copy].push_back(k);
                break;
            }
    }
    return size_t(std::count(taken.begin(), taken.end(), false));
}

Json copy_json(const Dump &d, size_t unlisted) {
    Json s = Json::object();
    for (const auto &[k, v] : d.summary)
        s[k] = v;
    return {{"present", d.present},
            {"cut", d.cut},
            {"entries", d.entries.size()},
            {"unlisted", unlisted},
            {"summary", s}};
}

std::vector<FlowLine> read_flow_list(const Options &o) {
    return parse_flow_list(read_all(file(o, "flow_list")));
}

// flow_list, each flow checked against both dumps.
Json listing(const Options &o) {
    check_root(o);
    const std::vector<FlowLine> list = read_flow_list(o);
    const Dump cpu = parse_dump(read_all(file(o, "dump_flows_cpu")));
    const Dump qe = parse_dump(read_all(file(o, "dump_flows_qe")));
    Json flows = Json::array();
    for (const FlowLine &f : list) {
        kova_flow_key key;
        kova_flow_key_from_entry(f.entry, &key);
        flows.push_back({{"slot", f.slot},
                         {"appflowid", f.appflowid},
                         {"parent", f.parent < 0 ? Json(nullptr) : Json(f.parent)},
                         {"ucc", f.ucc},
                         {"crc32", f.crc},
                         {"crc_matches_key", kova_flow_key_crc(&key) == f.crc},
                         {"key", key_json(f.entry)},
                         {"actions", decode_actions(f.entry)},
                         {"packets", f.packets},
                         {"octets", f.octets},
                         {"last_used", f.timestamp}});
    }
    const size_t cpu_left = match_copy(list, cpu, "cpu", flows),
                 qe_left = match_copy(list, qe, "qe", flows);
    Json notes = Json::array();
    if (!qe.present)
        notes.push_back("no engine attached: dump_flows_qe shows no table");
    if (cpu.cut || qe.cut)
        notes.push_back("a dump was cut: the table holds more than it shows");
    for (const auto &[n, name] :
         {std::pair{cpu_left, "shadow (cpu)"}, std::pair{qe_left, "engine (qe)"}})
        if (n)
            notes.push_back(
                "the " + std::string(name) +
                " copy holds entries no flow of flow_list accounts for: " + std::to_string(n));
    return {{"root", o.root},
            {"cpu", copy_json(cpu, cpu_left)},
            {"qe", copy_json(qe, qe_left)},
            {"flows", flows},
            {"notes", notes}};
}

void print_flow(const Json &f) {
    const Json &k = f["key"];
    const char *name = type_name(uint16_t(k["type"].get<unsigned>()));
    char type[16], crc[16];
    std::snprintf(type, sizeof type, "0x%04x", k["type"].get<unsigned>());
    std::snprintf(crc, sizeof crc, "0x%08x", f["crc32"].get<uint32_t>());
    std::cout << "flow " << f["appflowid"];
    if (!f["parent"].is_null())
        std::cout << " (extended, on flow " << f["parent"] << ")";
    std::cout << "  slot " << f["slot"] << "  ucc " << f["ucc"] << "  crc32 " << crc
              << (f["crc_matches_key"].get<bool>()
                      ? ""
                      : " (not the key's crc32: the engine will not find it)")
              << "\n  key dmac " << k["dmac"].get<std::string>() << " smac "
              << k["smac"].get<std::string>() << " vlan " << k["vlan"] << " vlan2 " << k["vlan2"]
              << " type " << (name ? name : type);
    if (name)
        std::cout << " src " << k["src"].get<std::string>() << " dst "
                  << k["dst"].get<std::string>() << " sport " << k["sport"] << " dport "
                  << k["dport"];
    std::cout << "\n  actions";
    for (const Json &a : f["actions"])
        std::cout << (&a == &f["actions"].front() ? " " : ", ") << action_text(a);
    std::cout << "\n  packets " << f["packets"] << "  octets " << f["octets"] << "  last-used "
              << f["last_used"] << "\n";
    for (const auto &[copy, label] :
         {std::pair{"cpu", "shadow (cpu)"}, std::pair{"qe", "engine (qe)"}}) {
        const std::string state = f["copies"][copy];
        if (state == "missing")
            std::cout << "  the " << label << " copy shows no line with this key and crc32\n";
        else if (state == "differs")
            std::cout << "  the " << label
                      << " copy's line differs in: " << f["differences"][copy].dump() << "\n";
    }
}

int cmd_list(const Options &o, const std::vector<std::string> &args) {
    if (!args.empty())
        throw UsageError{"list takes no arguments"};
    const Json l = listing(o);
    if (o.json) {
        std::cout << l.dump() << "\n";
        return kExitOk;
    }
    std::cout << l["flows"].size() << " flows (shadow copy " << l["cpu"]["entries"]
              << " entries, engine copy "
              << (l["qe"]["present"].get<bool>() ? l["qe"]["entries"].dump() + " entries"
                                                 : std::string("absent"))
              << ")\n";
    for (const Json &f : l["flows"])
        print_flow(f);
    for (const Json &n : l["notes"])
        std::cout << "note: " << n.get<std::string>() << "\n";
    return kExitOk;
}

int32_t appflowid_arg(const std::vector<std::string> &args, const char *cmd) {
    if (args.size() != 1)
        throw UsageError{std::string(cmd) + " takes one appflowid"};
    return int32_t(parse_number("id", args[0], INT32_MIN, INT32_MAX));
}

int delete_one(const Options &o, int32_t id, bool with_extended) {
    const std::string path = file(o, "delete_flows");
    const std::string text =
        "flow_id=" + std::to_string(id) + (with_extended ? " with_extended=1\n" : "\n");
    if (const int e = write_once(path, text))
        write_failed(path, e);
    return header_result(path, "Previous call of kovaAPIdeleteVoipFlow=");
}

int cmd_del(const Options &o, const std::vector<std::string> &args) {
    const int32_t id = appflowid_arg(args, "del");
    check_root(o);
    const int r = delete_one(o, id, o.with_extended);
    const std::string what = delete_result_text(r, o.with_extended);
    if (r != 0)
        throw Refusal{"flow " + std::to_string(id) + " not deleted: " + what + " (result " +
                      std::to_string(r) + ")"};
    std::cout << "flow " << id << ": " << what << "\n";
    return kExitOk;
}

int cmd_stats(const Options &o, const std::vector<std::string> &args) {
    const int32_t id = appflowid_arg(args, "stats");
    check_root(o);
    for (const FlowLine &f : read_flow_list(o)) {
        if (id < 0 || f.appflowid != uint32_t(id))
            continue;
        if (o.json)
            std::cout << Json{{"appflowid", f.appflowid},
                              {"slot", f.slot},
                              {"ucc", f.ucc},
                              {"packets", f.packets},
                              {"octets", f.octets},
                              {"last_used", f.timestamp}}
                             .dump()
                      << "\n";
        else
            std::cout << "flow " << id << " (slot " << f.slot << ", ucc " << f.ucc << "): packets "
                      << f.packets << " octets " << f.octets << " last-used " << f.timestamp
                      << "\n";
        return kExitOk;
    }
    throw Refusal{"no flow with appflowid " + std::to_string(id)};
}

// Each flow of its own goes with its extended flows (with_extended=1), so
// the extended ones need no deletion of theirs; flow_list is read again to
// see that the table is empty.
int cmd_flush(const Options &o, const std::vector<std::string> &args) {
    if (!args.empty())
        throw UsageError{"flush takes no arguments"};
    check_root(o);
    const std::vector<FlowLine> before = read_flow_list(o);
    std::string done, failed;
    size_t count = 0;
    for (const FlowLine &f : before) {
        if (f.parent >= 0)
            continue;
        const int r = delete_one(o, int32_t(f.appflowid), true);
        if (r != 0) {
            failed += "kovactl: flow " + std::to_string(f.appflowid) +
                      " not deleted: " + delete_result_text(r, true) + " (result " +
                      std::to_string(r) + ")\n";
            continue;
        }
        done += (done.empty() ? ": " : ", ") + std::to_string(f.appflowid);
        ++count;
        std::string ext;
        for (const FlowLine &x : before)
            if (x.parent == int64_t(f.appflowid))
                ext += " " + std::to_string(x.appflowid), ++count;
        if (!ext.empty())
            done += " (with extended" + ext + ")";
    }
    std::cout << "flush: " << count << " flows deleted" << done << "\n";
    std::cerr << failed;
    const std::vector<FlowLine> after = read_flow_list(o);
    if (after.empty())
        return kExitOk;
    std::string left;
    for (const FlowLine &f : after)
        left += " " + std::to_string(f.appflowid);
    throw Refusal{std::to_string(after.size()) + " flows remain (appflowids" + left + ")"};
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
    std::snprintf(text, sizeof text, "lagnum=%lld lagmode=%lld lagportmask=0x%llx\n", (long long)n,
                  (long long)mode, (long long)mask);
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
    static const option longs[] = {{"root", required_argument, nullptr, 'r'},
                                   {"with-extended", no_argument, nullptr, 'x'},
                                   {"json", no_argument, nullptr, 'j'},
                                   {"dry-run", no_argument, nullptr, 'n'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {"version", no_argument, nullptr, 'V'},
                                   {nullptr, 0, nullptr, 0}};
    // '+': options end at the command, so that its values (id=-1, a rule's
    // parameters) are never taken for options; a second pass reads the
    // options given after the command ("kovactl list -j").
    std::vector<std::string> args;
    for (int pass = 0; pass < 2; ++pass) {
        int c;
        opterr = 0; // our own messages: argv[0] is the command in the second pass
        while ((c = getopt_long(argc, argv, "+:r:jnhV", longs, nullptr)) != -1) {
            switch (c) {
            case 'r':
                o.root = optarg;
                break;
            case 'x':
                o.with_extended = true;
                break;
            case 'j':
                o.json = true;
                break;
            case 'n':
                o.dry_run = true;
                break;
            case 'h':
                std::cout << kUsage;
                return kExitOk;
            case 'V':
                std::cout << "kovactl " << KOVA_API_VERSION << "\n";
                return kExitOk;
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
            optind = 0;                     // GNU getopt: start afresh
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
        if (o.with_extended && cmd != "del")
            throw UsageError{"--with-extended goes with del only"};
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
