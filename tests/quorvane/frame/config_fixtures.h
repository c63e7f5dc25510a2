// Data shared by the frame tests: the configuration file of the worked
// example, as Save writes it, and serial settings records built in one line.
#pragma once

#include "pellacor.h"

#include <cstdint>
#include <cstring>

// Records compare byte for byte (20 bytes, no padding).
inline bool operator==(const PortSettings& a, const PortSettings& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

namespace quorvane::test {

inline constexpr char kWorkedExample[] =
    "\r\n[MODBUS]\r\n"
    "CONNECT RTU,COMM1,9600,8,1,NONE,,\r\n"
    "CONNECT ASCII,COMM2,19200,7,2,EVEN,RTS,DTR\r\n"
    "CONNECT TCP, 502\r\n"
    "\r\n[SERVER]\r\n"
    "LOCAL MACHINE\r\n"
    "Demo.Server.1\r\n"
    "\r\n[GROUP1]\r\n"
    "Line1,1000,0.000000\r\n"
    "Channel1.Device1.Speed,1,40001,SHORT\r\n"
    "Channel1.Device1.Temp,1,40002,FLOAT\r\n"
    "Channel1.Device1.Run,1,00010,BOOL\r\n"
    "Channel1.Device1.Level,2,30005,SCALED0-4095,0.00,100.00\r\n";

// Parity 0 none, 1 odd, 2 even; stop bits 0 one, 1 one and a half, 2 two.
// Spare bytes stay zero.
inline PortSettings Settings(uint32_t baud, uint8_t dataBits, uint8_t parity, uint8_t stopBits, uint32_t cts = 0,
                             uint32_t dsr = 0, uint8_t rtsLead = 0, uint8_t rtsTail = 0) {
    PortSettings s{};
    s.baudRate = baud;
    s.dataBits = dataBits;
    s.parity = parity;
    s.stopBits = stopBits;
    s.ctsFlow = cts;
    s.dsrFlow = dsr;
    s.rtsLeadDelay = rtsLead;
    s.rtsTailDelay = rtsTail;
    return s;
}

// COM1 and COM2 of the worked example.
inline const PortSettings kWorkedCom1 = Settings(9600, 8, 0, 0);
inline const PortSettings kWorkedCom2 = Settings(19200, 7, 2, 2, 1, 1);

} // namespace quorvane::test
