// An item's Modbus mapping and the conversions between OPC values and the
// registers that masters see, in both directions, plus the texts that show or
// save a mapping.
#pragma once

#include "ostrand.h"

#include <cstdint>
#include <string>

namespace quorvane {

// Data representation of a mapping. The codes are the VARIANT type numbers the
// representation converts through; SCALED has a number of its own.
enum DataTypeCode : uint16_t {
    DT_SHORT = 2,
    DT_FLOAT = 4,
    DT_DATE = 7,
    DT_BOOL = 11,
    DT_UNSIGNED = 18,
    DT_SCALED = 1738,
};

// Point type codes (the Modbus read function codes).
enum PointTypeCode : int32_t {
    PT_COIL_STATUS = 1,
    PT_INPUT_STATUS = 2,
    PT_HOLDING_REGISTER = 3,
    PT_INPUT_REGISTER = 4,
};

// The Modbus side of one OPC item, with the defaults of a new item.
struct PointMapping {
    uint8_t slaveId = 1;
    int32_t pointType = PT_HOLDING_REGISTER;
    uint16_t address = 100;
    uint16_t dataType = DT_UNSIGNED;
    float dataLow = 0.0f;
    float dataHigh = 100.0f;
    float registerLow = 0.0f;
    float registerHigh = 9999.0f;

    // Registers the point occupies: 2 for FLOAT (address and address + 1).
    int RegisterCount() const { return dataType == DT_FLOAT ? 2 : 1; }
    bool operator==(const PointMapping&) const = default;
};

// Registers produced from one OPC value.
struct RegisterWords {
    int count = 1;         // 1, or 2 for FLOAT
    uint16_t words[2] = {}; // words[0] for the address, words[1] for address + 1
};

// OPC value -> register(s), coerced through the representation's VARIANT type.
// A failed coercion gives the representation's fallback (0, or 0.0 scaled).
RegisterWords OpcValueToRegisters(const VARIANT& value, const PointMapping& mapping);

// A master's pending words -> the VARIANT to write to the OPC item. Returns
// false (and leaves `out` VT_EMPTY) for DATE and unknown codes, which are
// never written back.
bool PendingToOpcValue(const PointMapping& mapping, uint16_t first, uint16_t second, VARIANT* out);

// Linear scaling of a SCALED mapping. Equal limits never divide: reading gives
// register low, writing back gives data low.
uint16_t ScaleToRegister(float value, const PointMapping& mapping);
float ScaleToData(uint16_t reg, const PointMapping& mapping);

// Float -> int32 truncation toward zero that stays defined for values out of
// range (saturated) and for NaN (0).
int32_t TruncateToInt32(double value);

// Reference prefix digit of a point type: 0, 1, 4, 3 for codes 1 to 4; any
// other code stands for itself.
int32_t ReferenceDigit(int32_t pointType);

// "%d%4d" of digit and address with the blanks of the three characters after
// the digit turned to '0' (holding register 100 -> "40100").
std::string FormatReferenceNumber(int32_t pointType, uint16_t address);

// The "Modbus Data Representation" text from the registers already read
// (registers without a backing block read as 0): "1:40100 = 4999".
std::string FormatPointReferenceText(const PointMapping& mapping, uint16_t first, uint16_t second);

// Configuration file keyword of a data type: "SHORT", "FLOAT", "DATE", "BOOL",
// "SCALED", and "UNSIGNED" for every other code.
const char* DataTypeKeyword(uint16_t dataType);

// One item line of a group section, without the line end:
// "Channel1.Device1.Speed,1,40001,SHORT" or "...,SCALED0-4095,0.00,100.00".
std::string FormatItemLine(const std::string& itemId, const PointMapping& mapping);

// The group line, without the line end: "Line1,1000,0.000000".
std::string FormatGroupLine(const std::string& name, int32_t updateRate, float deadband);

// Lines of the configuration file must stay below this many characters to be
// read back.
constexpr size_t kMaxConfigLineLength = 199;

} // namespace quorvane
