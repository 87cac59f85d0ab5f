// kova-pcapgen: writes a pcap capture of chosen flows with libpcap's own
// writer, for replaying through kova-engine --pcap (or tcpreplay). The flows
// are packet lines as kova-engine's traces take them (trace.h); each line
// becomes `count` frames of `len` bytes, in the order of the file. See
// frame_of() in capture.h for the frames.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "capture.h"
#include "trace.h"

namespace {

void usage(FILE *out) {
    std::fprintf(
        out,
        "usage: kova-pcapgen [--port-tags] [--undecodable] FLOWS OUT.pcap\n"
        "\n"
        "  FLOWS          packet lines as for kova-engine --trace; each gives `count` frames\n"
        "                 of `len` bytes: Ethernet, vlan1 alone as an 0x8100 tag, vlan1 and\n"
        "                 vlan2 as 0x88a8 + 0x8100 tags, IPv4 or IPv6 with UDP, Ethernet/IPv4\n"
        "                 ARP from src to dst, any other eth_type with zero bytes\n"
        "  --port-tags    an outer 0x8100 tag whose VLAN id is the line's ucc, for\n"
        "                 kova-engine --pcap FILE --port vlan\n"
        "  --undecodable  then one frame of each kind kova-engine cannot key: truncated,\n"
        "                 an 802.3 length, three tags, a malformed IPv4 header, a non-first\n"
        "                 fragment, a non-Ethernet ARP (and, with --port-tags, an untagged one)\n");
}

} // namespace

int main(int argc, char **argv) {
    using namespace kova_engine;
    bool port_tags = false, undecodable = false;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        } else if (a == "--port-tags") {
            port_tags = true;
        } else if (a == "--undecodable") {
            undecodable = true;
        } else if (!a.empty() && a[0] != '-') {
            files.push_back(a);
        } else {
            std::fprintf(stderr, "kova-pcapgen: unknown option %s\n", a.c_str());
            usage(stderr);
            return 2;
        }
    }
    if (files.size() != 2) {
        usage(stderr);
        return 2;
    }
    std::vector<TraceLine> lines;
    std::string error;
    if (!read_lines(files[0].c_str(), &lines, &error)) {
        std::fprintf(stderr, "kova-pcapgen: %s\n", error.c_str());
        return 1;
    }
    // Every frame is made before the file is created: a bad line leaves no
    // half-written capture.
    std::vector<std::vector<uint8_t>> frames(lines.size());
    for (size_t i = 0; i < lines.size(); ++i)
        if (!frame_of(lines[i].flow, lines[i].packet.len, port_tags, &frames[i], &error)) {
            std::fprintf(stderr, "kova-pcapgen: %s: packet line %zu: %s\n", files[0].c_str(), i + 1,
                         error.c_str());
            return 1;
        }
    CaptureWriter out;
    if (!out.open(files[1], &error)) {
        std::fprintf(stderr, "kova-pcapgen: %s\n", error.c_str());
        return 1;
    }
    uint64_t written = 0;
    for (size_t i = 0; i < lines.size(); ++i)
        for (uint64_t n = 0; n < lines[i].count; ++n, ++written)
            out.write(frames[i]);
    if (undecodable) {
        auto bad = undecodable_frames();
        if (port_tags) {
            // Tagged as from UCC 0; the malformed IPv4 frame mended and
            // left untagged lacks only the tag.
            std::vector<uint8_t> untagged;
            for (const auto &b : bad)
                if (b.first == Decode::malformed_ip)
                    untagged = b.second;
            untagged[14] = 0x45;
            for (auto &b : bad)
                b.second.insert(b.second.begin() + 12, {0x81, 0x00, 0x00, 0x00});
            bad.emplace_back(Decode::no_port_tag, untagged);
        }
        for (const auto &b : bad)
            out.write(b.second), ++written;
    }
    if (!out.close()) {
        std::fprintf(stderr, "kova-pcapgen: %s: write failed\n", files[1].c_str());
        return 1;
    }
    std::printf("kova-pcapgen: %llu frames in %s\n", (unsigned long long)written, files[1].c_str());
    return 0;
}
