#include "windows/item_commands.h"

#include "frame/quorvane_app.h"
#include "windows/item_printing.h"
#include "windows/point_map_dlg.h"
#include "windows/quorvane_view.h"
#include "windows/write_item_dlg.h"

#include <memory>

namespace quorvane {
namespace {

CPointMapDlg::OverlapFunction Overlaps(CQuorvaneApp& app) {
    return [&app](uint8_t slaveId, int32_t pointType, uint16_t address, int count) {
        return app.Model().MappingOverlaps(slaveId, pointType, address, count);
    };
}

// The mapping dialog over the application's items: overlaps are asked and
// named.
void Prepare(CPointMapDlg& dialog, CQuorvaneApp& app) {
    dialog.SetDescribeFunction([&app](uint8_t slaveId, int32_t pointType, uint16_t address, int count) {
        return app.Model().DescribeOverlap(slaveId, pointType, address, count);
    });
}

} // namespace

void AddBrowsedItem(CQuorvaneApp& app, CQuorvaneView& view, QWidget* parent, const std::string& itemId,
                    const std::string& accessPath) {
    auto item = std::make_shared<COpcItem>();
    PointMapping mapping = item->Mapping();
    mapping.address = static_cast<uint16_t>(app.Model().NextFreeAddress(mapping.slaveId, mapping.pointType));

    CPointMapDlg dialog(Overlaps(app), parent);
    Prepare(dialog, app);
    dialog.SetMapping(mapping);
    dialog.newItem = 1;
    dialog.SetItemText(QString::fromStdString(itemId));
    if (dialog.exec() != QDialog::Accepted) return;

    item->SetMapping(dialog.Mapping());
    item->itemId = itemId;
    item->accessPath = accessPath;
    view.Doc().AddRestoredItem(std::move(item)); // maps the point(s), adds at the server, repaints
}

void EditItemMapping(CQuorvaneApp& app, CQuorvaneView& view, QWidget* parent) {
    if (!view.HasSelectedItem()) return;
    const int row = view.SelectedRow();
    CQuorvaneDoc& doc = view.Doc();
    const std::shared_ptr<COpcItem> item = doc.ItemAt(row);
    ItemState state;
    if (!item || !doc.ReadItem(row, &state)) return;

    CPointMapDlg dialog(Overlaps(app), parent);
    Prepare(dialog, app);
    dialog.SetMapping(state.mapping);
    dialog.newItem = 0;
    dialog.SetItemText(QString::fromStdString(state.itemId));
    if (dialog.exec() != QDialog::Accepted) return;
    // The same item still sits at the row (the dialog was modal).
    if (doc.ItemAt(row) == item) doc.EditItemMapping(row, dialog.Mapping());
}

void BrowseAndAddItems(CQuorvaneApp& app, CQuorvaneView& view, QWidget* parent, const BrowseTable& browse) {
    CTagBrowserDlg* browser = nullptr;
    CTagBrowserDlg dialog(
        app.Model().ServerHandle(),
        [&](const std::string& itemId, const std::string& accessPath) {
            AddBrowsedItem(app, view, browser, itemId, accessPath);
        },
        browse, parent);
    browser = &dialog;
    dialog.exec();
}

void WriteSelectedItem(CQuorvaneApp& app, CQuorvaneView& view, QWidget* parent) {
    if (!view.HasSelectedItem()) return;
    const int row = view.SelectedRow();
    CWriteItemDlg dialog(parent);
    dialog.asyncAllowed = 1;
    dialog.asyncWrite = 1;
    if (dialog.exec() != QDialog::Accepted) return;
    if (view.Doc().WriteItemAt(row, dialog.newValue, dialog.asyncWrite != 0) == 0) {
        ItemState state;
        view.Doc().ReadItem(row, &state);
        app.Messages().ShowMessageWithCause("Write Interface Failed", CauseOfLastCall(state.itemId),
                                            MessageIcon::None);
    }
}

void RegisterItemHandlers(CCommandHandlers& handlers) {
    handlers.Register(kCmdItemAdd, [](const CommandContext& c) {
        if (c.view != nullptr) BrowseAndAddItems(c.app, *c.view, c.parent);
    });
    handlers.Register(kCmdEditItemMapping, [](const CommandContext& c) {
        if (c.view != nullptr) EditItemMapping(c.app, *c.view, c.parent);
    });
    handlers.Register(kCmdItemWrite, [](const CommandContext& c) {
        if (c.view != nullptr) WriteSelectedItem(c.app, *c.view, c.parent);
    });
    auto printing = std::make_shared<CItemPrinting>();
    handlers.Register(kCmdPrint, [printing](const CommandContext& c) {
        if (c.view != nullptr) printing->Print(c.parent, c.view->Doc());
    });
    handlers.Register(kCmdPrintPreview, [printing](const CommandContext& c) {
        if (c.view != nullptr) printing->Preview(c.parent, c.view->Doc());
    });
    handlers.Register(kCmdPrintSetup, [printing](const CommandContext& c) { printing->Setup(c.parent); });
}

} // namespace quorvane
