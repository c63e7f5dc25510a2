// What the frame's dialogs compute without widgets: the serial setup lists
// and their values, the OPC server listing, and the scroll rules of the OPC
// call log window.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace quorvane {

// ---- Serial port setup: each list's texts and the value each stands for.
struct CommChoice {
    const char* text;
    uint32_t value;
};
std::span<const CommChoice> BaudChoices();
std::span<const CommChoice> DataBitChoices();
std::span<const CommChoice> StopBitChoices(); // codes 0, 1, 2
std::span<const CommChoice> ParityChoices();  // "ODD", "EVEN", "NONE": 1, 2, 0
// The first entry holding `value`, -1 when none does (the list then shows no
// selection and OK keeps the stored value).
int FindChoice(std::span<const CommChoice> choices, uint32_t value);

// ---- The servers registered on a machine, as the library enumerated them.
// The names are kept as listed: choosing entry i takes the name shown, even
// when the library has enumerated another machine since.
class CServerList {
public:
    // Listing mode 1 first, mode 0 only when mode 1 finds none; `machine`
    // empty for the local machine.
    void Fill(const std::string& machine);
    const std::vector<std::string>& Names() const { return names_; }
    // "" for an index outside the list.
    std::string NameAt(int index) const;

private:
    std::vector<std::string> names_;
};

// ---- The OPC call log window's top line: the first line drawn.
class CLogScroll {
public:
    enum class Request { LineUp, LineDown, PageUp, PageDown, Position, Other };

    // After a line was added (the log holds `lines`, at most 500): while
    // fewer than 500 are held and they no longer fit, the newest line goes
    // to the bottom row; with 500 held the view stays where it is.
    void LineAdded(int lines, int page);
    // A scroll request; nothing happens on an empty log. Clamped to
    // 0 .. lines - 1.
    void Scroll(Request request, int lines, int page, int position = 0);
    int Top() const { return top_; }

private:
    int top_ = 0;
};

} // namespace quorvane
