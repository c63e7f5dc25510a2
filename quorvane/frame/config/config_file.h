// The configuration file: comma-separated 8-bit text with a "[MODBUS]"
// section (open links), a "[SERVER]" section (machine and server) and one
// "[GROUP%d]" section per OPC group with its item lines.
//
// Everything here works on bytes in memory and knows nothing of Qt, Pellacor
// or Ostrand: the reader hands what it finds to a RestoreTarget, the writer
// turns a SaveSnapshot into the file's bytes.
#pragma once

#include "model/conversion.h"
#include "pellacor.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane {

// A line must be shorter than this to be read back (one byte stays for the
// terminating NUL of the classic 200-byte line buffer).
constexpr size_t kConfigLineBuffer = kMaxConfigLineLength + 1;

// ---------------------------------------------------------------------------
// Reader primitives.

// Reads one line starting at `pos`. A line ends at CR or LF; when the next
// byte is CR or LF too it is consumed with it (CR LF, LF CR, CR CR, LF LF).
// A last line without CR or LF is read as well. No line (false) when nothing
// is left, or when the line reaches kConfigLineBuffer characters: `pos` is
// then moved to the end, so every later read fails as well.
bool ReadConfigLine(std::string_view file, size_t& pos, std::string& line);

// Position just after the first line that begins with `header`
// (case-sensitive, trailing text allowed); searched from the file's start.
std::optional<size_t> FindSection(std::string_view file, std::string_view header);

// Field `n` (from 1) of a line, separated by ','; a field also ends at CR or
// LF. Blanks belong to the field. Empty when the line has fewer fields.
std::string GetField(std::string_view line, int n);

// Number scanning in the manner of "%d" and "%f": leading white space
// skipped, sign allowed, anything after the number ignored. No number at the
// start: nullopt. Integers beyond 32 bits saturate.
std::optional<int32_t> ScanInt(std::string_view text);
std::optional<float> ScanFloat(std::string_view text);
// "COMM%d": the literal text, then a number.
std::optional<int32_t> ScanCommPort(std::string_view field);
// "SCALED%d-%d": both numbers present.
std::optional<std::pair<int32_t, int32_t>> ScanScaledRange(std::string_view field);

// ---------------------------------------------------------------------------
// Parsed lines.

// The serial line settings a link line carries; applied over the port's
// current record, whose RTS delays become 0 and whose spare bytes stay.
struct LinkLine {
    int32_t port = 1;
    uint8_t protocol = 1; // 1 RTU, 0 ASCII
    uint32_t baudRate = 9600;
    uint8_t dataBits = 8;
    uint8_t stopBits = 0;
    uint8_t parity = 0;
    uint32_t ctsFlow = 0;
    uint32_t dsrFlow = 0;
    bool endAfter35 = false; // RTU line with the trailing field "T35"
};

// An item line: the item ID and its mapping, whose fields the line does not
// carry keep the defaults of a new item.
struct ItemLine {
    std::string itemId;
    PointMapping mapping;
};

struct GroupLine {
    std::string name;
    int32_t updateRate = 1000; // kept when the file's rate is not a number
    float deadband = 0.0f;
};

// A Modbus reference of an item line. Up to five digits: below 10000 a coil,
// below 20000 an input, below 40000 an input register (from 30000), else a
// holding register (from 40000), addresses wrapping in 16 bits. Six digits:
// the type digit (0 coil, 1 input, 3 input register, 4 holding register)
// followed by the address 1 to 65535 ("412345" is holding register 12345).
// Anything else (a sign, seven digits, another type digit, address 0 or above
// 65535 in six digits): nullopt.
struct ModbusReference {
    int32_t pointType = PT_HOLDING_REGISTER;
    uint16_t address = 0;
};
std::optional<ModbusReference> ParseReference(std::string_view field);

// Fills `item` from an item line; false when the line is rejected (`item`
// may then be partly filled and is to be discarded). `badReference`, when
// given, tells whether the rejection was a number that is no reference.
bool ParseItemLine(std::string_view line, ItemLine& item, bool* badReference = nullptr);
// The message for an item line skipped for its reference, naming the line.
std::string DescribeBadReference(int lineNumber, std::string_view line);
GroupLine ParseGroupLine(std::string_view line);

enum class LinkLineKind { Serial, Tcp, End };
// Classifies one line of the "[MODBUS]" section and, for a serial link,
// fills `link`.
LinkLineKind ParseLinkLine(std::string_view line, LinkLine& link);

// ---------------------------------------------------------------------------
// Restore.

// What a restore acts on, in the order the file asks for it.
class RestoreTarget {
public:
    virtual ~RestoreTarget() = default;
    virtual void CloseAllGroups() = 0;
    virtual void Disconnect() = 0;
    virtual void OpenSerialLink(const LinkLine& link) = 0; // port is 1 to 9
    virtual void OpenTcpLink() = 0;
    virtual void ConnectFromConfiguration(const std::string& machine, const std::string& server) = 0;
    virtual bool IsConnected() const = 0;
    // AddGroup and, when it succeeds, the group's document.
    virtual void AddGroupFromConfiguration(const GroupLine& group) = 0;
    // Hands an accepted item to the first open group of that name.
    virtual void AddItemFromConfiguration(const std::string& groupName, const ItemLine& item) = 0;
    // An item line skipped because its reference is none; `message` names
    // the line.
    virtual void SkipLine(const std::string& message) = 0;
};

// The restore proper, over a file already read into memory.
void RestoreConfiguration(std::string_view file, RestoreTarget& target);

// ---------------------------------------------------------------------------
// Save.

struct SerialLinkSnapshot {
    int32_t port = 1;
    uint8_t protocol = 1;
    PortSettings settings{};
    bool endAfter35 = false; // RTU only: written as a trailing ",T35"
};

struct SaveSnapshot {
    std::vector<SerialLinkSnapshot> serialLinks; // open links, port order
    bool tcpOpen = false;
    bool connected = false;
    std::string machine;
    std::string server;
    // Appends the group sections, numbered from 1 in opening order, and names
    // what could not be written to `leftOut`.
    std::function<void(std::string& out, std::vector<std::string>& leftOut)> writeGroups;
};

struct SaveOutput {
    std::string bytes;
    // Names of what was left out because its line would not be read back.
    std::vector<std::string> leftOut;
};

std::string FormatLinkLine(const SerialLinkSnapshot& link);
SaveOutput WriteConfiguration(const SaveSnapshot& snapshot);
// One line naming what WriteConfiguration left out; empty when nothing was.
std::string DescribeLeftOut(const std::vector<std::string>& leftOut);

} // namespace quorvane
