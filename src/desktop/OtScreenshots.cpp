#include "desktop/OtScreenshots.h"

#include "desktop/OtAppCore.h"
#include "desktop/UnitFind.h"
#include "desktop/UnitTrash.h"

#include "desktop/OtDesktopContext.h"
#include "desktop/OtLang.h"
#include "desktop/OtMessageDialog.h"
#include "desktop/OtTaskGUIUtility.h"
#include "desktop/UnitAddEditTaskItem.h"
#include "desktop/UnitAppLog.h"
#include "desktop/UnitKuaipanLogin.h"
#include "desktop/UnitManageTaskClass.h"
#include "desktop/UnitSetting.h"
#include "desktop/UnitTaskAlert.h"
#include "desktop/UnitTaskList.h"

#include <QApplication>
#include <QEventLoop>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMessageBox>
#include <QPixmap>
#include <QTimer>

namespace ot {

bool ParseScreenshotRequests(const QStringList& AArgs, std::vector<TScreenshotRequest>& ARequests) {
    for (int i = 1; i < AArgs.size(); ++i) {
        if (AArgs[i] != QLatin1String("--screenshot"))
            continue;
        if (i + 1 >= AArgs.size())
            return false;
        const QString request = AArgs[++i];
        const int eq = request.indexOf(QLatin1Char('='));
        if (eq <= 0 || eq + 1 >= request.size())
            return false;
        ARequests.push_back({request.left(eq), request.mid(eq + 1)});
    }
    return true;
}

namespace {
// Lets the window system show and paint what was just opened.
void Settle() {
    QEventLoop loop;
    QTimer::singleShot(200, &loop, &QEventLoop::quit);
    loop.exec();
}

bool Save(QWidget* AWidget, const QString& AFile) {
    // As a modal dialog opens (ExecModal): within the screen's free area.
    if (AWidget->isWindow() && !qobject_cast<QMenu*>(AWidget))
        KeepInsideAvailableArea(*AWidget);
    Settle();
    return AWidget->grab().save(AFile, "PNG");
}
} // namespace

bool TakeScreenshots(TfrmTaskList& AForm, const std::vector<TScreenshotRequest>& ARequests) {
    for (QTimer* t : {AForm.tmrSync, AForm.tmrAlert, AForm.tmrUpgrade})
        t->stop();
    AForm.GetMainFormPosSize();
    TOtTaskListItem* page =
        AForm.TaskClassGUI() ? AForm.TaskClassGUI()->CurrentTaskListItem() : nullptr;
    bool ok = true;
    for (const TScreenshotRequest& r : ARequests) {
        const QString& view = r.View;
        if (view == QLatin1String("main")) {
            ok = Save(&AForm, r.File) && ok;
        } else if (view == QLatin1String("add") && page) {
            TfrmAddEditTaskItem* editor = AForm.Context().frmAddEditTaskItem;
            editor->LoadTaskItemForm(tfsAdd, std::make_shared<TOtTaskItem>("", page->TaskClass()));
            editor->move(MainFormPosSize.Left, MainFormPosSize.Top);
            editor->show();
            ok = Save(editor, r.File) && ok;
            editor->hide();
        } else if (view == QLatin1String("menu") && page) {
            page->SelectRow(page->TaskCount() > 0 ? 0 : -1);
            page->PreparePopupMenu(page->TaskCount() > 0 ? 0 : -1);
            page->PopupMenu()->popup(page->TreeView()->viewport()->mapToGlobal(QPoint(60, 12)));
            ok = Save(page->PopupMenu(), r.File) && ok;
            page->PopupMenu()->hide();
        } else if (view == QLatin1String("toolmenu")) {
            AForm.btnMenuClick();
            ok = Save(AForm.ToolPopupMenu(), r.File) && ok;
            AForm.ToolPopupMenu()->hide();
        } else if (view == QLatin1String("classes")) {
            TfrmManageTaskClass manager(AForm);
            manager.move(MainFormPosSize.Left, MainFormPosSize.Top);
            manager.show();
            ok = Save(&manager, r.File) && ok;
        } else if (view == QLatin1String("setting") || view == QLatin1String("settingbound")) {
            TfrmSetting setting(AForm);
            // The bound look without touching the program's access token.
            setting.SetKuaipanAccountState(view == QLatin1String("settingbound"));
            setting.move(MainFormPosSize.Left, MainFormPosSize.Top);
            setting.show();
            ok = Save(&setting, r.File) && ok;
        } else if (view == QLatin1String("login")) {
            TfrmKuaipanLogin login(AForm.AppCore(), AForm.Platform());
            login.move(MainFormPosSize.Left, MainFormPosSize.Top);
            login.edtUsername->setText(QStringLiteral("alice"));
            login.show();
            ok = Save(&login, r.File) && ok;
        } else if (view == QLatin1String("alert") && AForm.TaskClassGUI()) {
            // The open tasks of the current page that have a date, as if
            // they were due now.
            TOtTaskItemList items;
            if (page)
                for (const TOtTaskItemPtr& item : page->TaskClass()->TaskList())
                    if (item->Status() == tsNotCompleted && item->ExpirationDate() != 0 &&
                        items.size() < 3)
                        items.push_back(item);
            TfrmTaskAlert alert(*AForm.TaskClassGUI());
            alert.UpdateAlertInfo(items);
            alert.show();
            ok = Save(&alert, r.File) && ok;
        } else if (view == QLatin1String("heldback")) {
            // The question after a pass held deletions back, about the
            // first two lists; answered no once its picture is taken.
            QStringList lists;
            for (const TOtTaskClassPtr& cls : AForm.TaskClassList())
                if (lists.size() < 2)
                    lists << QString::fromStdString(cls->Title());
            SetModalHook([&](QDialog& ADialog) {
                ADialog.show();
                ok = Save(&ADialog, r.File) && ok;
                return static_cast<int>(QMessageBox::No);
            });
            AForm.ConfirmHeldBackDeletions(7, lists);
            SetModalHook({});
        } else if (view == QLatin1String("date") || view == QLatin1String("time")) {
            QDialog* picker = view == QLatin1String("date")
                                  ? static_cast<QDialog*>(AForm.Context().frmSetDate)
                                  : static_cast<QDialog*>(AForm.Context().frmSetTime);
            picker->move(MainFormPosSize.Left, MainFormPosSize.Top);
            picker->show();
            ok = Save(picker, r.File) && ok;
            picker->hide();
        } else if (view == QLatin1String("traymenu")) {
            emit AForm.TrayPopupMenu()->aboutToShow();
            AForm.TrayPopupMenu()->popup(AForm.mapToGlobal(QPoint(40, 40)));
            ok = Save(AForm.TrayPopupMenu(), r.File) && ok;
            AForm.TrayPopupMenu()->hide();
        } else if (view == QLatin1String("question") || view == QLatin1String("checkquestion")) {
            // Two questions as the windows ask them: deleting the first
            // list, and starting the data check; answered no.
            const QString text =
                view == QLatin1String("question")
                    ? LangTranslate(QStringLiteral("Delete the task class \"%s\" and all of its "
                                                   "tasks?"))
                          .replace(QLatin1String("%s"),
                                   AForm.TaskClassList().empty()
                                       ? QString()
                                       : QString::fromStdString(AForm.TaskClassList()[0]->Title()))
                    : QStringLiteral("Do you want to start data consistency check and repair? "
                                     "According to the amount of data, the operation will take "
                                     "some time.");
            SetModalHook([&](QDialog& ADialog) {
                ADialog.show();
                ok = Save(&ADialog, r.File) && ok;
                return static_cast<int>(QMessageBox::No);
            });
            ShowMessageDialogEx(text, mtConfirmation, QMessageBox::Yes | QMessageBox::No,
                                QMessageBox::No);
            SetModalHook({});
        } else if (view == QLatin1String("find")) {
            AForm.DoFind();
            AForm.pnlFind->edtFind->setText(QStringLiteral("the"));
            ok = Save(&AForm, r.File) && ok;
            AForm.pnlFind->Close();
        } else if (view == QLatin1String("trash")) {
            TfrmTrash trash(&AForm, AForm.AppCore().Operations(), AForm.TaskClassList(), {});
            trash.show();
            ok = Save(&trash, r.File) && ok;
        } else if (view == QLatin1String("log")) {
            AForm.lblStatusDblClick();
            ok = Save(&AForm.AppLog(), r.File) && ok;
            AForm.AppLog().hide();
        } else {
            ok = false;
        }
    }
    return ok;
}

} // namespace ot
