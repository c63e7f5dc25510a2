// The item-list view's row arithmetic without any window: rows that fit, the
// row under a click, page size, scrolling by rows with clamping, and the
// selection. A window keeps one CItemListState per view and feeds it its
// events; everything here is plain integers, so it is tested without a display.
//
// The view scrolls by rows itself: the top row is the list index of the item
// drawn in the first row, the scroll box position equals the top row, and the
// selection is a list index, not an item (after a removal the same index
// designates the next item, or nothing when it is now past the end).
#pragma once

#include <cstdint>

namespace quorvane {

// Scroll bar requests, in the order of the classic vertical scroll codes.
enum class ScrollCode {
    LineUp,        // -1 row
    LineDown,      // +1 row
    PageUp,        // -page
    PageDown,      // +page
    ThumbPosition, // the box was released at a position: top row = position
    ThumbTrack,    // the box is being dragged: no change until it is released
    Top,           // no change
    Bottom,        // no change
    EndScroll,     // no change
};

// Keys that move the selection of the item list.
enum class SelectionKey { Up, Down, PageUp, PageDown, Home, End };

// Smallest scroll range maximum: the range is 0 to max(200, count - 1), so
// every row of a long list stays reachable while short lists keep the
// familiar box size.
constexpr int kMinScrollRangeMax = 200;

// Rows painted in a client area of `clientHeight` pixels: the header takes one
// line and the rule one pixel, (H - (h + 1)) / h, never below 0. A line
// height below 1 counts as 1.
int VisibleRows(int clientHeight, int lineHeight);

// Rows a page scroll moves: H / h (one more than VisibleRows for most
// heights), never below 0.
int PageRows(int clientHeight, int lineHeight);

// Top of row `row` (0 = first row under the header): h + 1 + row * h.
int RowTop(int row, int lineHeight);

// Row under a click at client y: y / h - 1 (integer division); negative in
// the header. Rows are counted from the top row.
int RowAtY(int y, int lineHeight);

// The selected row after a click at client y: top row + row when the row is
// at or below the first and designates an item, otherwise -1 (a click in the
// header or below the last item clears the selection).
int SelectAt(int y, int lineHeight, int topRow, int count);

// Maximum of the scroll range for `count` items: max(200, count - 1).
int ScrollRangeMax(int count);

// The top row after a scroll request. `thumbPos` is the box position for
// ThumbPosition; `page` is PageRows. Nothing changes when the list is empty.
// Otherwise the result is clamped to 0 .. count - 1.
int ScrollTopRow(int topRow, ScrollCode code, int thumbPos, int page, int count);

// True when the selected row designates an item (0 <= selected < count): the
// rule that enables Item Remove, Item Write and the mapping edit.
bool SelectionDesignatesItem(int selectedRow, int count);

// Widest text seen so far in the description and value columns, in pixels.
// They only grow while painting; adding, removing or remapping items and
// every scroll reset them to 0 so the columns close up again.
struct ColumnWidths {
    int description = 0;
    int value = 0;
    void Reset() { description = value = 0; }
    bool operator==(const ColumnWidths&) const = default;
};

// The view's state as the window sees it. All members are plain fields so a
// window may read them; the member functions apply the view's rules.
struct CItemListState {
    int charWidth = 8;    // maximum character width of the screen font
    int lineHeight = 16;  // height of one row
    int clientWidth = 0;  // updated on every resize
    int clientHeight = 0;
    int topRow = 0;       // list index of the item in the first row
    int selectedRow = -1; // list index of the selected item, -1 for none
    ColumnWidths widths;

    void SetFontMetrics(int charWidthPx, int lineHeightPx) {
        charWidth = charWidthPx;
        lineHeight = lineHeightPx;
    }
    void Resize(int width, int height) {
        clientWidth = width;
        clientHeight = height;
    }
    int VisibleRows() const { return quorvane::VisibleRows(clientHeight, lineHeight); }
    int PageRows() const { return quorvane::PageRows(clientHeight, lineHeight); }

    // A click at client y with `count` items: sets the selection by SelectAt.
    // The window repaints in every case.
    void Click(int y, int count) { selectedRow = SelectAt(y, lineHeight, topRow, count); }

    // A scroll request with `count` items. Returns false when nothing happens
    // (empty list); otherwise the top row is moved and clamped, the column
    // widths are reset, and the caller moves the scroll box to topRow and
    // repaints (also when the top row stayed where it was, so that a box
    // dragged past the end snaps back).
    bool Scroll(ScrollCode code, int thumbPos, int count);

    // A selection key with `count` items. Up and Down move one item, Page Up
    // and Page Down by the rows shown (at least one), Home and End to the
    // first and last item, all clamped to the list; without a selection (or
    // one past the end) the keys but Home and End start from the top row.
    // The top row then follows so that the selected row is shown, resetting
    // the column widths when it moves. False (nothing changes) for an empty
    // list.
    bool MoveSelection(SelectionKey key, int count);

    // Items were added, removed or remapped: the columns close up again. The
    // top row and the selection stay (a top row at or past the new count
    // paints no item rows until the operator scrolls).
    void ItemsChanged() { widths.Reset(); }

    bool SelectionDesignatesItem(int count) const { return quorvane::SelectionDesignatesItem(selectedRow, count); }
};

} // namespace quorvane
