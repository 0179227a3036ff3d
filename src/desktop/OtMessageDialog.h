#pragma once
// Message boxes and modal dialogs. Every modal window of the program is shown
// through ExecModal, so a test can answer it in advance (SetModalHook)
// instead of leaving it waiting for a user.

#include <QMessageBox>
#include <QString>

#include <functional>

class QDialog;

namespace ot {

enum TMsgDlgType { mtWarning, mtError, mtInformation, mtConfirmation };

// The recorded main-window geometry by which dialogs place themselves.
struct TMainFormPosSize {
    int Left = 0;
    int Top = 0;
    int Width = 0;
    int Height = 0;
};
extern TMainFormPosSize MainFormPosSize;

// Shows ADialog modally and answers its result. With a hook installed the
// hook answers instead (it may fill the dialog and press its buttons); the
// dialog is never shown.
int ExecModal(QDialog& ADialog);
using TModalHook = std::function<int(QDialog&)>;
void SetModalHook(TModalHook AHook);

// The standard message box: the text translated as a control text, the
// caption translated by kind, centred on MainFormPosSize. Answers the
// QMessageBox::StandardButton pressed.
int ShowMessageDialog(const QString& Text, TMsgDlgType Kind, QMessageBox::StandardButtons Buttons);
int ShowMessageDialogEx(const QString& Text, TMsgDlgType Kind, QMessageBox::StandardButtons Buttons,
                        QMessageBox::StandardButton DefaultButton);

// Shows a prepared message box the way every message box of the program is
// shown: button texts translated, message label 10 pixels wider, centred on
// MainFormPosSize.
int ExecMessageBox(QMessageBox& ABox);

// The left/top that centre a box of the given size on MainFormPosSize.
QPoint CenteredOnMainForm(int AWidth, int AHeight);
// Shrinks AWindow to the screen area that panels leave free and moves it
// inside (a scale factor of 2 makes a 480-pixel window taller than many
// screens).
void KeepInsideAvailableArea(QWidget& AWindow);

} // namespace ot
