// Modbus/TCP frames as a capture file that packet analysers read: the classic
// pcap format, link type raw IPv4, each frame one TCP segment of a made-up
// connection between a master (192.0.2.1, port 49152) and the slave
// (192.0.2.2, port 502) with sequence numbers that run on, so an analyser
// takes every frame as Modbus/TCP.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace quorvane {

struct PcapFrame {
    int64_t timeMs = 0;         // milliseconds since 1970
    bool fromMaster = false;    // a request (master to slave) or a reply
    std::span<const uint8_t> bytes; // the MBAP frame
};

// The whole file. A frame above 65,495 bytes (no Modbus/TCP frame is) is cut.
std::string ModbusTcpPcap(const std::vector<PcapFrame>& frames);

} // namespace quorvane
