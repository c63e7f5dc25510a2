// Reading a group's visible rows and laying them out as a draw list.
#include "model/item_list.h"

#include "model/quorvane_doc.h"

#include <algorithm>

namespace quorvane {

std::string FormatItemTooltip(const ItemState& state) {
    static constexpr const char* kWords[] = {"Good", "Uncertain", "Bad"};
    std::string text = std::string("Quality: ") + kWords[static_cast<int>(ClassifyQuality(state.quality))] + " (" +
                       std::to_string(state.quality) + ")";
    if (!state.status.empty()) text += "\nStatus: " + state.status;
    text += "\nSource time: " + FormatSourceTime(state.timestamp);
    text += "\nModbus point: " + state.reference;
    return text;
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
    const auto rowFlags = [&](size_t i) {
        uint32_t flags = selected(i) ? kDrawInverted : kDrawNormal;
        switch (ClassifyQuality(rows[i].quality)) {
        case QualityClass::Bad: flags |= kDrawBad; break;
        case QualityClass::Uncertain: flags |= kDrawUncertain; break;
        case QualityClass::Good: break;
        }
        return flags;
    };

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
