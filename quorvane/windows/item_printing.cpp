#include "windows/item_printing.h"

#include "model/item_print.h"
#include "model/quorvane_doc.h"

#include <QDir>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QPageSetupDialog>
#include <QPainter>
#include <QPrintDialog>
#include <QGuiApplication>
#include <QPrintPreviewDialog>
#include <QPrintPreviewWidget>
#include <QScreen>
#include <QPrinterInfo>

namespace quorvane {
namespace {

QString Text(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

QFont PrinterFont() {
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSize(10);
    return font;
}

} // namespace

int PrintItemList(QPrinter& printer, CQuorvaneDoc& doc) {
    QPainter painter;
    if (!painter.begin(&printer)) return 0;
    const QFont font = PrinterFont();
    painter.setFont(font);
    const QFontMetrics metrics(font, &printer);
    PrintMetrics m;
    m.charWidth = metrics.averageCharWidth();
    m.lineHeight = metrics.height();
    m.pageWidth = printer.width();
    m.pageHeight = printer.height();
    const std::vector<DrawList> pages = BuildPrintPages(doc, m, [&metrics](std::string_view text) {
        return metrics.horizontalAdvance(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
    });
    painter.setPen(QPen(Qt::black, 0));
    for (size_t page = 0; page < pages.size(); ++page) {
        if (page > 0) printer.newPage();
        for (const DrawEntry& e : pages[page].entries) {
            switch (e.kind) {
            case DrawEntry::Kind::Line: painter.drawLine(e.x1, e.y1, e.x2, e.y2); break;
            case DrawEntry::Kind::Fill: painter.fillRect(QRect(e.x1, e.y1, e.x2 - e.x1, e.y2 - e.y1), Qt::black); break;
            case DrawEntry::Kind::Text: painter.drawText(e.x1, e.y1 + metrics.ascent(), Text(e.text)); break;
            }
        }
    }
    painter.end();
    return static_cast<int>(pages.size());
}

QPrinter& CItemPrinting::Printer() {
    if (!printer_) {
        printer_ = std::make_unique<QPrinter>(QPrinter::HighResolution);
        if (QPrinterInfo::availablePrinters().isEmpty()) {
            printer_->setOutputFormat(QPrinter::PdfFormat);
            printer_->setOutputFileName(QDir::home().filePath(QStringLiteral("quorvane.pdf")));
        }
    }
    return *printer_;
}

bool CItemPrinting::Print(QWidget* parent, CQuorvaneDoc& doc) {
    QPrintDialog dialog(&Printer(), parent);
    dialog.setObjectName(QStringLiteral("printDialog"));
    if (dialog.exec() != QDialog::Accepted) return false;
    return PrintItemList(Printer(), doc) > 0;
}

void CItemPrinting::Preview(QWidget* parent, CQuorvaneDoc& doc) {
    QPrintPreviewDialog dialog(&Printer(), parent);
    dialog.setObjectName(QStringLiteral("printPreviewDialog"));
    QObject::connect(&dialog, &QPrintPreviewDialog::paintRequested, &dialog,
                     [&doc](QPrinter* printer) { PrintItemList(*printer, doc); });
    // Most of the screen, the page as wide as the view: the rows read at once.
    const QScreen* screen = parent != nullptr ? parent->screen() : QGuiApplication::primaryScreen();
    if (screen != nullptr) {
        const QRect area = screen->availableGeometry();
        dialog.resize(area.width() * 4 / 5, area.height() * 17 / 20);
    }
    if (auto* preview = dialog.findChild<QPrintPreviewWidget*>()) preview->setZoomMode(QPrintPreviewWidget::FitToWidth);
    dialog.exec();
}

void CItemPrinting::Setup(QWidget* parent) {
    QPageSetupDialog dialog(&Printer(), parent);
    dialog.setObjectName(QStringLiteral("pageSetupDialog"));
    dialog.exec();
}

} // namespace quorvane
