#include "desktop/OtTaskReminders.h"

#include "app/AppContext.h"
#include "common/Clock.h"
#include "desktop/OtLang.h"
#include "desktop/OtTaskAlertModel.h"
#include "desktop/UnitTaskAlert.h"
#include "desktop/UnitTaskList.h"
#include "platform/OtDBusNotifications.h"
#include "platform/OtPlatform.h"

#include <cmath>

namespace ot {

namespace {
std::int64_t MomentKey(TDateTime AMoment) {
    return std::llround(AMoment * 86400000.0);
}

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}
} // namespace

TOtTaskReminders::TOtTaskReminders(TfrmTaskList& AMainForm)
    : QObject(&AMainForm), FMainForm(AMainForm) {}

TDBusNotifications* TOtTaskReminders::Service() {
    TDBusNotifications* service = FMainForm.Platform().Notifications();
    if (service && FConnected != service) {
        FConnected = service;
        connect(service, &TDBusNotifications::actionInvoked, this, &TOtTaskReminders::OnAction);
        connect(service, &TDBusNotifications::notificationClosed, this,
                [this](uint id) { FTaskOfNotification.erase(id); });
    }
    return service;
}

void TOtTaskReminders::Notify(const TOtTaskItemList& AItems,
                              const std::vector<TDateTime>& AMoments) {
    TDBusNotifications* service = Service();
    if (!service)
        return;
    const QStringList actions{CompleteAction, LangTranslate(QStringLiteral("Complete")),
                              SnoozeAction,
                              LangTranslate(QStringLiteral("Remind me in 10 minutes"))};
    for (std::size_t i = 0; i < AItems.size() && i < AMoments.size(); ++i) {
        const TOtTaskItemPtr& item = AItems[i];
        if (!FNotified.emplace(item->ID(), MomentKey(AMoments[i])).second)
            continue;
        // The body may be read as markup by the service.
        QString body = Q(FormatDateTime("hh:nn", AMoments[i]));
        if (!item->Remarks().empty())
            body += QLatin1Char('\n') +
                    Q(item->Remarks()).replace(QLatin1Char('\n'), QLatin1Char(' ')).toHtmlEscaped();
        const std::string id = item->ID();
        QPointer<TOtTaskReminders> self(this);
        service->Notify(LangTranslate(QLatin1String(AppShortName)), Q(item->Title()), body, actions,
                        [self, id](uint notification) {
                            if (self && notification != 0)
                                self->FTaskOfNotification[notification] = id;
                        });
    }
}

void TOtTaskReminders::Withdraw(const QString& AID) {
    const std::string id = AID.toStdString();
    TDBusNotifications* service = FConnected;
    for (auto it = FTaskOfNotification.begin(); it != FTaskOfNotification.end();) {
        if (it->second != id) {
            ++it;
            continue;
        }
        if (service)
            service->Close(it->first);
        it = FTaskOfNotification.erase(it);
    }
}

TOtTaskItemPtr TOtTaskReminders::FindTaskItem(const std::string& AID) const {
    for (const TOtTaskClassPtr& cls : FMainForm.TaskClassList())
        for (const TOtTaskItemPtr& item : cls->TaskList())
            if (item->ID() == AID)
                return item;
    return nullptr;
}

void TOtTaskReminders::OnAction(uint AId, const QString& AActionKey) {
    const auto found = FTaskOfNotification.find(AId);
    if (found == FTaskOfNotification.end())
        return;
    const std::string id = found->second;
    FTaskOfNotification.erase(found);
    TOtTaskAlertThread* thread = FMainForm.TaskAlertThread();
    const TOtTaskItemPtr item = FindTaskItem(id);
    if (!thread || !item || !FMainForm.TaskClassGUI())
        return;
    if (AActionKey == CompleteAction) {
        if (!CompleteAlertedTaskItem(*FMainForm.TaskClassGUI(), item, true))
            return;
    } else if (AActionKey == SnoozeAction) {
        thread->Snooze(id, Now() + SnoozeMinutes / (24.0 * 60.0));
    } else {
        return;
    }
    // The question is answered: the alert window no longer asks it.
    if (TfrmTaskAlert* window = thread->AlertForm())
        window->RemoveTaskItem(item.get());
}

} // namespace ot
