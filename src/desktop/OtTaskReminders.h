#pragma once
// Reminders through the desktop's notification service, beside the alert
// window: one notification per due task, with the actions "Complete" and
// "Remind me in 10 minutes". A task is told once per moment it falls due
// (its alert time, or the end of a snooze), although the alert window
// shows it at every check of its alert period.

#include "common/DateTime.h"
#include "tasks/OtTask.h"

#include <QObject>
#include <QPointer>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace ot {

class TDBusNotifications;
class TfrmTaskList;

class TOtTaskReminders : public QObject {
    Q_OBJECT
public:
    // Lives as a child of the main window.
    explicit TOtTaskReminders(TfrmTaskList& AMainForm);

    // The items a check found due, each with the moment it is due at.
    void Notify(const TOtTaskItemList& AItems, const std::vector<TDateTime>& AMoments);
    // The user chose an action of notification AId.
    void OnAction(uint AId, const QString& AActionKey);
    // The task with ID AID was answered elsewhere: its notifications go.
    void Withdraw(const QString& AID);

    static constexpr int SnoozeMinutes = 10;
    static inline const QString CompleteAction = QStringLiteral("complete");
    static inline const QString SnoozeAction = QStringLiteral("snooze");

private:
    TDBusNotifications* Service();
    TOtTaskItemPtr FindTaskItem(const std::string& AID) const;

    TfrmTaskList& FMainForm;
    QPointer<TDBusNotifications> FConnected;
    // Notification id -> ID of its task. Items are looked up when the answer
    // comes, since a pass may have replaced the object meanwhile.
    std::map<uint, std::string> FTaskOfNotification;
    std::set<std::pair<std::string, std::int64_t>> FNotified; // task ID, moment (ms)
};

} // namespace ot
