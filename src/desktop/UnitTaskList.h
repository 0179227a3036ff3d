#pragma once
// The main window TfrmTaskList: quick entry and tool buttons at the top, the
// pager of task lists in the middle, the sync status strip at the bottom;
// start-up (FormCreate), closing (FormClose) and tear-down (FormDestroy).

#include "desktop/OtDesktopContext.h"
#include "sync/OtKuaipanSyncModel.h"
#include "tasks/OtTask.h"

#include <QPointF>
#include <QStringList>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>

class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QScrollArea;
class QTimer;
class QToolButton;

namespace ot {

class TOtAppCore;
class TOtPlatform;
class TOtTaskAlertThread;
class TOtQtLocalTaskTree;
class TOtTaskClassGUI;
class TOtTaskUndo;
class TOtFindPanel;
class TQtSyncObserver;
class TfrmAppLog;

// What the settings dialog reports when it closes.
struct TSettingDialogResult {
    bool Accepted = false; // closed with OK
    bool IsSetKuaipanAccount = false;
    bool IsClearKuaipanAccount = false;
    bool IsStyleChange = false;
    bool IsLangChange = false;
};

class TfrmTaskList : public QWidget {
    Q_OBJECT
public:
    // AProgramDir: the directory whose layout (userdata/1/..., styles/) the
    // program uses. AFlags: the sync flags shared with the sync thread.
    TfrmTaskList(TOtPlatform& APlatform, const std::string& AProgramDir,
                 TSyncFlags& AFlags = ProgramSyncFlags());
    // The same on the layout APaths (portable or installed).
    TfrmTaskList(TOtPlatform& APlatform, const TAppPaths& APaths,
                 TSyncFlags& AFlags = ProgramSyncFlags());
    ~TfrmTaskList() override;

    // Start-up. False when it ended early (missing database, no default
    // list): the program must terminate.
    bool FormCreate();
    // The add/edit, date and time dialogs, created once after start-up.
    void CreateDialogs();
    void ReadAppSettings();
    void FormClose();
    void FormDestroy();

    QString LangTranslate(const QString& AString) const;
    void TranslateUI();
    void LoadTaskList();
    void SetMoveButtons();
    void GetMainFormPosSize();
    void CreatePopupMenu();
    void DestoryPopupMenu() {}
    void OnToolMenuItemClick(QObject* Sender);
    void DoSetting();
    // What follows the settings dialog: settings read again and followed
    // after OK, previews undone after Cancel.
    void DoSettingResult(const TSettingDialogResult& AResult);
    // Shows the settings dialog modally at the main window's place (tests
    // may answer it instead).
    std::function<TSettingDialogResult()> ShowSettingDialog;
    // Shows the task class manager modally at the main window's place.
    std::function<void()> ShowManageTaskClass;
    void DoCheckUpdate();
    void DoAbout();
    // The "Recently Deleted" window: a deleted task brought back shows in its page.
    void DoTrash();
    // "Import…": tasks from a file of another program (or an export) into the
    // lists; those that name no list go into the page shown. "Export…": every
    // list into a file, the format told by its extension (.ics, .txt, else
    // JSON). Each says what it did in a message.
    void DoImport();
    void DoExport();
    // The file to read (ASave false) or to write, empty when the user
    // cancelled; tests answer it instead of the file dialog.
    std::function<QString(bool ASave)> ChooseExchangeFile;
    // "Find" (Ctrl+F): opens the field above the pages; a task chosen is
    // shown selected in its page.
    void DoFind();
    // Ctrl+Z: the last change made in this window, undone.
    void DoUndo();
    const TOtTaskUndo* UndoHistory() const { return FUndo.get(); }
    void ShowTask(const TOtTaskItemPtr& AItem);
    void CheckNewVersionForUpgrade(bool IsSilence);
    void FinishUpgrade();
    void CreateTrayIcon();
    // The tray icon's menu: show/hide, new task, synchronize now, quit.
    void CreateTrayMenu();
    QMenu* TrayPopupMenu() const { return FTrayPopupMenu; }
    // Shows the hidden window or hides the shown one (tray, hot key).
    void ToggleMainForm();
    // Shows the window in front of the others (a second start of the
    // program asks for this).
    void BringToFront();
    // Ends the program after the window closed from the tray menu.
    std::function<void()> QuitApplication;

    // Event handlers.
    void edtTaskKeyDown(int Key, Qt::KeyboardModifiers Shift);
    void btnAddTaskClick();
    void btnManageTaskClassClick();
    void btnMenuClick();
    void btnMoveLeftClick();
    void btnMoveRightClick();
    void sbTasksMouseDown(const QPointF& APos);
    void sbTasksMouseUp(const QPointF& APos);
    void lytTasksResize();
    // The find field came, went, or its results did: the pages and arrows follow.
    void FindPanelChanged();
    void lytToolsResize();
    void lblStatusDblClick();
    void btnManualSyncClick();
    void tmrSyncTimer();
    void tmrAlertTimer();
    void tmrUpgradeTimer();
    bool FormCloseQuery();

    // What the sync thread shows (on this thread).
    void SetStatusText(const QString& AText);
    void ShowSyncStatusBar();
    void HideSyncStatusBar();
    void ShowLogForm();
    // Asks whether deletions that a pass held back are to be applied
    // (default no); ACount tasks in the lists AListTitles.
    bool ConfirmHeldBackDeletions(int ACount, const QStringList& AListTitles);
    TfrmAppLog& AppLog() { return *FAppLog; }
    TOtTaskAlertThread* TaskAlertThread() const { return FTaskAlertThread.get(); }

    TOtTaskClassGUI* TaskClassGUI() const { return FTaskClassGUI.get(); }
    TOtTaskClassList& TaskClassList() { return FTaskClassList; }
    TOtAppCore& AppCore() { return *FAppCore; }
    TOtPlatform& Platform() { return FPlatform; }
    TSyncFlags& SyncFlags() { return FFlags; }
    TDesktopContext& Context() { return FContext; }
    QMenu* ToolPopupMenu() const { return FToolPopupMenu; }
    // Loads a style sheet file as the application's style (the settings
    // dialog previews styles with it).
    void ApplyStyleFile(const QString& AFileName);
    // The style file in use ("" for the built-in one).
    const QString& CurrentStyleFile() const { return FCurrentStyleFile; }
    // The command line that starts the upgrade program.
    static QString UpgradeCommandLine(const QString& AAppPath, const QString& ALang,
                                      bool IsSilence);
    // The About box's text.
    QString AboutText() const;

    QWidget* lytTools;
    QLineEdit* edtTask;
    QToolButton* btnAddTask;
    QToolButton* btnManageTaskClass;
    QToolButton* btnMenu;
    QWidget* lytTasks;
    QScrollArea* sbTasks;
    TOtFindPanel* pnlFind; // above the pages, shown by Ctrl+F
    QToolButton* btnMoveLeft;
    QToolButton* btnMoveRight;
    QWidget* lytStatus;
    QProgressBar* AniIndicatorSync;
    QLabel* lblStatus;
    QToolButton* btnManualSync;
    QTimer* tmrSync;
    QTimer* tmrAlert;
    QTimer* tmrUpgrade;

    int MinFormWidth = 320;
    int MinFormHeight = 480;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void BuildControls();
    QString ChooseFile(bool ASave);
    bool WarnQuickEntry(const QString& AText);
    // After the first paint: the remarks not yet read, a slice at a time,
    // so the window stays responsive and the tree is whole soon after.
    void ReadRemainingRemarks();

    TOtPlatform& FPlatform;
    TSyncFlags& FFlags;
    std::unique_ptr<TOtAppCore> FAppCore;
    TDesktopContext FContext;
    TOtTaskClassList FTaskClassList;
    std::unique_ptr<TOtTaskClassGUI> FTaskClassGUI;
    std::unique_ptr<TOtTaskUndo> FUndo;
    std::unique_ptr<TOtQtLocalTaskTree> FLocalTaskTree;
    std::shared_ptr<TQtSyncObserver> FSyncObserver;
    std::unique_ptr<TfrmAppLog> FAppLog;
    std::unique_ptr<TOtTaskAlertThread> FTaskAlertThread;
    QMenu* FToolPopupMenu = nullptr;
    QMenu* FTrayPopupMenu = nullptr;
    bool FHotKeyFailureLogged = false;
    QPointF FStartPt, FStopPt;
    QString FCurrentStyleFile;
    QTimer* FRemarksReader = nullptr;
    std::size_t FRemarksClass = 0, FRemarksItem = 0; // where the reader goes on
    bool FCreated = false;
    bool FDestroyed = false;
};

} // namespace ot
