#pragma once
// Small builders the class manager, settings and login windows share: named,
// translatable buttons and labels, and the tool strip at the top of a
// full-size dialog.

#include <QBasicTimer>
#include <QLabel>
#include <QProgressBar>
#include <QString>

class QDialog;
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

// A one-line label that shows what does not fit with "…" in place of the
// missing part, instead of cutting it off, and the whole text as its tip.
// text() stays the whole text; the label asks for no width of its own, so a
// long text never widens its window.
class TOtElidedLabel : public QLabel {
public:
    TOtElidedLabel(Qt::TextElideMode AMode, QWidget* AParent);
    QSize minimumSizeHint() const override;
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* AEvent) override;

private:
    Qt::TextElideMode FMode;
};

// The activity indicator: a ring of dots that turns while the range is
// (0, 0), "busy" as a progress bar says it, and stands faint otherwise.
class TOtActivityIndicator : public QProgressBar {
public:
    explicit TOtActivityIndicator(QWidget* AParent);

protected:
    void paintEvent(QPaintEvent* AEvent) override;
    void showEvent(QShowEvent* AEvent) override;
    void hideEvent(QHideEvent* AEvent) override;
    void timerEvent(QTimerEvent* AEvent) override;

private:
    QBasicTimer FTimer;
    int FStep = 0;
};

} // namespace ot
