// The item commands of a group window that run dialogs: Item Add (the tag
// browser, each addition through the point mapping dialog), the mapping edit
// of a double click, Item Write, and File Print, Print Preview and Print
// Setup. Registered with the window layer's command handlers.
#pragma once

#include "windows/command_handlers.h"
#include "windows/tag_browser_dlg.h"

#include <string>

namespace quorvane {

class CQuorvaneApp;
class CQuorvaneView;

// A browsed item: a new item with the default mapping at the next free
// address, the mapping dialog (showing the item id), and on OK the item
// mapped and added to the view's group. Cancel adds nothing.
void AddBrowsedItem(CQuorvaneApp& app, CQuorvaneView& view, QWidget* parent, const std::string& itemId,
                    const std::string& accessPath);

// The selected item's mapping in the mapping dialog; on OK the item is
// remapped. Nothing when the selected row designates no item.
void EditItemMapping(CQuorvaneApp& app, CQuorvaneView& view, QWidget* parent);

// The tag browser on the connected server for the view's group.
void BrowseAndAddItems(CQuorvaneApp& app, CQuorvaneView& view, QWidget* parent,
                       const BrowseTable& browse = BrowseTable());

// "Write OPC Item" for the selected item ("Asynchronous Write" ticked); a
// failed write shows "Write Interface Failed".
void WriteSelectedItem(CQuorvaneApp& app, CQuorvaneView& view, QWidget* parent);

// Item Add, Item Write, the double click's mapping edit, File Print, Print
// Preview and Print Setup (one printer kept for the session).
void RegisterItemHandlers(CCommandHandlers& handlers);

} // namespace quorvane
