#include "model/view_metrics.h"

#include <algorithm>

namespace quorvane {

namespace {

int Height(int lineHeight) { return lineHeight < 1 ? 1 : lineHeight; }

} // namespace

int VisibleRows(int clientHeight, int lineHeight) {
    const int h = Height(lineHeight);
    return std::max(0, (clientHeight - (h + 1)) / h);
}

int PageRows(int clientHeight, int lineHeight) { return std::max(0, clientHeight / Height(lineHeight)); }

int RowTop(int row, int lineHeight) { return lineHeight + 1 + row * lineHeight; }

int RowAtY(int y, int lineHeight) { return y / Height(lineHeight) - 1; }

int SelectAt(int y, int lineHeight, int topRow, int count) {
    const int row = RowAtY(y, lineHeight);
    if (row < 0) return -1;
    // Summed in 64 bits: a top row dragged near the range's end plus a row
    // must not wrap.
    const long long index = static_cast<long long>(topRow) + row;
    return index >= 0 && index < count ? static_cast<int>(index) : -1;
}

int ScrollRangeMax(int count) { return std::max(kMinScrollRangeMax, count - 1); }

int ScrollTopRow(int topRow, ScrollCode code, int thumbPos, int page, int count) {
    if (count <= 0) return topRow;
    long long next = topRow;
    switch (code) {
    case ScrollCode::LineUp: next -= 1; break;
    case ScrollCode::LineDown: next += 1; break;
    case ScrollCode::PageUp: next -= page; break;
    case ScrollCode::PageDown: next += page; break;
    case ScrollCode::ThumbPosition: next = thumbPos; break;
    case ScrollCode::ThumbTrack:
    case ScrollCode::Top:
    case ScrollCode::Bottom:
    case ScrollCode::EndScroll: break;
    }
    if (next < 0) next = 0;
    if (next >= count) next = count - 1;
    return static_cast<int>(next);
}

bool SelectionDesignatesItem(int selectedRow, int count) { return selectedRow >= 0 && selectedRow < count; }

bool CItemListState::MoveSelection(SelectionKey key, int count) {
    if (count <= 0) return false;
    const int shown = std::max(1, VisibleRows());
    const bool has = SelectionDesignatesItem(count);
    const int from = has ? selectedRow : std::clamp(topRow, 0, count - 1);
    int to = from;
    switch (key) {
    case SelectionKey::Up: to = has ? from - 1 : from; break;
    case SelectionKey::Down: to = has ? from + 1 : from; break;
    case SelectionKey::PageUp: to = from - shown; break;
    case SelectionKey::PageDown: to = from + shown; break;
    case SelectionKey::Home: to = 0; break;
    case SelectionKey::End: to = count - 1; break;
    }
    selectedRow = std::clamp(to, 0, count - 1);
    int top = topRow;
    if (selectedRow < top) top = selectedRow;
    else if (selectedRow >= top + shown) top = selectedRow - shown + 1;
    if (top != topRow) {
        topRow = top;
        widths.Reset();
    }
    return true;
}

bool CItemListState::Scroll(ScrollCode code, int thumbPos, int count) {
    if (count <= 0) return false;
    topRow = ScrollTopRow(topRow, code, thumbPos, PageRows(), count);
    widths.Reset();
    return true;
}

} // namespace quorvane
