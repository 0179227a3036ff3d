#include "desktop/OtManageTaskClassGUIUtility.h"

#include "desktop/OtAppCore.h"
#include "desktop/OtDesktopContext.h"
#include "desktop/OtLang.h"
#include "desktop/OtMessageDialog.h"
#include "desktop/OtTaskGUIUtility.h"
#include "tasks/OtTaskUtility.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QStyle>

namespace ot {

namespace {
constexpr int kEntryHeight = 23;

void Repolish(QWidget* AWidget) {
    AWidget->style()->unpolish(AWidget);
    AWidget->style()->polish(AWidget);
    for (QWidget* child : AWidget->findChildren<QWidget*>()) {
        child->style()->unpolish(child);
        child->style()->polish(child);
    }
}
} // namespace

TOtManageTaskClassGUI::TOtManageTaskClassGUI(QListWidget* AListBox,
                                             TOtTaskClassList& ATaskClassList,
                                             TOtTaskClassGUI& ATaskClassGUI, TOtAppCore& AAppCore)
    : FListBox(AListBox), FTaskClassList(ATaskClassList), FTaskClassGUI(ATaskClassGUI),
      FAppCore(AAppCore) {}

void TOtManageTaskClassGUI::Load() {
    FListBox->clear();
    for (const TOtTaskClassPtr& cls : FTaskClassList)
        AddEntry(cls);
}

void TOtManageTaskClassGUI::AddEntry(const TOtTaskClassPtr& ATaskClass) {
    auto* entry = new QListWidgetItem(FListBox);
    entry->setSizeHint(QSize(0, kEntryHeight));
    // Titles and counts are the user's: never translated.
    entry->setData(Qt::DisplayRole, QString());
    entry->setData(Qt::UserRole, QString::fromStdString(ATaskClass->ID()));
    auto* frame = new QFrame;
    frame->setObjectName(QStringLiteral("TaskClassEntry"));
    frame->setProperty("StyleLookup", QStringLiteral("ListBoxTaskClassItemStyle") +
                                          QString::number(DesktopContext().Settings.StyleVariant));
    auto* row = new QHBoxLayout(frame);
    row->setContentsMargins(6, 0, 6, 0);
    auto* title = new QLabel(QString::fromStdString(ATaskClass->Title()), frame);
    title->setObjectName(QStringLiteral("title"));
    auto* count = new QLabel(QString::number(ATaskClass->TaskList().size()), frame);
    count->setObjectName(QStringLiteral("count"));
    row->addWidget(title, 1);
    row->addWidget(count);
    FListBox->setItemWidget(entry, frame);
}

bool TOtManageTaskClassGUI::DoAddTaskClass(const QString& ATaskClassTitle) {
    TOtTaskClassPtr cls;
    const TTaskOpResult r =
        FAppCore.Operations().AddTaskClass(FTaskClassList, ATaskClassTitle.toStdString(), &cls);
    if (!r) {
        ShowMessageDialog(QString::fromStdString(r.Message), mtError, QMessageBox::Ok);
        return false;
    }
    FTaskClassGUI.Add(cls);
    AddEntry(cls);
    return true;
}

void TOtManageTaskClassGUI::DoDeleteTaskClass() {
    const int k = FListBox->currentRow();
    if (k < 0 || k >= static_cast<int>(FTaskClassList.size()))
        return;
    const TOtTaskClassPtr cls = FTaskClassList[static_cast<std::size_t>(k)];
    const QString question =
        LangTranslate(QStringLiteral("Delete the task class \"%s\" and all of its tasks?"))
            .replace(QLatin1String("%s"), QString::fromStdString(cls->Title()));
    if (ShowMessageDialogEx(question, mtConfirmation, QMessageBox::Yes | QMessageBox::No,
                            QMessageBox::No) != QMessageBox::Yes)
        return;
    // The pager finds the page by the class's place in the list: the class
    // leaves the list only after its page.
    const TTaskOpResult r = FAppCore.Operations().DeleteTaskClass(FTaskClassList, cls, [&] {
        delete FListBox->takeItem(k);
        FTaskClassGUI.Delete(cls);
    });
    if (!r)
        ShowMessageDialog(QString::fromStdString(r.Message), mtError, QMessageBox::Ok);
}

void SetTaskClassEntrySelected(QListWidget* AListBox) {
    for (int i = 0; i < AListBox->count(); ++i)
        if (QWidget* w = AListBox->itemWidget(AListBox->item(i))) {
            const bool selected = i == AListBox->currentRow();
            if (w->property("selected").toBool() != selected) {
                w->setProperty("selected", selected);
                Repolish(w);
            }
        }
}

} // namespace ot
