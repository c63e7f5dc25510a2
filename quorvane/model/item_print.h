// The printed item list: how many rows a page holds, where each page starts,
// and the page's draw list (the screen's columns with the quality after each
// value, rule and titles one line lower, no selection). Plain C++: the
// printer's numbers come in as integers, so the pagination is tested without
// a printer and Print and Print Preview share it.
//
// Each page repeats the previous page's last row as its first row. Every page
// starts at least one item further than the one before, and a page holds at
// least one row, so a page too small for its font still ends.
#pragma once

#include "model/item_list.h"

#include <vector>

namespace quorvane {

class CQuorvaneDoc;

// The printer's numbers, in device pixels.
struct PrintMetrics {
    int charWidth = 0;  // average character width of the printer font
    int lineHeight = 1; // character height of the printer font
    int pageWidth = 0;  // printable width
    int pageHeight = 0; // printable height
};

// page height / line height - 4, at least 1 (a line height below 1 counts
// as 1).
int LinesPerPage(int pageHeight, int lineHeight);

// List index of the first row of each page for `count` items: 0, then each
// page at first + lines - 1 (never before first + 1) while first + lines is
// below the count. An empty list prints one page.
std::vector<int> PageStarts(int count, int linesPerPage);

// Rule at 2 lh, "OPC Item Description" and "Modbus Data Representation" at
// lh, rows from 2 lh every lh, column 2 without title and with the quality;
// column widths start from 0 on each page.
ListLayout PrintLayout(const PrintMetrics& metrics, int firstIndex);

// One page of `count` items whose rows start at `firstIndex`.
DrawList BuildPrintPage(const PrintMetrics& metrics, int firstIndex, int count, const std::vector<ItemRowTexts>& rows,
                        const TextMeasure& measure = TextMeasure());

// Every page of the group, each read in one hold of the group's lock.
std::vector<DrawList> BuildPrintPages(CQuorvaneDoc& doc, const PrintMetrics& metrics,
                                      const TextMeasure& measure = TextMeasure());

} // namespace quorvane
