#pragma once
// The sync log window and the observer through which the sync thread reaches
// the main window: each call runs on the user-interface thread and returns
// once it has been applied.

#include "sync/OtKuaipanSyncModel.h"

#include <QWidget>

class QPlainTextEdit;

namespace ot {

class TfrmTaskList;

class TfrmAppLog : public QWidget {
    Q_OBJECT
public:
    // More lines than this and the memo is emptied before the next one.
    static constexpr int MaxLogLines = 1000;

    explicit TfrmAppLog(QWidget* parent = nullptr);
    void AddLog(const QString& AStr);
    QPlainTextEdit* mmLogs;

private:
    void FormCreate();
};

class TQtSyncObserver : public QObject, public TSyncObserver {
    Q_OBJECT
public:
    explicit TQtSyncObserver(TfrmTaskList& AMainForm);
    void AddLog(const std::string& line) override;
    void SetStatusText(const std::string& text) override;
    void ShowSyncStatusBar() override;
    void HideSyncStatusBar() override;
    void ShowLogForm() override;
    void HideLogForm() override;
    bool ConfirmHeldBackDeletions(const THeldBackDeletions& AHeld) override;

private:
    template <class F> void OnUIThread(F&& call);
    TfrmTaskList& FMainForm;
};

} // namespace ot
