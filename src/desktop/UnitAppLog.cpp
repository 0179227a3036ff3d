#include "desktop/UnitAppLog.h"

#include "desktop/OtLang.h"
#include "desktop/UnitTaskList.h"

#include <QPlainTextEdit>
#include <QThread>
#include <QVBoxLayout>

namespace ot {

TfrmAppLog::TfrmAppLog(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName(QStringLiteral("frmAppLog"));
    resize(320, 480);
    auto* box = new QVBoxLayout(this);
    box->setContentsMargins(0, 0, 0, 0);
    mmLogs = new QPlainTextEdit(this);
    mmLogs->setObjectName(QStringLiteral("mmLogs"));
    mmLogs->setReadOnly(true);
    mmLogs->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    box->addWidget(mmLogs);
    FormCreate();
    // Made before the settings choose the language: the caption follows it.
    connect(&LangApp(), &TLangApp::LangChanged, this, &TfrmAppLog::FormCreate);
}

void TfrmAppLog::FormCreate() {
    setWindowTitle(LangTranslate(QStringLiteral("App Logs")));
}

void TfrmAppLog::AddLog(const QString& AStr) {
    if (mmLogs->document()->blockCount() > MaxLogLines)
        mmLogs->clear();
    mmLogs->appendPlainText(AStr);
}

TQtSyncObserver::TQtSyncObserver(TfrmTaskList& AMainForm) : FMainForm(AMainForm) {}

template <class F> void TQtSyncObserver::OnUIThread(F&& call) {
    if (QThread::currentThread() == thread())
        call();
    else
        // The main window's tear-down processes events while it waits for
        // the sync thread, so this never waits for nothing.
        QMetaObject::invokeMethod(this, std::forward<F>(call), Qt::BlockingQueuedConnection);
}

void TQtSyncObserver::AddLog(const std::string& line) {
    OnUIThread([&] { FMainForm.AppLog().AddLog(QString::fromStdString(line)); });
}

void TQtSyncObserver::SetStatusText(const std::string& text) {
    // Texts with a translation are shown translated; the others (with
    // counts and times in them) as the engine wrote them.
    OnUIThread([&] { FMainForm.SetStatusText(LangTranslate(QString::fromStdString(text))); });
}

void TQtSyncObserver::ShowSyncStatusBar() {
    OnUIThread([&] { FMainForm.ShowSyncStatusBar(); });
}

void TQtSyncObserver::HideSyncStatusBar() {
    OnUIThread([&] { FMainForm.HideSyncStatusBar(); });
}

void TQtSyncObserver::ShowLogForm() {
    OnUIThread([&] { FMainForm.ShowLogForm(); });
}

void TQtSyncObserver::HideLogForm() {
    OnUIThread([&] { FMainForm.AppLog().hide(); });
}

bool TQtSyncObserver::ConfirmHeldBackDeletions(const THeldBackDeletions& AHeld) {
    bool confirmed = false;
    OnUIThread([&] {
        QStringList titles;
        for (const std::string& title : AHeld.ListTitles)
            titles << QString::fromStdString(title);
        confirmed = FMainForm.ConfirmHeldBackDeletions(AHeld.Count, titles);
    });
    return confirmed;
}

} // namespace ot
