// What every modal form of the program shares: boxes that hold numbers, the
// check of their text on OK with the message the operator sees, and the wait
// cursor of long server calls.
//
// A form fills its boxes with SetUnsignedBox / SetFloatBox and reads them back
// on OK with the Read* functions in its validation order; the first refusal
// shows its message ("Quorvane", OK), puts the focus into the refused box
// with its text selected and answers false, so the form stays open:
//
//     uint32_t address = 0;
//     if (!ReadRangedBox(addressBox_, 1, 9999, &address)) return;
//
// The parsing itself is number_parse.h (decimal only, locale independent).
#pragma once

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

class QDialog;
class QDialogButtonBox;
class QLineEdit;
class QMessageBox;
class QWidget;

namespace quorvane {

// A message box titled `title` with `text`, its cause (when not empty) as
// the informative text beneath it, an OK button, and at least the width its
// caption needs (FitCaption); object name "messageBox".
std::unique_ptr<QMessageBox> MakeMessageBox(QWidget* parent, const QString& title, const QString& text,
                                            const QString& cause = QString(), bool stopIcon = false);

// A message box titled "Quorvane" with an OK button, modal to `parent`.
void ShowProgramMessage(QWidget* parent, const QString& text);

// The width a top-level window needs for its caption to show whole in a
// window manager's title bar: the title in the font, and room for the bar's
// icon and buttons (which grows with the font).
int CaptionWidth(const QWidget* window);
// Makes a dialog at least CaptionWidth wide, keeping its layout's minimum.
// Call once its layout and title are set.
void FitCaption(QDialog* dialog);

// The refusal of a box: ShowProgramMessage, then the focus into `box` with its
// whole text selected.
void ShowFieldMessage(QLineEdit* box, const QString& text);

// Tests see each field message here instead of a box that waits for a click
// (the focus and selection are still set). An empty function restores boxes.
using FieldMessageObserver = std::function<void(QLineEdit* box, const QString& text)>;
void SetFieldMessageObserver(FieldMessageObserver observer);

// Filling boxes. A float box shows "%.6g" and remembers the value it shows:
// read back with its text untouched, it gives that value exactly.
void SetUnsignedBox(QLineEdit* box, uint32_t value);
void SetFloatBox(QLineEdit* box, float value);

// Reading boxes on OK: true and *out set, or the field message shown and false.
bool ReadUnsignedBox(QLineEdit* box, uint32_t* out);
bool ReadRangedBox(QLineEdit* box, uint32_t low, uint32_t high, uint32_t* out);
bool ReadFloatBox(QLineEdit* box, float* out);

// A line edit with an object name, for forms built in code.
QLineEdit* MakeBox(const QString& objectName, QWidget* parent);

// The form's closing buttons: `acceptText` ("OK"; object name "okButton", or
// "yesButton" for "Yes") is the default button and runs the dialog's
// accept(), which may validate and stay open; "Cancel" ("cancelButton")
// rejects. The caller adds the box to its layout.
QDialogButtonBox* MakeCloseButtons(QDialog* dialog, const QString& acceptText = QStringLiteral("OK"));

// The wait cursor over the whole program, and the mouse held by `holder`
// (when it is shown), for as long as the object lives.
class CWaitCursor {
public:
    explicit CWaitCursor(QWidget* holder);
    ~CWaitCursor();
    CWaitCursor(const CWaitCursor&) = delete;
    CWaitCursor& operator=(const CWaitCursor&) = delete;

private:
    QWidget* grabbed_ = nullptr;
};

} // namespace quorvane
