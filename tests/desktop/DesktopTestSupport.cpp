#include "desktop/DesktopTestSupport.h"

#include "app/OtSettingFile.h"
#include "desktop/OtAppCore.h"
#include "desktop/OtLang.h"
#include "desktop/OtMessageDialog.h"
#include "tasks/OtTaskUtility.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QTest>

#include <gtest/gtest.h>

#include <filesystem>

namespace ot::test {

namespace fs = std::filesystem;

void TDesktopDir::WriteSetting(const std::string& name, const std::string& value) const {
    TOtSettingFile(Path() + "/userdata/1/otTodolistSettings.xml").WriteString(name, value);
}

std::string TDesktopDir::ReadSetting(const std::string& name) const {
    return TOtSettingFile(Path() + "/userdata/1/otTodolistSettings.xml").ReadString(name, "");
}

void TDesktopDir::AddClass(const std::string& id, const std::string& title,
                           const std::vector<std::pair<std::string, int>>& items) const {
    auto cls = std::make_shared<TOtTaskClass>(id, title);
    fs::create_directories(TaskData() + cls->DirName());
    for (const auto& [itemTitle, priority] : items) {
        TOtTaskItem item(itemTitle, cls);
        item.SetPriority(priority);
        item.SetCreateDateTime(EncodeDateTime(2024, 5, 1, 8, 0));
        item.SaveToFile(TaskData() + item.Path());
    }
}

TModalAnswers::TModalAnswers() {
    SetModalHook([this](QDialog& dialog) {
        TShownDialog shown{dialog.windowTitle(), {}, dialog.objectName()};
        if (auto* box = qobject_cast<QMessageBox*>(&dialog))
            shown.Text = box->text();
        FShown.push_back(shown);
        if (FAnswers.empty()) {
            ADD_FAILURE() << "unexpected modal window \"" << shown.Caption.toStdString()
                          << "\": " << shown.Text.toStdString();
            return static_cast<int>(QDialog::Rejected);
        }
        TAnswer answer = std::move(FAnswers.front());
        FAnswers.pop_front();
        return answer(dialog);
    });
}

TModalAnswers::~TModalAnswers() {
    SetModalHook({});
}

TModalAnswers& TModalAnswers::Then(TAnswer answer) {
    FAnswers.push_back(std::move(answer));
    return *this;
}

TModalAnswers& TModalAnswers::ThenButton(int button) {
    return Then([button](QDialog&) { return button; });
}

TWindow::TWindow(const TDesktopDir& dir, bool show) : TWindow(dir, show, {}) {}

TWindow::TWindow(const TDesktopDir& dir, bool show,
                 const std::function<void(TFakePlatform&)>& APrepare) {
    if (APrepare)
        APrepare(Platform);
    Form = std::make_unique<TfrmTaskList>(Platform, dir.Path(), Flags);
    Created = Form->FormCreate();
    if (!Created)
        return;
    Form->CreateDialogs();
    if (show) {
        Form->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(Form.get()));
    }
}

TWindow::~TWindow() {
    Form.reset();
    // Each window starts in English and the built-in style, as a fresh
    // program does.
    LangApp().SetLang(QStringLiteral("en"));
    qApp->setStyleSheet(QString());
}

bool WaitForPasses(TWindow& w, int passes) {
    TKuaipanSyncThread* thread = w.Form->AppCore().KuaipanSyncThread();
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 60000) {
        if (thread->SyncCount() >= passes && !w.Flags.IsSyncRunning)
            return true;
        QTest::qWait(20);
    }
    return false;
}

} // namespace ot::test
