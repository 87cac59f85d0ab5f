// Capture files through libpcap (pcap and pcapng in, pcap out) and the
// frames kova-pcapgen writes into them. The decoder (pcap_decode.h) stays
// apart from this, without libpcap.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "pcap_decode.h"

struct pcap;
struct pcap_dumper;

namespace kova_engine {

class CaptureReader {
public:
    CaptureReader() = default;
    CaptureReader(const CaptureReader &) = delete;
    CaptureReader &operator=(const CaptureReader &) = delete;
    ~CaptureReader();

    // A pcap or pcapng file of Ethernet frames; false with the reason.
    bool open(const std::string &path, std::string *error);
    // The next frame's captured bytes and its length on the wire; false at
    // the end of the file or on a read error (then error() is not empty).
    bool next(const uint8_t **data, uint32_t *caplen, uint32_t *wire_len);
    const std::string &error() const { return error_; }

private:
    pcap *pcap_ = nullptr;
    std::string error_;
};

// The packets of a capture, decoded a batch of frames at a time as an engine
// takes a burst from its port: the lookups of a batch then follow each other
// and the memory reads of their walks overlap, as they do for a trace's
// packets, instead of waiting behind each frame's decoding. Frames without a
// key are counted by reason and skipped.
class CaptureSource {
public:
    CaptureSource(CaptureReader &reader, const PortChoice &port) : reader_(reader), port_(port) {}

    // The next packet; null after the last one.
    const Packet *next() {
        if (at_ == filled_ && !fill())
            return nullptr;
        return &batch_[at_++];
    }
    uint64_t frames() const { return frames_; }
    // Frames per Decode result.
    const uint64_t *by_result() const { return by_result_; }

private:
    bool fill();

    static constexpr unsigned kBatch = 32;
    CaptureReader &reader_;
    PortChoice port_;
    Packet batch_[kBatch];
    unsigned at_ = 0, filled_ = 0;
    uint64_t frames_ = 0, by_result_[kDecodeResults] = {};
};

class CaptureWriter {
public:
    CaptureWriter() = default;
    CaptureWriter(const CaptureWriter &) = delete;
    CaptureWriter &operator=(const CaptureWriter &) = delete;
    ~CaptureWriter() { close(); }

    // A new pcap file of Ethernet frames; false with the reason.
    bool open(const std::string &path, std::string *error);
    // One frame, whole: captured as long as it was on the wire.
    void write(const std::vector<uint8_t> &frame);
    // Flushes and closes; false when the file could not be written.
    bool close();

private:
    pcap *pcap_ = nullptr;
    pcap_dumper *dumper_ = nullptr;
    uint64_t frames_ = 0;
};

// The frame of a flow description, `len` bytes on the wire: Ethernet; an
// 0x8100 tag for vlan_id_1 alone, or an 0x88a8 tag with vlan_id_1 and an
// 0x8100 tag with vlan_id_2 when vlan_id_2 is set; then for eth_type 0x0800
// and 0x86DD an IP header and a UDP header with the ports, for 0x0806 an
// Ethernet/IPv4 ARP request from ip_src to ip_dst; zero bytes after that up
// to `len`. With `port_tag` an 0x8100 tag whose VLAN id is flow_ucc comes
// first. False with the reason for a flow no frame decodes back to: a VLAN
// id above 4095, an ARP flow with ports, or `len` short of the headers.
bool frame_of(const kova_FLOW &flow, uint32_t len, bool port_tag, std::vector<uint8_t> *frame,
              std::string *error);

// One frame for each reason the decoder gives for not keying a frame, with
// that reason; none of them has a port tag.
std::vector<std::pair<Decode, std::vector<uint8_t>>> undecodable_frames();

} // namespace kova_engine
