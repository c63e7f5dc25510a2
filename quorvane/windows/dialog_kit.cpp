#include "windows/dialog_kit.h"

#include "model/number_parse.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFontMetrics>
#include <QGridLayout>
#include <QSpacerItem>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QVariant>

#include <algorithm>
#include <string>

namespace quorvane {
namespace {

// Dynamic properties of a float box: the text it was filled with and the
// value behind it.
constexpr const char* kShownText = "qvShownText";
constexpr const char* kShownValue = "qvShownValue";

FieldMessageObserver& Observer() {
    static FieldMessageObserver observer;
    return observer;
}

std::string Utf8(const QLineEdit* box) { return box->text().toStdString(); }

bool Refuse(QLineEdit* box, const std::string& message) {
    if (message.empty()) return true;
    ShowFieldMessage(box, QString::fromStdString(message));
    return false;
}

} // namespace

std::unique_ptr<QMessageBox> MakeMessageBox(QWidget* parent, const QString& title, const QString& text,
                                            const QString& cause, bool stopIcon) {
    auto box = std::make_unique<QMessageBox>(stopIcon ? QMessageBox::Critical : QMessageBox::NoIcon, title, text,
                                             QMessageBox::Ok, parent);
    box->setObjectName(QStringLiteral("messageBox"));
    if (!cause.isEmpty()) box->setInformativeText(cause);
    // A message box sizes itself when shown, from its layout: a spacer as
    // wide as the caption needs keeps the title bar from cutting the title.
    if (auto* grid = qobject_cast<QGridLayout*>(box->layout()))
        grid->addItem(new QSpacerItem(CaptionWidth(box.get()), 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                      grid->rowCount(), 0, 1, grid->columnCount());
    return box;
}

void ShowProgramMessage(QWidget* parent, const QString& text) {
    MakeMessageBox(parent, QStringLiteral("Quorvane"), text)->exec();
}

int CaptionWidth(const QWidget* window) {
    const QFontMetrics metrics(QApplication::font("QMdiSubWindowTitleBar"));
    // Icon, three buttons and the margins: about eight line heights.
    return metrics.horizontalAdvance(window->windowTitle()) + 8 * metrics.height();
}

void FitCaption(QDialog* dialog) {
    const int least = std::max(dialog->minimumSizeHint().width(), CaptionWidth(dialog));
    dialog->setMinimumWidth(least);
    if (dialog->width() < least) dialog->resize(least, dialog->height());
}

void ShowFieldMessage(QLineEdit* box, const QString& text) {
    if (Observer()) Observer()(box, text);
    else ShowProgramMessage(box->window(), text);
    box->setFocus(Qt::OtherFocusReason);
    box->selectAll();
}

void SetFieldMessageObserver(FieldMessageObserver observer) { Observer() = std::move(observer); }

void SetUnsignedBox(QLineEdit* box, uint32_t value) { box->setText(QString::number(value)); }

void SetFloatBox(QLineEdit* box, float value) {
    const QString text = QString::fromStdString(FormatFloatText(value));
    box->setText(text);
    box->setProperty(kShownText, text);
    box->setProperty(kShownValue, value);
}

bool ReadUnsignedBox(QLineEdit* box, uint32_t* out) { return Refuse(box, ParseUnsignedText(Utf8(box), out)); }

bool ReadRangedBox(QLineEdit* box, uint32_t low, uint32_t high, uint32_t* out) {
    return Refuse(box, ParseRangedText(Utf8(box), low, high, out));
}

bool ReadFloatBox(QLineEdit* box, float* out) {
    const QVariant shown = box->property(kShownText);
    if (!shown.isValid()) return Refuse(box, ParseFloatText(Utf8(box), out));
    return Refuse(box, ParseShownFloatText(Utf8(box), shown.toString().toStdString(),
                                           box->property(kShownValue).toFloat(), out));
}

QLineEdit* MakeBox(const QString& objectName, QWidget* parent) {
    auto* box = new QLineEdit(parent);
    box->setObjectName(objectName);
    return box;
}

QDialogButtonBox* MakeCloseButtons(QDialog* dialog, const QString& acceptText) {
    auto* buttons = new QDialogButtonBox(dialog);
    QPushButton* accept = buttons->addButton(acceptText, QDialogButtonBox::AcceptRole);
    accept->setObjectName(QStringLiteral("%1Button").arg(acceptText.toLower()));
    accept->setDefault(true);
    buttons->addButton(QStringLiteral("Cancel"), QDialogButtonBox::RejectRole)
        ->setObjectName(QStringLiteral("cancelButton"));
    // accept() is virtual: a form's own check runs.
    QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    return buttons;
}

CWaitCursor::CWaitCursor(QWidget* holder) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    // The offscreen platform of the tests cannot hold the mouse.
    if (holder != nullptr && holder->isVisible() && QGuiApplication::platformName() != QLatin1String("offscreen")) {
        holder->grabMouse();
        grabbed_ = holder;
    }
}

CWaitCursor::~CWaitCursor() {
    if (grabbed_ != nullptr) grabbed_->releaseMouse();
    QApplication::restoreOverrideCursor();
}

} // namespace quorvane
