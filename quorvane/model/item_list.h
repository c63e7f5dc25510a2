// What a group's item list shows: the texts of each row (description with the
// time of the last value, the value, the quality for paper, the Modbus
// representation) and the draw list that the screen view paints and the
// printout reuses. Plain C++: texts are formatted without the process locale,
// positions are computed from font metrics passed in as numbers.
#pragma once

#include "model/view_metrics.h"
#include "ostrand.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane {

class CQuorvaneDoc;
struct ItemState;

// ---------------------------------------------------------------------------
// Texts

// A text value is cut to this many characters (UTF-8 sequences count as one).
constexpr size_t kMaxValueTextChars = 80;

// Column titles.
inline constexpr const char* kDescriptionTitle = "OPC Item Description";
inline constexpr const char* kValueTitle = "Value";
inline constexpr const char* kReferenceTitle = "Modbus Data Representation";

// Time column of a description, "HH:MM:SS" in local time followed by four
// blanks. A file time (100 ns units since 1601-01-01 UTC) that has no local
// time (0, before 1970-01-01 UTC, at or beyond 2^63, or rejected by the C
// library) gives "--:--:--" and the same four blanks.
std::string FormatItemTime(uint64_t fileTime);

// Description column: the time, then the access path and "." when the access
// path is not empty, then the item ID.
std::string FormatItemDescription(uint64_t fileTime, std::string_view accessPath, std::string_view itemId);

// Value column by the VARIANT's type tag, locale independent:
//   VT_I2, VT_I1 "%d " signed; VT_UI1, VT_UI2 "%u "; VT_I4, VT_INT "%d ";
//   VT_UI4, VT_UINT "%u "; VT_I8 "%lld "; VT_UI8 "%llu ";
//   VT_R4 "%5.2f "; VT_R8 "%9.4f ";
//   VT_BSTR the text cut to kMaxValueTextChars (a null string shows "");
//   VT_BOOL "TRUE" when nonzero, else "FALSE";
//   any other tag (VT_EMPTY, VT_NULL, VT_DATE, VT_CY, VT_ERROR, arrays, ...)
//   "?????".
std::string FormatItemValue(const VARIANT& value);

// How an item's quality reads: Good for 192, Bad for 0, Uncertain for
// anything else (the screen's colour and the printout's words agree).
enum class QualityClass { Good, Uncertain, Bad };
QualityClass ClassifyQuality(uint32_t quality);

// Quality suffix of a printed value: " (Quality Good)" for 192,
// " (Quality Bad)" for 0, " (Quality Uncertain)" for anything else.
const char* QualityText(uint32_t quality);

// "YYYY-MM-DD HH:MM:SS.mmm UTC" of a file time; "none" for one without a
// calendar date (as FormatItemTime).
std::string FormatSourceTime(uint64_t fileTime);

// The tooltip of an item's row, one fact a line:
//   "Quality: Bad (0)"            the quality in words and its number
//   "Status: BadNodeIdUnknown"    only when the server named one
//   "Source time: 2026-12-08 14:03:07.250 UTC"  ("none" without a time)
//   "Modbus point: 1:40100 = 4999"
std::string FormatItemTooltip(const ItemState& state);

// The printed value column: FormatItemValue followed by QualityText.
std::string FormatPrintedValue(const VARIANT& value, uint32_t quality);

// `text` cut to at most `maxChars` characters, where a well-formed UTF-8
// sequence is one character and every other byte is one; never cuts inside a
// sequence.
std::string TruncateText(std::string_view text, size_t maxChars);

// Number of characters in `text` by the same counting as TruncateText.
size_t CountTextChars(std::string_view text);

// Everything one row shows, formatted.
struct ItemRowTexts {
    std::string description; // FormatItemDescription
    std::string value;       // FormatItemValue
    std::string reference;   // "1:40100 = 4999" (FormatPointReference)
    uint32_t quality = 0;    // for FormatPrintedValue's suffix and the row's colour
};

// The row texts of one item state (as CQuorvaneDoc::ReadItem copies it).
ItemRowTexts MakeRowTexts(const ItemState& state);

// The texts of the items at list indexes first .. first + rows - 1 that exist,
// read in one hold of the group's lock (values, timestamps, mappings and
// register words copied under it; the texts are formatted after it is
// released). `count`, when given, receives the item count seen under the same
// hold. Rows past the end are simply absent.
std::vector<ItemRowTexts> ReadRowTexts(CQuorvaneDoc& doc, int first, int rows, int* count = nullptr);

// ---------------------------------------------------------------------------
// Draw list

// Text flags.
enum DrawFlags : uint32_t {
    kDrawNormal = 0,
    kDrawInverted = 1u << 0, // white text on black (the selected row)
    kDrawTitle = 1u << 1,    // a column title in the header line
    kDrawBad = 1u << 2,      // a row whose quality is bad: the warning colour
    kDrawUncertain = 1u << 3, // a row whose quality is uncertain: the caution colour
};

// One thing to paint. Text: `text` with its cell's top-left at (x1, y1), in
// the device's default font; a painter that positions by baseline adds the
// font's ascent. Line: from (x1, y1) to (x2, y2), one pixel, black. Fill: the
// rectangle from (x1, y1) inclusive to (x2, y2) exclusive, black.
struct DrawEntry {
    enum class Kind { Text, Line, Fill };
    Kind kind = Kind::Text;
    int x1 = 0, y1 = 0, x2 = 0, y2 = 0;
    std::string text;
    uint32_t flags = kDrawNormal;
    bool operator==(const DrawEntry&) const = default;
};

// The entries in painting order (a fill comes before the texts on it).
struct DrawList {
    std::vector<DrawEntry> entries;

    void AddText(int x, int y, std::string text, uint32_t flags = kDrawNormal);
    void AddLine(int x1, int y1, int x2, int y2);
    void AddFill(int x1, int y1, int x2, int y2);

    // The text entries only, in order (for tests and hit checks).
    std::vector<const DrawEntry*> Texts() const;
    // The first text entry drawn exactly at (x, y), or null.
    const DrawEntry* TextAt(int x, int y) const;
    // The first fill, or null (the selected row's rectangle on the screen).
    const DrawEntry* SelectionFill() const;
};

// Pixel width of a text in the font being drawn with. When none is given the
// builders use CountTextChars(text) * character width (a fixed font).
using TextMeasure = std::function<int(std::string_view)>;

// Where and how a list is laid out. The screen and paper differ only in these
// numbers and switches.
struct ListLayout {
    int width = 0;          // client or page width: the rule and the fill span it
    int charWidth = 8;      // column gaps are 2 and 4 character widths
    int lineHeight = 16;    // height of the selection fill
    int ruleY = 16;         // the horizontal rule from (0, ruleY) to (width, ruleY)
    int titleY = 0;         // column titles
    int firstRowY = 17;     // top of the first row
    int rowPitch = 16;      // distance between row tops
    int rows = 0;           // rows available
    int firstIndex = 0;     // list index of the first row
    int selectedRow = -1;   // list index drawn inverted over a fill; -1 none
    bool valueTitle = true; // "Value" over column 2 (the printout has none)
    bool withQuality = false; // column 2 followed by the quality text
};

// The screen's layout for a view state: rule at h, titles at 0, rows from
// h + 1 every h, VisibleRows rows from the top row, the selection inverted.
ListLayout ScreenLayout(const CItemListState& state);

// Builds the list of `count` items whose visible rows are `rows` (rows[i] is
// the item at layout.firstIndex + i; fewer rows than layout.rows means the
// list ended). With no items only the rule is drawn. Otherwise, in order: the
// rule, "OPC Item Description" at (0, titleY); column 1 (with the fill under a
// selected row) widening widths.description; "Value" at x2 = description
// width + 2 cw and column 2 widening widths.value; "Modbus Data
// Representation" at x3 = description width + value width + 4 cw and
// column 3. Column widths only grow; the caller decides when they reset.
DrawList BuildItemListDrawList(const ListLayout& layout, int count, const std::vector<ItemRowTexts>& rows,
                               ColumnWidths& widths, const TextMeasure& measure = TextMeasure());

// The screen view's paint: reads the visible rows of `doc` (ReadRowTexts, one
// hold of the group's lock) and builds the draw list for `state`, widening
// state.widths.
DrawList BuildScreenDrawList(CQuorvaneDoc& doc, CItemListState& state, const TextMeasure& measure = TextMeasure());

} // namespace quorvane
