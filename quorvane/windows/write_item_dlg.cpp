#include "windows/write_item_dlg.h"

#include "windows/dialog_kit.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QVBoxLayout>

namespace quorvane {

CWriteItemDlg::CWriteItemDlg(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("writeItemDlg"));
    setWindowTitle(QStringLiteral("Write OPC Item"));
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout();
    valueBox_ = MakeBox(QStringLiteral("newValueBox"), this);
    form->addRow(QStringLiteral("New Value:"), valueBox_);
    layout->addLayout(form);
    asyncBox_ = new QCheckBox(QStringLiteral("Asynchronous Write"), this);
    asyncBox_->setObjectName(QStringLiteral("asyncWriteBox"));
    layout->addWidget(asyncBox_);
    layout->addWidget(MakeCloseButtons(this));
    FitCaption(this);
}

void CWriteItemDlg::showEvent(QShowEvent* event) {
    if (!opened_) {
        opened_ = true;
        SetFloatBox(valueBox_, newValue);
        asyncBox_->setChecked(asyncWrite != 0);
        asyncBox_->setEnabled(asyncAllowedByService != 0 && asyncAllowed != 0);
        valueBox_->setFocus();
        valueBox_->selectAll();
    }
    QDialog::showEvent(event);
}

void CWriteItemDlg::accept() {
    float value = 0.0f;
    if (!ReadFloatBox(valueBox_, &value)) return;
    newValue = value;
    asyncWrite = asyncBox_->isChecked() ? 1 : 0;
    QDialog::accept();
}

} // namespace quorvane
