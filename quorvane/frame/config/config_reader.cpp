// Reading the configuration file: line and field primitives, number scanning
// and the restore order.
#include "frame/config/config_file.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace quorvane {
namespace {

bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }

// White space as the scanning conversions skip it.
bool IsScanSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

size_t SkipSpace(std::string_view text, size_t i) {
    while (i < text.size() && IsScanSpace(text[i])) ++i;
    return i;
}

// Scans an integer at `i`; on success `i` moves past it.
std::optional<int32_t> ScanIntAt(std::string_view text, size_t& i) {
    size_t p = SkipSpace(text, i);
    bool negative = false;
    if (p < text.size() && (text[p] == '+' || text[p] == '-')) {
        negative = text[p] == '-';
        ++p;
    }
    size_t digits = p;
    int64_t value = 0;
    constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
    while (p < text.size() && text[p] >= '0' && text[p] <= '9') {
        if (value <= kLimit) value = value * 10 + (text[p] - '0');
        ++p;
    }
    if (p == digits) return std::nullopt;
    if (negative) value = -value;
    if (value > std::numeric_limits<int32_t>::max()) value = std::numeric_limits<int32_t>::max();
    if (value < std::numeric_limits<int32_t>::min()) value = std::numeric_limits<int32_t>::min();
    i = p;
    return static_cast<int32_t>(value);
}

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && text.substr(0, prefix.size()) == prefix;
}

} // namespace

bool ReadConfigLine(std::string_view file, size_t& pos, std::string& line) {
    line.clear();
    if (pos >= file.size()) {
        pos = file.size();
        return false;
    }
    size_t end = pos;
    while (end < file.size() && !IsLineEnd(file[end])) {
        if (end - pos + 1 >= kConfigLineBuffer) { // the line does not fit
            pos = file.size();
            return false;
        }
        ++end;
    }
    line.assign(file.substr(pos, end - pos));
    size_t next = end;
    if (next < file.size()) { // ended at CR or LF; a second one belongs to it
        ++next;
        if (next < file.size() && IsLineEnd(file[next])) ++next;
    }
    pos = next;
    return true;
}

std::optional<size_t> FindSection(std::string_view file, std::string_view header) {
    size_t pos = 0;
    std::string line;
    while (ReadConfigLine(file, pos, line)) {
        if (StartsWith(line, header)) return pos;
    }
    return std::nullopt;
}

std::string GetField(std::string_view line, int n) {
    if (n < 1) return {};
    size_t start = 0;
    for (int field = 1; field < n; ++field) {
        size_t i = start;
        while (i < line.size() && line[i] != ',' && !IsLineEnd(line[i])) ++i;
        if (i >= line.size() || line[i] != ',') return {};
        start = i + 1;
    }
    size_t end = start;
    while (end < line.size() && line[end] != ',' && !IsLineEnd(line[end])) ++end;
    return std::string(line.substr(start, end - start));
}

std::optional<int32_t> ScanInt(std::string_view text) {
    size_t i = 0;
    return ScanIntAt(text, i);
}

std::optional<float> ScanFloat(std::string_view text) {
    size_t p = SkipSpace(text, 0);
    bool negative = false;
    if (p < text.size() && (text[p] == '+' || text[p] == '-')) {
        negative = text[p] == '-';
        ++p;
    }
    // A second sign is not a number ("--1"), which from_chars would not see.
    if (p < text.size() && (text[p] == '+' || text[p] == '-')) return std::nullopt;
    // from_chars is independent of the process locale, unlike strtof.
    float value = 0;
    auto [end, ec] = std::from_chars(text.data() + p, text.data() + text.size(), value);
    if (end == text.data() + p) return std::nullopt;
    if (ec == std::errc::result_out_of_range) {
        // Beyond the range of a float: infinity, as the classic conversion
        // gives; below its smallest value: 0.
        std::string_view number(text.data() + p, static_cast<size_t>(end - (text.data() + p)));
        size_t e = number.find_first_of("eE");
        bool tiny = e != std::string_view::npos && e + 1 < number.size() && number[e + 1] == '-';
        value = tiny ? 0.0f : std::numeric_limits<float>::infinity();
    } else if (ec != std::errc()) {
        return std::nullopt;
    }
    if (negative) value = -value;
    return value;
}

std::optional<int32_t> ScanCommPort(std::string_view field) {
    if (!StartsWith(field, "COMM")) return std::nullopt;
    return ScanInt(field.substr(4));
}

std::optional<std::pair<int32_t, int32_t>> ScanScaledRange(std::string_view field) {
    if (!StartsWith(field, "SCALED")) return std::nullopt;
    size_t i = 6;
    auto low = ScanIntAt(field, i);
    if (!low || i >= field.size() || field[i] != '-') return std::nullopt;
    ++i;
    auto high = ScanIntAt(field, i);
    if (!high) return std::nullopt;
    return std::make_pair(*low, *high);
}

std::optional<ModbusReference> ParseReference(std::string_view field) {
    size_t p = SkipSpace(field, 0);
    size_t digits = p;
    while (digits < field.size() && field[digits] >= '0' && field[digits] <= '9') ++digits;
    const size_t count = digits - p;
    if (count == 0 || count > 6) return std::nullopt; // also a sign: no form has one
    uint32_t r = 0;
    for (size_t i = p; i < digits; ++i) r = r * 10 + static_cast<uint32_t>(field[i] - '0');
    ModbusReference ref;
    if (count == 6) {
        // The type digit, then the address 1..65535 in five digits.
        const uint32_t address = r % 100000;
        if (address < 1 || address > 0xFFFF) return std::nullopt;
        ref.address = static_cast<uint16_t>(address);
        switch (r / 100000) {
        case 0: ref.pointType = PT_COIL_STATUS; break;
        case 1: ref.pointType = PT_INPUT_STATUS; break;
        case 3: ref.pointType = PT_INPUT_REGISTER; break;
        case 4: ref.pointType = PT_HOLDING_REGISTER; break;
        default: return std::nullopt;
        }
        return ref;
    }
    // Up to five digits, as files have always been read: addresses are
    // computed in 16 bits, so odd references wrap rather than fail.
    if (r < 10000) {
        ref.pointType = PT_COIL_STATUS;
        ref.address = static_cast<uint16_t>(r);
    } else if (r < 20000) {
        ref.pointType = PT_INPUT_STATUS;
        ref.address = static_cast<uint16_t>(r - 10000u);
    } else if (r < 40000) {
        ref.pointType = PT_INPUT_REGISTER;
        ref.address = static_cast<uint16_t>(r - 30000u);
    } else {
        ref.pointType = PT_HOLDING_REGISTER;
        ref.address = static_cast<uint16_t>(r - 40000u);
    }
    return ref;
}

bool ParseItemLine(std::string_view line, ItemLine& item, bool* badReference) {
    if (badReference) *badReference = false;
    PointMapping& m = item.mapping;
    item.itemId = GetField(line, 1);
    auto slave = ScanInt(GetField(line, 2));
    if (!slave) return false;
    m.slaveId = static_cast<uint8_t>(*slave);
    const std::string field = GetField(line, 3);
    if (!ScanInt(field)) return false;
    const std::optional<ModbusReference> reference = ParseReference(field);
    if (!reference) {
        if (badReference) *badReference = true;
        return false;
    }
    m.pointType = reference->pointType;
    m.address = reference->address;

    if (m.pointType == PT_COIL_STATUS || m.pointType == PT_INPUT_STATUS) {
        m.dataType = DT_BOOL;
        return true;
    }
    const std::string type = GetField(line, 4);
    static constexpr std::pair<std::string_view, uint16_t> kKeywords[] = {
        {"SHORT", DT_SHORT}, {"BOOL", DT_BOOL}, {"UNSIGNED", DT_UNSIGNED}, {"FLOAT", DT_FLOAT}, {"DATE", DT_DATE},
    };
    for (const auto& [keyword, code] : kKeywords) {
        if (type == keyword) {
            m.dataType = code;
            return true;
        }
    }
    auto range = ScanScaledRange(type);
    if (!range) return false;
    m.registerLow = static_cast<float>(range->first);
    m.registerHigh = static_cast<float>(range->second);
    m.dataType = DT_SCALED;
    auto low = ScanFloat(GetField(line, 5));
    auto high = ScanFloat(GetField(line, 6));
    if (!low || !high) return false;
    m.dataLow = *low;
    m.dataHigh = *high;
    return true;
}

GroupLine ParseGroupLine(std::string_view line) {
    GroupLine group;
    group.name = GetField(line, 1);
    if (auto rate = ScanInt(GetField(line, 2))) group.updateRate = *rate;
    group.deadband = ScanFloat(GetField(line, 3)).value_or(0.0f);
    return group;
}

LinkLineKind ParseLinkLine(std::string_view line, LinkLine& link) {
    if (line.empty() || line.front() == '[') return LinkLineKind::End;
    const std::string kind = GetField(line, 1);
    if (kind == "CONNECT TCP") return LinkLineKind::Tcp;
    if (kind == "CONNECT RTU") {
        link.protocol = 1;
    } else if (kind == "CONNECT ASCII") {
        link.protocol = 0;
    } else {
        return LinkLineKind::End;
    }
    link.port = ScanCommPort(GetField(line, 2)).value_or(1);
    link.baudRate = static_cast<uint32_t>(ScanInt(GetField(line, 3)).value_or(9600));
    link.dataBits = static_cast<uint8_t>(ScanInt(GetField(line, 4)).value_or(8));

    const std::string stop = GetField(line, 5);
    if (stop == "1.5") {
        link.stopBits = 1;
    } else if (auto bits = ScanInt(stop)) {
        link.stopBits = *bits == 1 ? 0 : *bits == 2 ? 2 : 1;
    } else {
        link.stopBits = 0;
    }

    const std::string parity = GetField(line, 6);
    link.parity = parity == "ODD" ? 1 : parity == "EVEN" ? 2 : 0;
    link.ctsFlow = GetField(line, 7) == "RTS" ? 1 : 0;
    link.dsrFlow = GetField(line, 8) == "DTR" ? 1 : 0;
    link.endAfter35 = link.protocol == 1 && GetField(line, 9) == "T35";
    return LinkLineKind::Serial;
}

namespace {

void RestoreModbusSection(std::string_view file, size_t pos, RestoreTarget& target) {
    std::string line;
    while (ReadConfigLine(file, pos, line)) {
        LinkLine link;
        switch (ParseLinkLine(line, link)) {
        case LinkLineKind::End:
            return;
        case LinkLineKind::Tcp:
            target.OpenTcpLink();
            return;
        case LinkLineKind::Serial:
            // Only COM1 to COM9 exist; a line naming another port is skipped.
            if (link.port >= 1 && link.port <= 9) target.OpenSerialLink(link);
            break;
        }
    }
}

void RestoreServerSection(std::string_view file, size_t pos, RestoreTarget& target) {
    std::string line;
    if (!ReadConfigLine(file, pos, line)) return;
    std::string machine = GetField(line, 1);
    if (machine == "LOCAL MACHINE") machine.clear();
    if (!ReadConfigLine(file, pos, line)) return;
    target.ConnectFromConfiguration(machine, GetField(line, 1));
}

// Number (from 1) of the line that starts at `pos`, counted as the reader
// splits lines.
int LineNumberAt(std::string_view file, size_t pos) {
    size_t at = 0;
    int number = 1;
    std::string line;
    while (at < pos && ReadConfigLine(file, at, line)) ++number;
    return number;
}

// Reads one group section; false when it ran to the end of the file.
bool RestoreGroupSection(std::string_view file, size_t pos, RestoreTarget& target) {
    int number = LineNumberAt(file, pos);
    std::string line;
    if (!ReadConfigLine(file, pos, line)) return false;
    const GroupLine group = ParseGroupLine(line);
    if (target.IsConnected()) target.AddGroupFromConfiguration(group);
    while (ReadConfigLine(file, pos, line)) {
        ++number;
        if (!line.empty() && line.front() == '[') return true;
        if (line.empty()) continue;
        ItemLine item;
        bool badReference = false;
        if (ParseItemLine(line, item, &badReference)) target.AddItemFromConfiguration(group.name, item);
        else if (badReference) target.SkipLine(DescribeBadReference(number, line));
    }
    return false;
}

} // namespace

std::string DescribeBadReference(int lineNumber, std::string_view line) {
    return "Line " + std::to_string(lineNumber) + " skipped, " + GetField(line, 3) +
           " is no Modbus reference (five digits, or six with an address 1 to 65535): " + std::string(line);
}

void RestoreConfiguration(std::string_view file, RestoreTarget& target) {
    target.CloseAllGroups();
    target.Disconnect();
    if (auto pos = FindSection(file, "[MODBUS]")) RestoreModbusSection(file, *pos, target);
    auto server = FindSection(file, "[SERVER]");
    if (!server) return;
    RestoreServerSection(file, *server, target);
    for (int n = 1;; ++n) {
        auto pos = FindSection(file, "[GROUP" + std::to_string(n) + "]");
        if (!pos || !RestoreGroupSection(file, *pos, target)) break;
    }
}

} // namespace quorvane
