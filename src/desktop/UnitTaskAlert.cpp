#include "desktop/UnitTaskAlert.h"

#include "app/AppContext.h"
#include "app/AppSettings.h"
#include "desktop/OtAppCore.h"
#include "desktop/OtDialogControls.h"
#include "desktop/OtLang.h"
#include "desktop/OtTaskAlertModel.h"
#include "desktop/OtTaskGUIUtility.h"
#include "desktop/OtTaskReminders.h"
#include "desktop/UnitTaskList.h"
#include "platform/OtPlatform.h"

#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace ot {

namespace {
constexpr int kItemRole = Qt::UserRole;
constexpr int kStyleRole = Qt::UserRole + 1;
constexpr int kHeightPerRow = 42;
constexpr int kChromeHeight = 56;

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}
} // namespace

TfrmTaskAlert::TfrmTaskAlert(TOtTaskClassGUI& ATaskClassGUI)
    : QWidget(nullptr, Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::Tool),
      FTaskClassGUI(ATaskClassGUI) {
    setObjectName(QStringLiteral("frmTaskAlert"));
    setAttribute(Qt::WA_TranslucentBackground);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(6, 6, 6, 6);
    Panel1 = new QFrame(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setFrameShape(QFrame::StyledPanel);
    Panel1->setAutoFillBackground(true);
    outer->addWidget(Panel1);
    auto* box = new QVBoxLayout(Panel1);
    // Title, button and margins fit the 56 pixels the height rule leaves them.
    box->setContentsMargins(4, 0, 4, 2);
    box->setSpacing(1);
    lblTitle = new QLabel(Panel1);
    lblTitle->setObjectName(QStringLiteral("lblTitle"));
    QFont bold = lblTitle->font();
    bold.setBold(true);
    lblTitle->setFont(bold);
    lblTitle->setFixedHeight(17);
    box->addWidget(lblTitle);
    tvAlert = new QTreeWidget(Panel1);
    tvAlert->setObjectName(QStringLiteral("tvAlert"));
    tvAlert->setColumnCount(2);
    tvAlert->setHeaderHidden(true);
    tvAlert->setFrameShape(QFrame::NoFrame);
    tvAlert->setRootIsDecorated(false);
    tvAlert->setUniformRowHeights(true);
    // One row must fit the height the window is given for it.
    tvAlert->setMinimumHeight(RowHeight);
    tvAlert->header()->setStretchLastSection(false);
    tvAlert->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    tvAlert->header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
    box->addWidget(tvAlert, 1);
    Layout1 = new QWidget(Panel1);
    Layout1->setObjectName(QStringLiteral("Layout1"));
    auto* buttons = new QHBoxLayout(Layout1);
    buttons->setContentsMargins(0, 0, 0, 0);
    btnIKnow = NewDialogButton(Layout1, "btnIKnow", "I Know", 80, 22);
    buttons->addStretch();
    buttons->addWidget(btnIKnow);
    buttons->addStretch();
    box->addWidget(Layout1);

    connect(btnIKnow, &QPushButton::clicked, this, &TfrmTaskAlert::btnIKnowClick);
    connect(tvAlert, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem* row, int column) {
        if (column == 0)
            tvAlertChangeCheck(row);
    });
    FormCreate();
}

void TfrmTaskAlert::FormCreate() {
    resize(260, 100);
}

void TfrmTaskAlert::UpdateAlertInfo(const TOtTaskItemList& AAlertTaskItemList) {
    FlertTaskItemList = AAlertTaskItemList;
    // The short name stays as it is; only "Alert" is translated.
    lblTitle->setText(QLatin1String(AppShortName) + QStringLiteral(" - ") +
                      LangTranslate(QStringLiteral("Alert")));
    const int rows = std::min(static_cast<int>(FlertTaskItemList.size()), MaxSizedRows);
    // Exactly this size, whatever the style's controls would like.
    setFixedSize(260 + 10, rows * kHeightPerRow + kChromeHeight);
    // The window is sized for its rows; only a ninth one needs scrolling
    // (a style's taller button must not bring a scroll bar for less).
    tvAlert->setVerticalScrollBarPolicy(static_cast<int>(FlertTaskItemList.size()) > MaxSizedRows
                                            ? Qt::ScrollBarAsNeeded
                                            : Qt::ScrollBarAlwaysOff);
    // In the bottom-right corner of the area that panels and docks leave free.
    const QScreen* screen = QGuiApplication::primaryScreen();
    const QRect area = screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
    move(area.x() + area.width() - width(), area.y() + area.height() - height());

    const QSignalBlocker quiet(tvAlert);
    tvAlert->clear();
    for (const TOtTaskItemPtr& item : FlertTaskItemList) {
        auto* row = new QTreeWidgetItem(tvAlert);
        QString title = Q(item->Title());
        if (!item->Remarks().empty()) {
            row->setData(0, kStyleRole, QStringLiteral("TVTaskItemDetailWithRemarks1"));
            title +=
                QLatin1Char('\n') + Q(item->Remarks()).replace(QLatin1Char('\n'), QLatin1Char(' '));
        } else {
            row->setData(0, kStyleRole, QStringLiteral("TVTaskItemDetailNoRemarks1"));
        }
        row->setText(0, title);
        QString when = Q(FormatDateTime("yy-mm-dd", item->ExpirationDate()));
        if (item->AlertTime() != 0)
            when += QStringLiteral("\r\n") + Q(FormatDateTime("hh:nn", item->AlertTime()));
        row->setText(1, when);
        row->setData(0, kItemRole, QVariant::fromValue(static_cast<void*>(item.get())));
        row->setFlags(row->flags() | Qt::ItemIsUserCheckable);
        row->setCheckState(0, Qt::Unchecked);
        row->setSizeHint(0, QSize(0, RowHeight));
    }
}

bool CompleteAlertedTaskItem(TOtTaskClassGUI& ATaskClassGUI, const TOtTaskItemPtr& AItem,
                             bool IsCompleted) {
    TOtTaskListItem* page = ATaskClassGUI.GetTaskListItemByTaskClass(AItem->TaskClass());
    if (!page)
        return false;
    // A page not shown yet has no rows: build them to find the task's.
    if (!page->IsLoaded())
        page->LoadTaskList(TaskSortField, TaskSortOrder);
    const int pageRow = page->GetTreeViewItemByTaskItem(AItem);
    // The task is no longer on its page (replaced by a pass): nothing can be
    // completed.
    if (pageRow < 0)
        return false;
    page->DoTaskItemCompleted(pageRow, IsCompleted);
    return true;
}

void TfrmTaskAlert::tvAlertChangeCheck(QTreeWidgetItem* ARow) {
    const int index = tvAlert->indexOfTopLevelItem(ARow);
    if (index < 0 || index >= static_cast<int>(FlertTaskItemList.size()))
        return;
    const TOtTaskItemPtr item = FlertTaskItemList[static_cast<std::size_t>(index)];
    const bool checked = ARow->checkState(0) == Qt::Checked;
    if (!CompleteAlertedTaskItem(FTaskClassGUI, item, checked)) {
        // Nothing was completed, so the box must not say so.
        const QSignalBlocker quiet(tvAlert);
        ARow->setCheckState(0, checked ? Qt::Unchecked : Qt::Checked);
        return;
    }
    RemoveTaskItem(item.get());
}

void TfrmTaskAlert::RemoveTaskItem(const TOtTaskItem* AItem) {
    const auto found = std::find_if(FlertTaskItemList.begin(), FlertTaskItemList.end(),
                                    [AItem](const TOtTaskItemPtr& p) { return p.get() == AItem; });
    if (found == FlertTaskItemList.end())
        return;
    emit taskItemAnswered(QString::fromStdString(AItem->ID()));
    FlertTaskItemList.erase(found);
    if (FlertTaskItemList.empty())
        close();
    else
        UpdateAlertInfo(TOtTaskItemList(FlertTaskItemList));
}

void TfrmTaskAlert::btnIKnowClick() {
    close();
}

std::unique_ptr<TOtTaskAlertThread> NewTaskAlertThread(TfrmTaskList& AMainForm) {
    auto thread = std::make_unique<TOtTaskAlertThread>(true, AMainForm.TaskClassList());
    TfrmTaskList* form = &AMainForm;
    thread->RunOnUIThread = [form](const std::function<void()>& ACall) {
        QMetaObject::invokeMethod(form, ACall, Qt::BlockingQueuedConnection);
    };
    thread->IsOpenTaskAlert = [form] {
        return form->AppCore().SettingFile().ReadBool(SettingKeys::IsOpenTaskAlert, true);
    };
    // Also told through the desktop's notifications, which need no tray.
    auto* reminders = new TOtTaskReminders(AMainForm);
    thread->CreateAlertForm = [form, reminders] {
        auto window = std::make_unique<TfrmTaskAlert>(*form->TaskClassGUI());
        // A task answered in the window is no longer asked about elsewhere.
        QObject::connect(window.get(), &TfrmTaskAlert::taskItemAnswered, reminders,
                         &TOtTaskReminders::Withdraw);
        return window;
    };
    thread->OnAlert = [reminders](const TOtTaskItemList& AItems,
                                  const std::vector<TDateTime>& AMoments) {
        reminders->Notify(AItems, AMoments);
    };
    return thread;
}

} // namespace ot
