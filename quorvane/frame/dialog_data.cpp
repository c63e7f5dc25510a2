#include "frame/dialog_data.h"

#include "frame/api_log.h"
#include "ostrand.h"

#include <algorithm>

namespace quorvane {
namespace {

constexpr CommChoice kBauds[] = {{"110", 110},     {"300", 300},       {"600", 600},       {"1200", 1200},
                                 {"2400", 2400},   {"4800", 4800},     {"9600", 9600},     {"14400", 14400},
                                 {"19200", 19200}, {"38400", 38400},   {"56000", 56000},   {"57600", 57600},
                                 {"115200", 115200}, {"128000", 128000}, {"256000", 256000}};
constexpr CommChoice kDataBits[] = {{"7", 7}, {"8", 8}};
constexpr CommChoice kStopBits[] = {{"1", 0}, {"1.5", 1}, {"2", 2}};
constexpr CommChoice kParities[] = {{"ODD", 1}, {"EVEN", 2}, {"NONE", 0}};

} // namespace

std::span<const CommChoice> BaudChoices() { return kBauds; }
std::span<const CommChoice> DataBitChoices() { return kDataBits; }
std::span<const CommChoice> StopBitChoices() { return kStopBits; }
std::span<const CommChoice> ParityChoices() { return kParities; }

int FindChoice(std::span<const CommChoice> choices, uint32_t value) {
    for (size_t i = 0; i < choices.size(); ++i)
        if (choices[i].value == value) return static_cast<int>(i);
    return -1;
}

void CServerList::Fill(const std::string& machine) {
    names_.clear();
    int32_t count = GetServerCount(1, machine.c_str());
    if (count <= 0) count = GetServerCount(0, machine.c_str());
    for (int32_t i = 0; i < count; ++i) {
        char name[200] = {};
        // A name the library cannot give lists as an empty entry, so that the
        // entries keep the enumeration's order.
        if (GetServerName(i, name, sizeof name) == 0) name[0] = '\0';
        name[sizeof name - 1] = '\0';
        names_.emplace_back(name);
    }
}

std::string CServerList::NameAt(int index) const {
    if (index < 0 || static_cast<size_t>(index) >= names_.size()) return {};
    return names_[static_cast<size_t>(index)];
}

void CLogScroll::LineAdded(int lines, int page) {
    if (lines < static_cast<int>(CApiLog::kMaxLines) && lines > page) top_ = lines - page;
}

void CLogScroll::Scroll(Request request, int lines, int page, int position) {
    if (lines <= 0) return;
    switch (request) {
    case Request::LineUp: top_ -= 1; break;
    case Request::LineDown: top_ += 1; break;
    case Request::PageUp: top_ -= page; break;
    case Request::PageDown: top_ += page; break;
    case Request::Position: top_ = position; break;
    case Request::Other: break;
    }
    top_ = std::clamp(top_, 0, lines - 1);
}

} // namespace quorvane
