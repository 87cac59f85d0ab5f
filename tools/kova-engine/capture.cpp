#include "capture.h"

#include <pcap/pcap.h>

#include <cstring>

#include "quote.h"

namespace kova_engine {
namespace {

// Long enough for any frame; libpcap only records it in the file header.
constexpr int kSnapLen = 262144;

struct Bytes {
    std::vector<uint8_t> b;
    void u8(uint8_t v) { b.push_back(v); }
    void u16(uint16_t v) { u8(uint8_t(v >> 8)), u8(uint8_t(v)); }
    void put(const uint8_t *p, size_t n) { b.insert(b.end(), p, p + n); }
    void zeros(size_t n) { b.insert(b.end(), n, 0); }
    void tag(uint16_t tpid, uint16_t vid) { u16(tpid), u16(vid); }
    void set16(size_t at, uint16_t v) { b[at] = uint8_t(v >> 8), b[at + 1] = uint8_t(v); }
};

void v6_address(Bytes &out, const kova_IPADDR &ip) {
    for (uint16_t g : ip.v6)
        out.u16(g);
}

// Appends a 20-byte IPv4 header with its checksum.
void ipv4_header(Bytes &out, const kova_FLOW &f, uint16_t total, uint8_t proto, uint16_t frag) {
    const size_t at = out.b.size();
    out.u8(0x45), out.u8(0), out.u16(total), out.u16(1), out.u16(frag), out.u8(64), out.u8(proto),
        out.u16(0);
    out.put(f.ip_src.v4, 4), out.put(f.ip_dst.v4, 4);
    uint32_t sum = 0;
    for (size_t i = at; i < at + 20; i += 2)
        sum += uint32_t(out.b[i] << 8 | out.b[i + 1]);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    out.set16(at + 10, uint16_t(~sum));
}

void udp_header(Bytes &out, const kova_FLOW &f, uint16_t length) {
    out.u16(f.udp_sport), out.u16(f.udp_dport), out.u16(length), out.u16(0);
}

} // namespace

CaptureReader::~CaptureReader() {
    if (pcap_)
        pcap_close(pcap_);
}

bool CaptureReader::open(const std::string &path, std::string *error) {
    char err[PCAP_ERRBUF_SIZE] = "";
    pcap_ = pcap_open_offline(path.c_str(), err);
    // libpcap's messages name the path as it was given.
    if (!pcap_) {
        *error = kova_tools::escaped(err);
        return false;
    }
    // A link type libpcap does not know has no name.
    const int link = pcap_datalink(pcap_);
    if (link != DLT_EN10MB) {
        const char *name = pcap_datalink_val_to_name(link);
        *error = kova_tools::escaped(path) + ": link type " + (name ? name : std::to_string(link)) +
                 ", not Ethernet (EN10MB)";
        return false;
    }
    return true;
}

bool CaptureReader::next(const uint8_t **data, uint32_t *caplen, uint32_t *wire_len) {
    pcap_pkthdr *h = nullptr;
    const u_char *d = nullptr;
    const int r = pcap_next_ex(pcap_, &h, &d);
    if (r != 1) {
        if (r == PCAP_ERROR)
            error_ = kova_tools::escaped(pcap_geterr(pcap_));
        return false;
    }
    *data = d;
    *caplen = h->caplen;
    *wire_len = h->len;
    return true;
}

bool CaptureSource::fill() {
    at_ = filled_ = 0;
    const uint8_t *data;
    uint32_t caplen, len;
    while (filled_ < kBatch && reader_.next(&data, &caplen, &len)) {
        ++frames_;
        const Decode d = decode_frame(data, caplen, len, port_, &batch_[filled_]);
        ++by_result_[unsigned(d)];
        filled_ += d == Decode::ok;
    }
    return filled_ != 0;
}

bool CaptureWriter::open(const std::string &path, std::string *error) {
    pcap_ = pcap_open_dead(DLT_EN10MB, kSnapLen);
    dumper_ = pcap_ ? pcap_dump_open(pcap_, path.c_str()) : nullptr;
    if (!dumper_) {
        *error = pcap_ ? std::string(pcap_geterr(pcap_)) : path + ": no pcap handle";
        return false;
    }
    return true;
}

void CaptureWriter::write(const std::vector<uint8_t> &frame) {
    // One microsecond apart, from a fixed start: the same flows give the
    // same file.
    pcap_pkthdr h{};
    h.ts.tv_sec = time_t(1700000000 + frames_ / 1000000);
    h.ts.tv_usec = suseconds_t(frames_ % 1000000);
    h.caplen = h.len = bpf_u_int32(frame.size());
    pcap_dump(reinterpret_cast<u_char *>(dumper_), &h, frame.data());
    ++frames_;
}

bool CaptureWriter::close() {
    bool ok = true;
    if (dumper_) {
        ok = pcap_dump_flush(dumper_) == 0;
        pcap_dump_close(dumper_);
        dumper_ = nullptr;
    }
    if (pcap_) {
        pcap_close(pcap_);
        pcap_ = nullptr;
    }
    return ok;
}

bool frame_of(const kova_FLOW &f, uint32_t len, bool port_tag, std::vector<uint8_t> *frame,
              std::string *error) {
    if (f.vlan_id_1 > 0x0FFF || f.vlan_id_2 > 0x0FFF || (port_tag && f.flow_ucc > 0x0FFF)) {
        *error = "a VLAN id above 4095 does not fit a tag";
        return false;
    }
    if (f.eth_type == KOVA_ETH_TYPE_ARP && (f.udp_sport || f.udp_dport)) {
        *error = "an ARP frame carries no ports";
        return false;
    }
    Bytes out;
    out.put(f.eth_dmac, 6), out.put(f.eth_smac, 6);
    if (port_tag)
        out.tag(0x8100, f.flow_ucc);
    if (f.vlan_id_2)
        out.tag(0x88A8, f.vlan_id_1), out.tag(0x8100, f.vlan_id_2);
    else if (f.vlan_id_1)
        out.tag(0x8100, f.vlan_id_1);
    out.u16(f.eth_type);
    const size_t l2 = out.b.size();
    const size_t l3 = f.eth_type == KOVA_ETH_TYPE_IPV4   ? 20
                      : f.eth_type == KOVA_ETH_TYPE_IPV6 ? 40
                                                         : 0;
    const size_t headers = l2 + (l3 ? l3 + 8 : f.eth_type == KOVA_ETH_TYPE_ARP ? 28 : 0);
    if (len < headers) {
        *error = "len=" + std::to_string(len) + " is shorter than the frame's headers (" +
                 std::to_string(headers) + " bytes)";
        return false;
    }
    const uint16_t udp_len = uint16_t(len - l2 - l3);
    if (f.eth_type == KOVA_ETH_TYPE_IPV4) {
        ipv4_header(out, f, uint16_t(len - l2), 17, 0);
        udp_header(out, f, udp_len);
    } else if (f.eth_type == KOVA_ETH_TYPE_IPV6) {
        out.u8(0x60), out.zeros(3), out.u16(udp_len), out.u8(17), out.u8(64);
        v6_address(out, f.ip_src), v6_address(out, f.ip_dst);
        udp_header(out, f, udp_len);
    } else if (f.eth_type == KOVA_ETH_TYPE_ARP) {
        out.u16(1), out.u16(KOVA_ETH_TYPE_IPV4), out.u8(6), out.u8(4), out.u16(1);
        out.put(f.eth_smac, 6), out.put(f.ip_src.v4, 4), out.zeros(6), out.put(f.ip_dst.v4, 4);
    }
    out.zeros(len - out.b.size());
    *frame = std::move(out.b);
    return true;
}

std::vector<std::pair<Decode, std::vector<uint8_t>>> undecodable_frames() {
    kova_FLOW f{};
    const uint8_t dmac[6] = {0x02, 0, 0, 0, 0xBA, 0xD0}, smac[6] = {0x02, 0, 0, 0, 0xBA, 0xD1};
    std::memcpy(f.eth_dmac, dmac, 6);
    std::memcpy(f.eth_smac, smac, 6);
    f.eth_type = KOVA_ETH_TYPE_IPV4;
    const uint8_t src[4] = {192, 0, 2, 1}, dst[4] = {192, 0, 2, 2};
    std::memcpy(f.ip_src.v4, src, 4);
    std::memcpy(f.ip_dst.v4, dst, 4);
    auto l2 = [&](std::initializer_list<uint16_t> types) {
        Bytes b;
        b.put(dmac, 6), b.put(smac, 6);
        for (uint16_t t : types)
            b.u16(t);
        return b;
    };
    std::vector<std::pair<Decode, std::vector<uint8_t>>> out;
    Bytes cut = l2({0x0800}); // an IPv4 header cut short
    ipv4_header(cut, f, 28, 17, 0);
    cut.b.resize(cut.b.size() - 4);
    out.emplace_back(Decode::truncated, cut.b);
    Bytes llc = l2({46}); // an 802.3 length, then LLC
    llc.zeros(46);
    out.emplace_back(Decode::unsupported_ethertype, llc.b);
    Bytes three = l2({0x88A8, 1, 0x8100, 2, 0x8100, 3, 0x0800});
    ipv4_header(three, f, 28, 17, 0);
    udp_header(three, f, 8);
    out.emplace_back(Decode::too_many_tags, three.b);
    Bytes v5 = l2({0x0800});
    ipv4_header(v5, f, 28, 17, 0);
    v5.b[14] = 0x55; // version 5
    udp_header(v5, f, 8);
    out.emplace_back(Decode::malformed_ip, v5.b);
    Bytes frag = l2({0x0800});
    ipv4_header(frag, f, 28, 17, 185); // offset 185 * 8
    frag.zeros(8);
    out.emplace_back(Decode::non_first_fragment, frag.b);
    Bytes rarp = l2({0x0806});
    rarp.u16(6), rarp.u16(0x0800), rarp.u8(6), rarp.u8(4), rarp.u16(1); // an IEEE 802 hardware type
    rarp.zeros(20);
    out.emplace_back(Decode::malformed_arp, rarp.b);
    for (auto &[why, frame] : out)
        if (frame.size() < 60)
            frame.resize(why == Decode::truncated ? frame.size() : 60);
    return out;
}

} // namespace kova_engine
