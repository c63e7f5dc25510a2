// Printing a group's item list on a Qt printer: the model's pages
// (item_print.h) drawn with a QPainter, a new page between pages. File Print
// and Print Preview draw the same pages through the same routine.
#pragma once

#include <QPrinter>

#include <memory>

class QWidget;

namespace quorvane {

class CQuorvaneDoc;

// Draws every page of the group; returns the number of pages drawn (0 when
// the printer could not be opened).
int PrintItemList(QPrinter& printer, CQuorvaneDoc& doc);

// One printer for the session, shared by File Print, Print Preview and Print
// Setup, so a choice made in one holds for the others. Without any installed
// printer it writes PDF.
class CItemPrinting {
public:
    QPrinter& Printer();
    // The print dialog, then the pages. False when cancelled.
    bool Print(QWidget* parent, CQuorvaneDoc& doc);
    // The preview window, drawn by PrintItemList.
    void Preview(QWidget* parent, CQuorvaneDoc& doc);
    // The page setup dialog.
    void Setup(QWidget* parent);

private:
    std::unique_ptr<QPrinter> printer_;
};

} // namespace quorvane
