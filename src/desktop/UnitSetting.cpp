#include "desktop/UnitSetting.h"

#include "platform/OtAutostart.h"

#include "app/AppSettings.h"
#include "desktop/OtAppCore.h"
#include "desktop/OtDialogControls.h"
#include "desktop/OtLang.h"
#include "desktop/OtMessageDialog.h"
#include "desktop/UnitAddEditTaskItem.h"
#include "desktop/UnitKuaipanLogin.h"
#include "platform/OtAutostart.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QSpinBox>
#include <QVBoxLayout>

namespace ot {

namespace {
QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

QCheckBox* NewSwitch(QWidget* AParent, const char* AName) {
    auto* s = new QCheckBox(AParent);
    s->setObjectName(QLatin1String(AName));
    s->setFixedSize(64, 23);
    return s;
}
} // namespace

TfrmSetting::TfrmSetting(TfrmTaskList& AMainForm) : QDialog(&AMainForm), FMainForm(AMainForm) {
    setWindowFlag(Qt::Window);
    QVBoxLayout* root = NewDialogRoot(*this, "frmSetting");
    ToolBar1 = NewToolStrip(this, root, "ToolBar1", 41);
    btnCancel = NewDialogButton(ToolBar1, "btnCancel", "Cancel", 80, 22);
    btnCancel->move(8, 8);
    btnOK = NewDialogButton(ToolBar1, "btnOK", "OK", 80, 22);
    btnOK->move(232, 8);

    ScrollBox1 = new QScrollArea(this);
    ScrollBox1->setObjectName(QStringLiteral("ScrollBox1"));
    ScrollBox1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    ScrollBox1->setFrameShape(QFrame::NoFrame);
    ScrollBox1->setWidgetResizable(true);
    auto* body = new QWidget;
    body->setObjectName(QStringLiteral("Layout00"));
    ScrollBox1->setWidget(body);
    root->addWidget(ScrollBox1, 1);
    auto* grid = new QGridLayout(body);
    grid->setContentsMargins(8, 5, 8, 5);
    grid->setVerticalSpacing(6);
    int r = 0;
    auto heading = [&](QLabel*& label, const char* name, const char* key) {
        label = NewDialogLabel(body, name, key);
        label->setProperty("StyleLookup", QStringLiteral("TitleStyle1"));
        QFont f = label->font();
        f.setBold(true);
        label->setFont(f);
        grid->addWidget(label, r++, 0, 1, 2);
    };
    auto line = [&](QLabel*& label, const char* name, const char* key, QWidget* control) {
        label = NewDialogLabel(body, name, key);
        label->setWordWrap(true);
        grid->addWidget(label, r, 0);
        grid->addWidget(control, r++, 1, Qt::AlignRight);
    };
    auto combo = [&](const char* name, int width) {
        auto* box = new QComboBox(body);
        box->setObjectName(QString::fromLatin1(name));
        box->setFixedSize(width, 23);
        return box;
    };

    heading(lblKuaipanSync, "lblKuaipanSync", "Kuaipan Cloud Synchronization");
    auto* account = new QHBoxLayout;
    btnKuaipanAccount = NewDialogButton(body, "btnKuaipanAccount", nullptr, 207, 23);
    btnClearKuaipanAccount = NewDialogButton(body, "btnClearKuaipanAccount", nullptr, 22, 23);
    btnClearKuaipanAccount->setText(QStringLiteral("\u00d7"));
    account->addWidget(btnKuaipanAccount);
    account->addWidget(btnClearKuaipanAccount);
    account->addStretch();
    grid->addLayout(account, r++, 0, 1, 2);
    swOpenKuaipanSync = NewSwitch(body, "swOpenKuaipanSync");
    line(lblOpenKuaipanSync, "lblOpenKuaipanSync", "Open Kuaipan Synchronization",
         swOpenKuaipanSync);
    sbSyncTimeInterval = new QSpinBox(body);
    sbSyncTimeInterval->setObjectName(QStringLiteral("sbSyncTimeInterval"));
    sbSyncTimeInterval->setFixedSize(62, 23);
    sbSyncTimeInterval->setRange(5, 60);
    sbSyncTimeInterval->setSingleStep(1);
    sbSyncTimeInterval->setValue(5);
    line(lblSyncTimeInterval, "lblSyncTimeInterval", "Synchronous time interval",
         sbSyncTimeInterval);
    swShowAppLogFormOnSyncing = NewSwitch(body, "swShowAppLogFormOnSyncing");
    line(lblShowAppLogFormOnSyncing, "lblShowAppLogFormOnSyncing",
         "Show the log form when synchronizing", swShowAppLogFormOnSyncing);

    heading(lblTaskAlert, "lblTaskAlert", "Alert");
    swOpenTaskAlert = NewSwitch(body, "swOpenTaskAlert");
    line(lblOpenTaskAlert, "lblOpenTaskAlert", "Open expiration task alert", swOpenTaskAlert);
    // Reminders need the program running: it can start with the desktop.
    swStartAtLogin = NewSwitch(body, "swStartAtLogin");
    line(lblStartAtLogin, "lblStartAtLogin", "Start at login", swStartAtLogin);

    heading(lblDislpay, "lblDislpay", "Dislpay");
    cmbbxTaskListView = combo("cmbbxTaskListView", 100);
    // At least as designed, wider where a style's font needs it for "Detail View".
    cmbbxTaskListView->setMinimumWidth(100);
    cmbbxTaskListView->setMaximumWidth(130);
    cmbbxTaskListView->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    line(lblTaskListView, "lblTaskListView", "The view of task list", cmbbxTaskListView);
    cmbbxAppStyle = combo("cmbbxAppStyle", 130);
    line(lblAppStyle, "lblAppStyle", "Application Style", cmbbxAppStyle);

    heading(lblLanguage, "lblLanguage", "Language");
    cmbbxLanguage = combo("cmbbxLanguage", 130);
    line(lblAppLang, "lblAppLang", "Language", cmbbxLanguage);

    heading(lblCheckData, "lblCheckData", "Data Consistency Check");
    btnDataCheck = NewDialogButton(body, "btnDataCheck", "Check", 70, 27);
    line(lblCheckUserTaskData, "lblCheckUserTaskData",
         "When a data error, you can use this feature to repair.", btnDataCheck);
    grid->setRowStretch(r, 1);
    grid->setColumnStretch(0, 1);

    WriteSetting = [this](const std::string& AName, const std::string& AValue) {
        return FMainForm.AppCore().SettingFile().WriteString(AName, AValue);
    };
    connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(btnOK, &QPushButton::clicked, this, &TfrmSetting::btnOKClick);
    connect(btnKuaipanAccount, &QPushButton::clicked, this, &TfrmSetting::btnKuaipanAccountClick);
    connect(btnClearKuaipanAccount, &QPushButton::clicked, this,
            &TfrmSetting::btnClearKuaipanAccountClick);
    connect(swOpenKuaipanSync, &QCheckBox::clicked, this, &TfrmSetting::swOpenKuaipanSyncClick);
    connect(btnDataCheck, &QPushButton::clicked, this, &TfrmSetting::btnDataCheckClick);
    FormCreate();
    // Connected after filling, so that filling previews nothing.
    connect(cmbbxLanguage, &QComboBox::currentIndexChanged, this,
            &TfrmSetting::cmbbxLanguageChange);
    connect(cmbbxAppStyle, &QComboBox::currentIndexChanged, this,
            &TfrmSetting::cmbbxAppStyleChange);
    connect(&LangApp(), &TLangApp::LangChanged, this, &TfrmSetting::TranslateTexts);
}

void TfrmSetting::FormCreate() {
    setWindowTitle(LangTranslate(QStringLiteral("Setting")));
    FIsClearKuaipanAccount = FIsSetKuaipanAccount = FIsStyleChange = FIsLangChange = false;
    const TOtSettingFile& settings = FMainForm.AppCore().SettingFile();
    swOpenKuaipanSync->setChecked(settings.ReadBool(SettingKeys::IsOpenKuaipanSync, true));
    sbSyncTimeInterval->setValue(settings.ReadInt(SettingKeys::SyncTimeInterval, 5));
    swShowAppLogFormOnSyncing->setChecked(
        settings.ReadBool(SettingKeys::IsShowAppLogFormOnSyncing, false));
    swOpenTaskAlert->setChecked(settings.ReadBool(SettingKeys::IsOpenTaskAlert, true));
    // The autostart entry itself is the setting: what the desktop will do.
    swStartAtLogin->setChecked(Autostart().IsEnabled());
    SetKuaipanAccountState(FMainForm.AppCore().HasAccessToken());
    SetLangCombobox(cmbbxLanguage);
    SetTaskListViewCombobox(cmbbxTaskListView);
    SetAppStyleCombobox(cmbbxAppStyle);
}

void TfrmSetting::SetLangCombobox(QComboBox* ACombo) {
    ACombo->clear();
    for (const QString& code : LangApp().Languages()) {
        const TLangApp::TTable* table = LangApp().Table(code);
        ACombo->addItem(table ? table->value(QStringLiteral("_LangTitle")) : code, code);
    }
    ACombo->setCurrentIndex(ACombo->findData(LangApp().Lang()));
}

void TfrmSetting::SetTaskListViewCombobox(QComboBox* ACombo) {
    ACombo->clear();
    ACombo->addItem(LangTranslate(QStringLiteral("Simple View")));
    ACombo->addItem(LangTranslate(QStringLiteral("Detail View")));
    ACombo->setCurrentIndex(FMainForm.Context().Settings.TaskListViewType == 1 ? 1 : 0);
}

void TfrmSetting::SetAppStyleCombobox(QComboBox* ACombo) {
    ACombo->clear();
    ACombo->addItem(QStringLiteral("Default Style"), QString());
    // Held as the settings read gives it: the styles directory and the name.
    // The user's own styles come first and hide installed ones of the same name.
    QStringList seen;
    for (const std::string& path : FMainForm.AppCore().Paths().StyleDirs()) {
        const QString stylesPath = Q(path);
        const QDir dir(stylesPath);
        for (const QFileInfo& f :
             dir.entryInfoList({QStringLiteral("*.Style")}, QDir::Files, QDir::Name)) {
            if (seen.contains(f.fileName()))
                continue;
            seen << f.fileName();
            QString shown = f.fileName();
            shown.replace(QLatin1String(".1."), QLatin1String(" "));
            shown.replace(QLatin1String(".0."), QLatin1String(" "));
            ACombo->addItem(shown, stylesPath + f.fileName());
        }
    }
    const int current = ACombo->findData(FMainForm.CurrentStyleFile());
    ACombo->setCurrentIndex(current < 0 ? 0 : current);
}

void TfrmSetting::SetKuaipanAccountState(bool IsBound) {
    FIsBound = IsBound;
    if (IsBound) {
        const std::string account =
            FMainForm.AppCore().SettingFile().ReadString(SettingKeys::KuaipanAccount, "");
        btnKuaipanAccount->setText(account.empty()
                                       ? LangTranslate(QStringLiteral("An unknown Kuaipan account"))
                                       : Q(account));
    } else {
        btnKuaipanAccount->setText(LangTranslate(QStringLiteral("Bind a Kuaipan account")));
    }
    SetButtonStyle(btnKuaipanAccount,
                   IsBound ? "BtnDateTimeStyleDisabled" : "BtnDateTimeStyleEnabled");
    btnKuaipanAccount->setEnabled(!IsBound);
    SetButtonStyle(btnClearKuaipanAccount,
                   IsBound ? "BtnClearStyleEnabled" : "BtnClearStyleDisabled");
    btnClearKuaipanAccount->setEnabled(IsBound);
    swOpenKuaipanSync->setEnabled(IsBound);
    if (IsBound) {
        swOpenKuaipanSyncClick();
    } else {
        sbSyncTimeInterval->setEnabled(false);
        swShowAppLogFormOnSyncing->setEnabled(false);
    }
}

void TfrmSetting::swOpenKuaipanSyncClick() {
    const bool on = swOpenKuaipanSync->isChecked();
    sbSyncTimeInterval->setEnabled(on);
    swShowAppLogFormOnSyncing->setEnabled(on);
}

void TfrmSetting::TranslateTexts() {
    setWindowTitle(LangTranslate(QStringLiteral("Setting")));
    SetKuaipanAccountState(FIsBound);
    const int view = cmbbxTaskListView->currentIndex();
    cmbbxTaskListView->setItemText(0, LangTranslate(QStringLiteral("Simple View")));
    cmbbxTaskListView->setItemText(1, LangTranslate(QStringLiteral("Detail View")));
    cmbbxTaskListView->setCurrentIndex(view);
}

void TfrmSetting::cmbbxLanguageChange() {
    const QString code = cmbbxLanguage->currentData().toString();
    if (cmbbxLanguage->currentIndex() >= 0 && code != LangApp().Lang())
        LangApp().SetLang(code);
}

void TfrmSetting::cmbbxAppStyleChange() {
    if (cmbbxAppStyle->currentIndex() < 0)
        return;
    FMainForm.ApplyStyleFile(cmbbxAppStyle->currentData().toString());
    // The account buttons take the named looks of the new sheet at once.
    SetKuaipanAccountState(FIsBound);
}

void TfrmSetting::btnKuaipanAccountClick() {
    TfrmKuaipanLogin login(FMainForm.AppCore(), FMainForm.Platform(), this);
    login.setWindowFlag(Qt::Window);
    login.move(MainFormPosSize.Left, MainFormPosSize.Top);
    if (ExecModal(login) != QDialog::Accepted)
        return;
    FMainForm.AppCore().SettingFile().WriteString(SettingKeys::KuaipanAccount,
                                                  login.edtUsername->text().toStdString());
    FIsClearKuaipanAccount = false;
    FMainForm.SyncFlags().IsKuaipanAccountCleared = false;
    FIsSetKuaipanAccount = true;
    SetKuaipanAccountState(true);
}

void TfrmSetting::btnClearKuaipanAccountClick() {
    const QString question = LangTranslate(QStringLiteral("Delete the Kuaipan account \"%s\"?"))
                                 .replace(QLatin1String("%s"), btnKuaipanAccount->text());
    if (ShowMessageDialogEx(question, mtConfirmation, QMessageBox::Yes | QMessageBox::No,
                            QMessageBox::No) != QMessageBox::Yes)
        return;
    FIsClearKuaipanAccount = true;
    SetKuaipanAccountState(false);
}

void TfrmSetting::btnDataCheckClick() {
    if (ShowMessageDialogEx(
            QStringLiteral("Do you want to start data consistency check and repair? According to "
                           "the amount of data, the operation will take some time."),
            mtConfirmation, QMessageBox::Yes | QMessageBox::No,
            QMessageBox::No) != QMessageBox::Yes)
        return;
    btnDataCheck->setEnabled(false);
    btnDataCheck->setText(LangTranslate(QStringLiteral("Check")) + QStringLiteral("..."));
    const std::vector<std::string> logs = FMainForm.AppCore().DoDataCheck(
        [] { QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents); });
    const QString eol = QStringLiteral("\r\n");
    QString message =
        LangTranslate(QStringLiteral("Data consistency check and repair finished!")) + eol;
    if (!logs.empty()) {
        message += eol + QStringLiteral("Details:") + eol;
        for (const std::string& l : logs)
            message += Q(l) + eol;
    }
    btnDataCheck->setText(LangTranslate(QStringLiteral("Check")));
    btnDataCheck->setEnabled(true);
    ShowMessageDialog(message, mtInformation, QMessageBox::Ok);
}

void TfrmSetting::btnOKClick() {
    TOtAppCore& core = FMainForm.AppCore();
    const TAppSettings& saved = FMainForm.Context().Settings;
    if (FIsClearKuaipanAccount) {
        core.DeleteAuthFile();
        WriteSetting(SettingKeys::KuaipanAccount, "");
    }
    FIsLangChange = Q(saved.Lang) != LangApp().Lang();
    const QString style = FMainForm.CurrentStyleFile();
    const std::pair<const char*, std::string> writes[] = {
        {SettingKeys::Lang, LangApp().Lang().toStdString()},
        {SettingKeys::IsOpenKuaipanSync, SettingBoolToStr(swOpenKuaipanSync->isChecked())},
        {SettingKeys::SyncTimeInterval, std::to_string(sbSyncTimeInterval->value())},
        {SettingKeys::IsShowAppLogFormOnSyncing,
         SettingBoolToStr(swShowAppLogFormOnSyncing->isChecked())},
        {SettingKeys::TaskListViewType, std::to_string(cmbbxTaskListView->currentIndex())},
        {SettingKeys::AppStyle,
         style.isEmpty() ? std::string() : QFileInfo(style).fileName().toStdString()},
        {SettingKeys::IsOpenTaskAlert, SettingBoolToStr(swOpenTaskAlert->isChecked())},
    };
    bool ok = true;
    for (const auto& [name, value] : writes)
        if (!(ok = WriteSetting(name, value)))
            break;
    if (ok)
        ok = Autostart().SetEnabled(swStartAtLogin->isChecked());
    FIsStyleChange = style != Q(saved.AppStyle);
    if (ok)
        accept();
    else
        ShowMessageDialog(QStringLiteral("Failed to save settings!"), mtError, QMessageBox::Ok);
}

TOtAutostart TfrmSetting::Autostart() const {
    return TOtAutostart(TOtAutostart::DefaultConfigHome(), QCoreApplication::applicationFilePath());
}

TSettingDialogResult TfrmSetting::Result() const {
    return {result() == QDialog::Accepted, FIsSetKuaipanAccount, FIsClearKuaipanAccount,
            FIsStyleChange, FIsLangChange};
}

TSettingDialogResult ExecSettingDialog(TfrmTaskList& AMainForm) {
    TfrmSetting dialog(AMainForm);
    dialog.move(MainFormPosSize.Left, MainFormPosSize.Top);
    dialog.setResult(ExecModal(dialog));
    return dialog.Result();
}

} // namespace ot
