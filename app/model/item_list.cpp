#include "item_list.h"

#include "quorvane_doc.h"

#include <algorithm>
#include <charconv>
#include <ctime>

namespace quorvane {

namespace {

// File time of 1970-01-01 00:00:00 UTC.
constexpr uint64_t kUnixEpochFileTime = 116444736000000000ULL;
constexpr uint64_t kFileTimeTicksPerSecond = 10000000ULL;
// File times from here on have no calendar date.
constexpr uint64_t kFileTimeLimit = 1ULL << 63;

constexpr const char* kUnknownValue = "?????";
constexpr const char* kTimeBlanks = "    ";

// Decimal text of an integer followed by a blank; to_chars never consults the
// locale.
template <typename T> std::string IntegerText(T value) {
    char buffer[32];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    std::string text(buffer, ec == std::errc() ? end : buffer);
    text += ' ';
    return text;
}

// "%<width>.<precision>f " without the locale: right-aligned in `width`.
std::string FixedText(double value, int width, int precision) {
    // Room for the largest double in fixed notation (309 digits) and the
    // decimals.
    char buffer[400];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, precision);
    std::string digits(buffer, ec == std::errc() ? end : buffer);
    std::string text;
    if (digits.size() < static_cast<size_t>(width)) text.assign(static_cast<size_t>(width) - digits.size(), ' ');
    text += digits;
    text += ' ';
    return text;
}

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Length of the well-formed UTF-8 sequence at text[at], or 1 for a byte that
// does not start one (a stray or truncated byte counts as one character).
size_t SequenceLength(std::string_view text, size_t at) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[at + i]); };
    const unsigned char lead = byte(0);
    size_t length;
    unsigned char low = 0x80, high = 0xBF; // range of the second byte
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;  // no overlong forms
        if (lead == 0xED) high = 0x9F; // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F; // nothing past U+10FFFF
    } else {
        return 1;
    }
    if (text.size() - at < length) return 1;
    if (byte(1) < low || byte(1) > high) return 1;
    for (size_t i = 2; i < length; ++i)
        if (!IsContinuation(byte(i))) return 1;
    return length;
}

void AppendTwoDigits(std::string& text, int value) {
    text += static_cast<char>('0' + value / 10 % 10);
    text += static_cast<char>('0' + value % 10);
}

} // namespace

std::string TruncateText(std::string_view text, size_t maxChars) {
    size_t at = 0;
    for (size_t chars = 0; chars < maxChars && at < text.size(); ++chars) at += SequenceLength(text, at);
    return std::string(text.substr(0, at));
}

size_t CountTextChars(std::string_view text) {
    size_t chars = 0;
    for (size_t at = 0; at < text.size(); ++chars) at += SequenceLength(text, at);
    return chars;
}

std::string FormatItemTime(uint64_t fileTime) {
    std::tm local{};
    bool known = fileTime >= kUnixEpochFileTime && fileTime < kFileTimeLimit;
    if (known) {
        const auto seconds = static_cast<std::time_t>((fileTime - kUnixEpochFileTime) / kFileTimeTicksPerSecond);
        known = localtime_r(&seconds, &local) != nullptr;
    }
    if (!known) return std::string("--:--:--") + kTimeBlanks;
    std::string text;
    AppendTwoDigits(text, local.tm_hour);
    text += ':';
    AppendTwoDigits(text, local.tm_min);
    text += ':';
    AppendTwoDigits(text, local.tm_sec);
    return text + kTimeBlanks;
}

std::string FormatItemDescription(uint64_t fileTime, std::string_view accessPath, std::string_view itemId) {
    std::string text = FormatItemTime(fileTime);
    if (!accessPath.empty()) {
        text += accessPath;
        text += '.';
    }
    text += itemId;
    return text;
}

std::string FormatItemValue(const VARIANT& v) {
    switch (v.vt) {
    case VT_I2: return IntegerText(static_cast<int>(v.iVal));
    case VT_I4: return IntegerText(v.lVal);
    case VT_INT: return IntegerText(v.intVal);
    // Unsigned 32-bit values keep their magnitude: 4,000,000,000 is not shown
    // as a negative number.
    case VT_UI4: return IntegerText(v.ulVal);
    case VT_UINT: return IntegerText(v.uintVal);
    case VT_I8: return IntegerText(v.llVal);
    case VT_UI8: return IntegerText(v.ullVal);
    case VT_R4: return FixedText(static_cast<double>(v.fltVal), 5, 2);
    case VT_R8: return FixedText(v.dblVal, 9, 4);
    case VT_BSTR: return v.bstrVal ? TruncateText(v.bstrVal, kMaxValueTextChars) : std::string();
    case VT_BOOL: return v.boolVal != 0 ? "TRUE" : "FALSE";
    case VT_I1: return IntegerText(static_cast<int>(v.cVal));
    case VT_UI1: return IntegerText(static_cast<unsigned>(v.bVal));
    case VT_UI2: return IntegerText(static_cast<unsigned>(v.uiVal));
    default: return kUnknownValue;
    }
}

const char* QualityText(uint32_t quality) {
    if (quality == 192) return " (Quality Good)";
    if (quality == 0) return " (Quality Bad)";
    return " (Quality Uncertain)";
}

std::string FormatPrintedValue(const VARIANT& value, uint32_t quality) {
    return FormatItemValue(value) + QualityText(quality);
}

ItemRowTexts MakeRowTexts(const ItemState& state) {
    ItemRowTexts row;
    row.description = FormatItemDescription(state.timestamp, state.accessPath, state.itemId);
    row.value = FormatItemValue(state.value.Get());
    row.reference = state.reference;
    row.quality = state.quality;
    return row;
}

std::vector<ItemRowTexts> ReadRowTexts(CQuorvaneDoc& doc, int first, int rows, int* count) {
    std::vector<ItemState> states;
    {
        // One hold for the whole range, so the rows and the count agree; only
        // copies are made under it.
        auto guard = doc.Guard();
        const int n = doc.Count();
        if (count) *count = n;
        if (first >= 0 && rows > 0 && first < n) {
            const int end = first + std::min(rows, n - first);
            states.resize(static_cast<size_t>(end - first));
            for (int i = first; i < end; ++i) doc.ReadItem(i, &states[static_cast<size_t>(i - first)]);
        }
    }
    std::vector<ItemRowTexts> texts;
    texts.reserve(states.size());
    for (const ItemState& state : states) texts.push_back(MakeRowTexts(state));
    return texts;
}

void DrawList::AddText(int x, int y, std::string text, uint32_t flags) {
    DrawEntry e;
    e.kind = DrawEntry::Kind::Text;
    e.x1 = x;
    e.y1 = y;
    e.text = std::move(text);
    e.flags = flags;
    entries.push_back(std::move(e));
}

void DrawList::AddLine(int x1, int y1, int x2, int y2) {
    entries.push_back(DrawEntry{DrawEntry::Kind::Line, x1, y1, x2, y2, std::string(), kDrawNormal});
}

void DrawList::AddFill(int x1, int y1, int x2, int y2) {
    entries.push_back(DrawEntry{DrawEntry::Kind::Fill, x1, y1, x2, y2, std::string(), kDrawNormal});
}

std::vector<const DrawEntry*> DrawList::Texts() const {
    std::vector<const DrawEntry*> texts;
    for (const DrawEntry& e : entries)
        if (e.kind == DrawEntry::Kind::Text) texts.push_back(&e);
    return texts;
}

const DrawEntry* DrawList::TextAt(int x, int y) const {
    for (const DrawEntry& e : entries)
        if (e.kind == DrawEntry::Kind::Text && e.x1 == x && e.y1 == y) return &e;
    return nullptr;
}

const DrawEntry* DrawList::SelectionFill() const {
    for (const DrawEntry& e : entries)
        if (e.kind == DrawEntry::Kind::Fill) return &e;
    return nullptr;
}

ListLayout ScreenLayout(const CItemListState& state) {
    ListLayout layout;
    layout.width = state.clientWidth;
    layout.charWidth = state.charWidth;
    layout.lineHeight = state.lineHeight;
    layout.ruleY = state.lineHeight;
    layout.titleY = 0;
    layout.firstRowY = RowTop(0, state.lineHeight);
    layout.rowPitch = state.lineHeight;
    layout.rows = state.VisibleRows();
    layout.firstIndex = state.topRow;
    layout.selectedRow = state.selectedRow;
    layout.valueTitle = true;
    layout.withQuality = false;
    return layout;
}

DrawList BuildItemListDrawList(const ListLayout& layout, int count, const std::vector<ItemRowTexts>& rows,
                               ColumnWidths& widths, const TextMeasure& measure) {
    const int cw = layout.charWidth;
    const auto width = [&](std::string_view text) {
        return measure ? measure(text) : static_cast<int>(CountTextChars(text)) * cw;
    };
    DrawList list;
    list.AddLine(0, layout.ruleY, layout.width, layout.ruleY);
    if (count <= 0) return list;

    const size_t shown = std::min(rows.size(), static_cast<size_t>(std::max(0, layout.rows)));
    const auto rowY = [&](size_t i) { return layout.firstRowY + static_cast<int>(i) * layout.rowPitch; };
    const auto selected = [&](size_t i) { return layout.firstIndex + static_cast<int>(i) == layout.selectedRow; };
    const auto rowFlags = [&](size_t i) { return selected(i) ? kDrawInverted : kDrawNormal; };

    list.AddText(0, layout.titleY, kDescriptionTitle, kDrawTitle);
    for (size_t i = 0; i < shown; ++i) {
        const int y = rowY(i);
        if (selected(i)) list.AddFill(0, y, layout.width, y + layout.lineHeight);
        widths.description = std::max(widths.description, width(rows[i].description));
        list.AddText(0, y, rows[i].description, rowFlags(i));
    }

    const int x2 = widths.description + 2 * cw;
    if (layout.valueTitle) list.AddText(x2, layout.titleY, kValueTitle, kDrawTitle);
    for (size_t i = 0; i < shown; ++i) {
        std::string text = rows[i].value;
        if (layout.withQuality) text += QualityText(rows[i].quality);
        widths.value = std::max(widths.value, width(text));
        list.AddText(x2, rowY(i), std::move(text), rowFlags(i));
    }

    const int x3 = widths.description + widths.value + 4 * cw;
    list.AddText(x3, layout.titleY, kReferenceTitle, kDrawTitle);
    for (size_t i = 0; i < shown; ++i) list.AddText(x3, rowY(i), rows[i].reference, rowFlags(i));
    return list;
}

DrawList BuildScreenDrawList(CQuorvaneDoc& doc, CItemListState& state, const TextMeasure& measure) {
    int count = 0;
    std::vector<ItemRowTexts> rows = ReadRowTexts(doc, state.topRow, state.VisibleRows(), &count);
    return BuildItemListDrawList(ScreenLayout(state), count, rows, state.widths, measure);
}

} // namespace quorvane
