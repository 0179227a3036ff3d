#pragma once
// Small builders the class manager, settings and login windows share: named,
// translatable buttons and labels, and the tool strip at the top of a
// full-size dialog.

#include <QString>

class QDialog;
class QLabel;
class QPushButton;
class QVBoxLayout;
class QWidget;

namespace ot {

// A button named AName with the translatable text AKey (none when null).
QPushButton* NewDialogButton(QWidget* AParent, const char* AName, const char* AKey, int AWidth,
                             int AHeight);
QLabel* NewDialogLabel(QWidget* AParent, const char* AName, const char* AKey);
// A strip of AHeight named AName added to ARoot; its buttons are placed by hand.
QWidget* NewToolStrip(QWidget* AOwner, QVBoxLayout* ARoot, const char* AName, int AHeight);
// ADialog's root layout: no margins, no spacing, 320 x 480.
QVBoxLayout* NewDialogRoot(QDialog& ADialog, const char* AName);

} // namespace ot
