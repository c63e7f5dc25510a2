// Writing the configuration file: the "[MODBUS]" and "[SERVER]" sections; the
// group sections come from the groups themselves.
#include "frame/config/config_file.h"

namespace quorvane {
namespace {

// Whether a text fits on a line that can be read back.
bool Fits(const std::string& text) { return text.size() <= kMaxConfigLineLength; }

// A name short enough to quote in a one-line message.
std::string Shorten(const std::string& text) { return text.size() <= 40 ? text : text.substr(0, 40) + "..."; }

} // namespace

std::string FormatLinkLine(const SerialLinkSnapshot& link) {
    const PortSettings& s = link.settings;
    std::string line = link.protocol == 1 ? "CONNECT RTU," : "CONNECT ASCII,";
    line += "COMM" + std::to_string(link.port) + "," + std::to_string(s.baudRate) + "," +
            std::to_string(s.dataBits) + ",";
    line += s.stopBits == 0 ? "1," : s.stopBits == 1 ? "1.5," : "2,";
    line += s.parity == 1 ? "ODD," : s.parity == 2 ? "EVEN," : "NONE,";
    if (s.ctsFlow != 0) line += "RTS";
    line += ",";
    if (s.dsrFlow != 0) line += "DTR";
    // Only when set, so that a file without the option reads as before.
    if (link.protocol == 1 && link.endAfter35) line += ",T35";
    line += "\r\n";
    return line;
}

SaveOutput WriteConfiguration(const SaveSnapshot& snapshot) {
    SaveOutput out;
    out.bytes = "\r\n[MODBUS]\r\n";
    for (const SerialLinkSnapshot& link : snapshot.serialLinks) out.bytes += FormatLinkLine(link);
    if (snapshot.tcpOpen) out.bytes += "CONNECT TCP, 502\r\n";
    if (!snapshot.connected) return out;

    const std::string machine = snapshot.machine.empty() ? std::string("LOCAL MACHINE") : snapshot.machine;
    if (!Fits(machine) || !Fits(snapshot.server)) {
        // Without a readable server section no group could be restored either.
        out.leftOut.push_back("the OPC server " + snapshot.server);
        return out;
    }
    out.bytes += "\r\n[SERVER]\r\n" + machine + "\r\n" + snapshot.server + "\r\n";
    if (snapshot.writeGroups) snapshot.writeGroups(out.bytes, out.leftOut);
    return out;
}

std::string DescribeLeftOut(const std::vector<std::string>& leftOut) {
    if (leftOut.empty()) return {};
    std::string text = "Not saved, lines longer than 199 characters: ";
    for (size_t i = 0; i < leftOut.size(); ++i) {
        if (i > 0) text += "; ";
        text += Shorten(leftOut[i]);
    }
    return text;
}

} // namespace quorvane
