#include "desktop/OtMessageDialog.h"

#include "desktop/OtLang.h"

#include <QAbstractButton>
#include <QDialog>
#include <QEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QLayout>
#include <QScreen>

#include <algorithm>

namespace ot {

TMainFormPosSize MainFormPosSize;

namespace {
TModalHook& Hook() {
    static TModalHook hook;
    return hook;
}

const char* KindCaption(TMsgDlgType Kind) {
    switch (Kind) {
    case mtWarning:
        return "Warning";
    case mtError:
        return "Error";
    case mtInformation:
        return "Information";
    case mtConfirmation:
        return "Confirm";
    }
    return "";
}

QMessageBox::Icon KindIcon(TMsgDlgType Kind) {
    switch (Kind) {
    case mtWarning:
        return QMessageBox::Warning;
    case mtError:
        return QMessageBox::Critical;
    case mtInformation:
        return QMessageBox::Information;
    case mtConfirmation:
        return QMessageBox::Question;
    }
    return QMessageBox::NoIcon;
}
} // namespace

void SetModalHook(TModalHook AHook) {
    Hook() = std::move(AHook);
}

void KeepInsideAvailableArea(QWidget& AWindow) {
    const QScreen* screen = AWindow.screen() ? AWindow.screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->availableGeometry();
    const QSize size = AWindow.size().boundedTo(area.size());
    if (AWindow.minimumWidth() > size.width() || AWindow.minimumHeight() > size.height())
        AWindow.setMinimumSize(AWindow.minimumSize().boundedTo(size));
    if (size != AWindow.size())
        AWindow.resize(size);
    const int left =
        std::clamp(AWindow.x(), area.left(), area.left() + area.width() - size.width());
    const int top = std::clamp(AWindow.y(), area.top(), area.top() + area.height() - size.height());
    if (left != AWindow.x() || top != AWindow.y())
        AWindow.move(left, top);
}

int ExecModal(QDialog& ADialog) {
    KeepInsideAvailableArea(ADialog);
    if (Hook()) {
        // A copy: the hook may replace itself while it answers.
        TModalHook hook = Hook();
        return hook(ADialog);
    }
    return ADialog.exec();
}

namespace {
// The message box sizes itself when it is shown (and again when its style,
// font or layout changes): up to half the screen wide, a long line unwrapped.
// Right after each time, a text that would make it wider than the main
// window it is centred on wraps instead, within that width.
class TWrapToMainForm : public QObject {
public:
    TWrapToMainForm(QMessageBox& ABox, QLabel& ALabel)
        : QObject(&ABox), FBox(ABox), FLabel(ALabel) {
        ABox.installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* AWatched, QEvent* AEvent) override {
        if (AWatched != &FBox || FInside)
            return false;
        // The box would size itself again at every layout request (its
        // layout has handled the request already by now).
        if (FNarrowed && AEvent->type() == QEvent::LayoutRequest)
            return true;
        switch (AEvent->type()) {
        case QEvent::Show:
        case QEvent::StyleChange:
        case QEvent::FontChange:
        case QEvent::LanguageChange:
            break;
        default:
            return false;
        }
        FInside = true;
        static_cast<QObject&>(FBox).event(AEvent); // QMessageBox sizes itself here
        FInside = false;
        if (FBox.isVisible())
            Fit();
        return true;
    }

private:
    void Fit() {
        QLayout* layout = FBox.layout();
        if (!layout)
            return;
        const int widest = std::max(MainFormPosSize.Width, 320);
        // The label's share of the box's minimum width, from the layout
        // alone: on a real display the box's geometry follows later.
        const int natural = FLabel.fontMetrics()
                                .boundingRect(QRect(0, 0, 100000, 100000), 0, FLabel.text())
                                .width() +
                            10;
        const int labelMinimum =
            FLabel.minimumWidth() > 0 ? FLabel.minimumWidth() : FLabel.minimumSizeHint().width();
        const int extra = layout->totalMinimumSize().width() - labelMinimum;
        if (!FNarrowed && extra + natural <= widest)
            return;
        FNarrowed = true;
        FLabel.setWordWrap(true);
        int width = std::max(widest - extra, 120);
        for (int round = 0; round < 3; ++round) {
            FLabel.setMinimumWidth(0);
            FLabel.setFixedWidth(width);
            const int over = layout->totalMinimumSize().width() - widest;
            if (over <= 0 || width <= 120)
                break;
            width = std::max(width - over, 120);
        }
        FLabel.setMinimumHeight(FLabel.heightForWidth(width));
        FBox.setFixedSize(layout->totalMinimumSize());
        FBox.move(CenteredOnMainForm(FBox.width(), FBox.height()));
    }

    QMessageBox& FBox;
    QLabel& FLabel;
    bool FInside = false;
    bool FNarrowed = false;
};
} // namespace

QPoint CenteredOnMainForm(int AWidth, int AHeight) {
    const TMainFormPosSize& p = MainFormPosSize;
    return {p.Left + p.Width / 2 - AWidth / 2, p.Top + p.Height / 2 - AHeight / 2};
}

int ExecMessageBox(QMessageBox& ABox) {
    ABox.setObjectName(QStringLiteral("MessageDialog"));
    for (auto [button, key] : {std::pair{QMessageBox::Ok, "OK"}, std::pair{QMessageBox::Yes, "Yes"},
                               std::pair{QMessageBox::No, "No"}})
        if (QAbstractButton* b = ABox.button(button))
            SetLangText(b, QString::fromLatin1(key));
    if (auto* label = ABox.findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))) {
        label->setObjectName(QStringLiteral("Message"));
        label->setMinimumWidth(label->sizeHint().width() + 10);
        new TWrapToMainForm(ABox, *label);
    }
    ABox.adjustSize();
    ABox.move(CenteredOnMainForm(ABox.width(), ABox.height()));
    return ExecModal(ABox);
}

int ShowMessageDialogEx(const QString& Text, TMsgDlgType Kind, QMessageBox::StandardButtons Buttons,
                        QMessageBox::StandardButton DefaultButton) {
    QMessageBox box(KindIcon(Kind), LangTranslate(QString::fromLatin1(KindCaption(Kind))),
                    LangApp().Translate(Text), Buttons);
    if (DefaultButton != QMessageBox::NoButton)
        box.setDefaultButton(DefaultButton);
    const int result = ExecMessageBox(box);
    // QDialog::exec answers the button's role value for a QMessageBox;
    // callers compare with the standard button.
    if (QAbstractButton* clicked = box.clickedButton())
        return box.standardButton(clicked);
    return result;
}

int ShowMessageDialog(const QString& Text, TMsgDlgType Kind, QMessageBox::StandardButtons Buttons) {
    return ShowMessageDialogEx(Text, Kind, Buttons, QMessageBox::NoButton);
}

} // namespace ot
