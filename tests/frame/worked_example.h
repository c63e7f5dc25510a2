// The configuration file of the worked example, as Save writes it.
#pragma once

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

} // namespace quorvane::test
