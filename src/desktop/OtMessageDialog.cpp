#include "desktop/OtMessageDialog.h"

#include "desktop/OtLang.h"

#include <QAbstractButton>
#include <QDialog>
#include <QLabel>

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

int ExecModal(QDialog& ADialog) {
    if (Hook()) {
        // A copy: the hook may replace itself while it answers.
        TModalHook hook = Hook();
        return hook(ADialog);
    }
    return ADialog.exec();
}

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
