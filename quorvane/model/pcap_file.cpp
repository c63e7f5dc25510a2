#include "model/pcap_file.h"

#include <algorithm>
#include <array>

namespace quorvane {
namespace {

constexpr uint32_t kLinkTypeRawIpv4 = 101; // LINKTYPE_RAW
constexpr size_t kIpHeader = 20;
constexpr size_t kTcpHeader = 20;
constexpr size_t kMaxPayload = 65535 - kIpHeader - kTcpHeader;
constexpr std::array<uint8_t, 4> kMaster = {192, 0, 2, 1};
constexpr std::array<uint8_t, 4> kSlave = {192, 0, 2, 2};
constexpr uint16_t kMasterPort = 49152;
constexpr uint16_t kSlavePort = 502;

// The file's own fields are little-endian (its magic number says so).
void Le32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}
void Le16(std::string& out, uint16_t v) {
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>(v >> 8);
}
// Packet headers are in network order.
void Be16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}
void Be32(std::vector<uint8_t>& out, uint32_t v) {
    Be16(out, static_cast<uint16_t>(v >> 16));
    Be16(out, static_cast<uint16_t>(v));
}

// The Internet checksum (RFC 1071) over `bytes`, starting from `sum`.
uint32_t Sum16(std::span<const uint8_t> bytes, uint32_t sum = 0) {
    for (size_t i = 0; i < bytes.size(); i += 2)
        sum += static_cast<uint32_t>(bytes[i] << 8 | (i + 1 < bytes.size() ? bytes[i + 1] : 0));
    return sum;
}
uint16_t Fold(uint32_t sum) {
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

} // namespace

std::string ModbusTcpPcap(const std::vector<PcapFrame>& frames) {
    std::string out;
    Le32(out, 0xA1B2C3D4); // microsecond time stamps
    Le16(out, 2);
    Le16(out, 4);
    Le32(out, 0); // time zone
    Le32(out, 0); // accuracy
    Le32(out, 65535);
    Le32(out, kLinkTypeRawIpv4);

    uint32_t masterSeq = 1, slaveSeq = 1;
    uint16_t ipId = 1;
    for (const PcapFrame& frame : frames) {
        const std::span<const uint8_t> payload = frame.bytes.first(std::min(frame.bytes.size(), kMaxPayload));
        const auto& from = frame.fromMaster ? kMaster : kSlave;
        const auto& to = frame.fromMaster ? kSlave : kMaster;
        uint32_t& seq = frame.fromMaster ? masterSeq : slaveSeq;
        const uint32_t ack = frame.fromMaster ? slaveSeq : masterSeq;

        std::vector<uint8_t> packet;
        packet.reserve(kIpHeader + kTcpHeader + payload.size());
        // IPv4: version 4, 5 words, total length, id, don't fragment, TTL 64, TCP.
        packet.push_back(0x45);
        packet.push_back(0);
        Be16(packet, static_cast<uint16_t>(kIpHeader + kTcpHeader + payload.size()));
        Be16(packet, ipId++);
        Be16(packet, 0x4000);
        packet.push_back(64);
        packet.push_back(6);
        Be16(packet, 0); // checksum, below
        packet.insert(packet.end(), from.begin(), from.end());
        packet.insert(packet.end(), to.begin(), to.end());
        const uint16_t ipSum = Fold(Sum16(std::span<const uint8_t>(packet).first(kIpHeader)));
        packet[10] = static_cast<uint8_t>(ipSum >> 8);
        packet[11] = static_cast<uint8_t>(ipSum);
        // TCP: ports, sequence, acknowledgement, 5 words, PSH ACK, window.
        Be16(packet, frame.fromMaster ? kMasterPort : kSlavePort);
        Be16(packet, frame.fromMaster ? kSlavePort : kMasterPort);
        Be32(packet, seq);
        Be32(packet, ack);
        packet.push_back(0x50);
        packet.push_back(0x18);
        Be16(packet, 65535);
        Be16(packet, 0); // checksum, below
        Be16(packet, 0); // urgent pointer
        packet.insert(packet.end(), payload.begin(), payload.end());
        // TCP checksum over the pseudo-header (addresses, protocol, length) and the segment.
        std::vector<uint8_t> pseudo(from.begin(), from.end());
        pseudo.insert(pseudo.end(), to.begin(), to.end());
        pseudo.push_back(0);
        pseudo.push_back(6);
        Be16(pseudo, static_cast<uint16_t>(kTcpHeader + payload.size()));
        const uint16_t tcpSum =
            Fold(Sum16(std::span<const uint8_t>(packet).subspan(kIpHeader), Sum16(pseudo)));
        packet[kIpHeader + 16] = static_cast<uint8_t>(tcpSum >> 8);
        packet[kIpHeader + 17] = static_cast<uint8_t>(tcpSum);
        seq += static_cast<uint32_t>(payload.size());

        const int64_t ms = frame.timeMs < 0 ? 0 : frame.timeMs;
        Le32(out, static_cast<uint32_t>(ms / 1000));
        Le32(out, static_cast<uint32_t>(ms % 1000 * 1000));
        Le32(out, static_cast<uint32_t>(packet.size()));
        Le32(out, static_cast<uint32_t>(packet.size()));
        out.append(reinterpret_cast<const char*>(packet.data()), packet.size());
    }
    return out;
}

} // namespace quorvane
