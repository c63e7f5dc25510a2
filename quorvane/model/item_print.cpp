#include "model/item_print.h"

#include <algorithm>

namespace quorvane {

int LinesPerPage(int pageHeight, int lineHeight) { return std::max(1, pageHeight / std::max(1, lineHeight) - 4); }

namespace {

// The page after the one starting at `first`, or -1 when that was the last.
int NextPageStart(int first, int lines, int count) {
    if (first + lines >= count) return -1;
    return std::max(first + 1, first + lines - 1);
}

} // namespace

std::vector<int> PageStarts(int count, int linesPerPage) {
    const int lines = std::max(1, linesPerPage);
    std::vector<int> starts;
    for (int first = 0; first >= 0; first = NextPageStart(first, lines, count)) starts.push_back(first);
    return starts;
}

ListLayout PrintLayout(const PrintMetrics& m, int firstIndex) {
    const int lh = std::max(1, m.lineHeight);
    ListLayout layout;
    layout.width = m.pageWidth;
    layout.charWidth = m.charWidth;
    layout.lineHeight = lh;
    layout.ruleY = 2 * lh;
    layout.titleY = lh;
    layout.firstRowY = 2 * lh;
    layout.rowPitch = lh;
    layout.rows = LinesPerPage(m.pageHeight, lh);
    layout.firstIndex = firstIndex;
    layout.selectedRow = -1;
    layout.valueTitle = false;
    layout.withQuality = true;
    return layout;
}

DrawList BuildPrintPage(const PrintMetrics& metrics, int firstIndex, int count, const std::vector<ItemRowTexts>& rows,
                        const TextMeasure& measure) {
    ColumnWidths widths; // from 0 on each page
    return BuildItemListDrawList(PrintLayout(metrics, firstIndex), count, rows, widths, measure);
}

std::vector<DrawList> BuildPrintPages(CQuorvaneDoc& doc, const PrintMetrics& metrics, const TextMeasure& measure) {
    const int lines = LinesPerPage(metrics.pageHeight, metrics.lineHeight);
    std::vector<DrawList> pages;
    for (int first = 0; first >= 0;) {
        int count = 0;
        const std::vector<ItemRowTexts> rows = ReadRowTexts(doc, first, lines, &count);
        pages.push_back(BuildPrintPage(metrics, first, count, rows, measure));
        first = NextPageStart(first, lines, count);
    }
    return pages;
}

} // namespace quorvane
