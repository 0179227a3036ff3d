#pragma once
// TfrmSetting: the settings dialog. It binds or removes the cloud account,
// switches synchronization, its interval, the log window and the alerts,
// picks the list view, the style and the language (both previewed at once),
// and runs the data consistency check. A newly bound account is stored at
// once; everything else only on OK. What follows (settings read again,
// previews undone on Cancel) is the main window's DoSetting.

#include "desktop/UnitTaskList.h"
#include "platform/OtAutostart.h"

#include <QDialog>

#include <functional>
#include <string>

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QScrollArea;
class QSpinBox;

namespace ot {

class TfrmSetting : public QDialog {
    Q_OBJECT
public:
    explicit TfrmSetting(TfrmTaskList& AMainForm);

    void FormCreate();
    void btnOKClick();
    void btnKuaipanAccountClick();
    void btnClearKuaipanAccountClick();
    void swOpenKuaipanSyncClick();
    void btnDataCheckClick();
    void cmbbxLanguageChange();
    void cmbbxAppStyleChange();
    void SetLangCombobox(QComboBox* ACombo);
    void SetTaskListViewCombobox(QComboBox* ACombo);
    void SetAppStyleCombobox(QComboBox* ACombo);

    bool IsClearKuaipanAccount() const { return FIsClearKuaipanAccount; }
    bool IsSetKuaipanAccount() const { return FIsSetKuaipanAccount; }
    bool IsStyleChange() const { return FIsStyleChange; }
    bool IsLangChange() const { return FIsLangChange; }
    TSettingDialogResult Result() const;
    // Shows the account as bound or not (FormCreate decides by the token).
    void SetKuaipanAccountState(bool IsBound);
    // The desktop's autostart entry for this program.
    TOtAutostart Autostart() const;

    // Writes one setting; the settings file's by default (tests make the
    // N-th write fail through it).
    std::function<bool(const std::string& AName, const std::string& AValue)> WriteSetting;

    QWidget* ToolBar1;
    QPushButton* btnCancel;
    QPushButton* btnOK;
    QScrollArea* ScrollBox1;
    QLabel* lblKuaipanSync;
    QPushButton* btnKuaipanAccount;
    QPushButton* btnClearKuaipanAccount;
    QLabel* lblOpenKuaipanSync;
    QCheckBox* swOpenKuaipanSync;
    QLabel* lblSyncTimeInterval;
    QSpinBox* sbSyncTimeInterval;
    QLabel* lblShowAppLogFormOnSyncing;
    QCheckBox* swShowAppLogFormOnSyncing;
    QLabel* lblTaskAlert;
    QLabel* lblOpenTaskAlert;
    QCheckBox* swOpenTaskAlert;
    QLabel* lblStartAtLogin;
    QCheckBox* swStartAtLogin;
    QLabel* lblDislpay;
    QLabel* lblTaskListView;
    QComboBox* cmbbxTaskListView;
    QLabel* lblAppStyle;
    QComboBox* cmbbxAppStyle;
    QLabel* lblLanguage;
    QLabel* lblAppLang;
    QComboBox* cmbbxLanguage;
    QLabel* lblCheckData;
    QLabel* lblCheckUserTaskData;
    QPushButton* btnDataCheck;

private:
    // Texts set by code, again in the current language.
    void TranslateTexts();

    TfrmTaskList& FMainForm;
    bool FIsClearKuaipanAccount = false;
    bool FIsSetKuaipanAccount = false;
    bool FIsStyleChange = false;
    bool FIsLangChange = false;
    bool FIsBound = false;
};

// Shows the settings dialog modally at the main window's place and answers
// what it reports.
TSettingDialogResult ExecSettingDialog(TfrmTaskList& AMainForm);

} // namespace ot
