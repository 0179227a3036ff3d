// The settings dialog: the account display, what it opens with, the writes
// of OK and its results for each kind of change, a failing write, removing
// the account, previews of style and language undone by Cancel and kept by
// OK, and the data check.

#include "desktop/DesktopTestSupport.h"

#include "desktop/OtAppCore.h"
#include "desktop/OtLang.h"
#include "desktop/OtTaskGUIUtility.h"
#include "desktop/UnitSetting.h"
#include "syncqueue/SyncQueueDatabase.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QToolButton>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

namespace ot::test {
namespace {

namespace fs = std::filesystem;

std::string AuthFile(const TDesktopDir& dir) {
    return dir.Path() + "/userdata/1/MyAuth.adb";
}

void BindToken(const TDesktopDir& dir) {
    std::ofstream(AuthFile(dir)) << "token\r\nsecret\r\n";
}

void AddStyles(const TDesktopDir& dir) {
    fs::create_directories(dir.Path() + "/styles");
    std::ofstream(dir.Path() + "/styles/Blue.1.Style") << "QWidget { color: navy; }";
    std::ofstream(dir.Path() + "/styles/Dark.0.Style") << "QWidget { color: white; }";
    std::ofstream(dir.Path() + "/styles/notes.txt") << "not a style";
}

QStringList Entries(const QComboBox* combo) {
    QStringList l;
    for (int i = 0; i < combo->count(); ++i)
        l << combo->itemText(i);
    return l;
}

TEST(DesktopSettingDialog, TheAccountDisplayFollowsTheTokenAndTheStoredName) {
    struct Case {
        const char* Name;
        bool Token;
        const char* Account; // null: not stored
        const char* Sync;
        const char* WantText;
        bool WantInterval;
    } cases[] = {
        {"no account", false, "alice", "True", "Bind a Kuaipan account", false},
        {"bound, named", true, "alice", "True", "alice", true},
        {"bound, never named", true, nullptr, "True", "An unknown Kuaipan account", true},
        {"bound, synchronization off", true, "bob", "False", "bob", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TDesktopDir dir;
        if (c.Token)
            BindToken(dir);
        if (c.Account)
            dir.WriteSetting("KuaipanAccount", c.Account);
        dir.WriteSetting("IsOpenKuaipanSync", c.Sync);
        TWindow w(dir);
        TfrmSetting s(*w.Form);
        EXPECT_EQ(s.btnKuaipanAccount->text().toStdString(), c.WantText);
        EXPECT_EQ(s.btnKuaipanAccount->isEnabled(), !c.Token);
        EXPECT_EQ(s.btnKuaipanAccount->property("StyleLookup").toString(),
                  c.Token ? QStringLiteral("BtnDateTimeStyleDisabled1")
                          : QStringLiteral("BtnDateTimeStyleEnabled1"));
        EXPECT_EQ(s.btnClearKuaipanAccount->isEnabled(), c.Token);
        EXPECT_EQ(s.btnClearKuaipanAccount->property("StyleLookup").toString(),
                  c.Token ? QStringLiteral("BtnClearStyleEnabled1")
                          : QStringLiteral("BtnClearStyleDisabled1"));
        EXPECT_EQ(s.swOpenKuaipanSync->isEnabled(), c.Token);
        EXPECT_EQ(s.sbSyncTimeInterval->isEnabled(), c.WantInterval);
        EXPECT_EQ(s.swShowAppLogFormOnSyncing->isEnabled(), c.WantInterval);
        if (c.Token) {
            s.swOpenKuaipanSync->click();
            EXPECT_EQ(s.sbSyncTimeInterval->isEnabled(), !c.WantInterval) << "follows the switch";
        }
    }
}

TEST(DesktopSettingDialog, OpensWithTheSavedValuesAndTheThreeLists) {
    TDesktopDir dir;
    AddStyles(dir);
    BindToken(dir);
    dir.WriteSetting("IsOpenKuaipanSync", "False");
    dir.WriteSetting("SyncTimeInterval", "17");
    dir.WriteSetting("IsShowAppLogFormOnSyncing", "True");
    dir.WriteSetting("IsOpenTaskAlert", "False");
    dir.WriteSetting("TaskListViewType", "1");
    dir.WriteSetting("AppStyle", "Dark.0.Style");
    dir.WriteSetting("Lang", "tw");
    TWindow w(dir);
    TfrmSetting s(*w.Form);
    EXPECT_EQ(s.windowTitle(), QStringLiteral("設定"));
    EXPECT_FALSE(s.swOpenKuaipanSync->isChecked());
    EXPECT_EQ(s.sbSyncTimeInterval->value(), 17);
    EXPECT_TRUE(s.swShowAppLogFormOnSyncing->isChecked());
    EXPECT_FALSE(s.swOpenTaskAlert->isChecked());
    EXPECT_EQ(Entries(s.cmbbxLanguage),
              (QStringList{QStringLiteral("English"), QStringLiteral("简体中文"),
                           QStringLiteral("繁體中文")}));
    EXPECT_EQ(s.cmbbxLanguage->currentIndex(), 2);
    EXPECT_EQ(s.cmbbxTaskListView->currentIndex(), 1);
    EXPECT_EQ(Entries(s.cmbbxAppStyle),
              (QStringList{QStringLiteral("Default Style"), QStringLiteral("Blue Style"),
                           QStringLiteral("Dark Style")}));
    EXPECT_EQ(s.cmbbxAppStyle->currentText(), QStringLiteral("Dark Style"));
    s.sbSyncTimeInterval->setValue(3);
    EXPECT_EQ(s.sbSyncTimeInterval->value(), 5);
    s.sbSyncTimeInterval->setValue(61);
    EXPECT_EQ(s.sbSyncTimeInterval->value(), 60);
}

// An installed program: the user's data root starts from the installed
// template, and the styles come from the user's directory first, then from the
// installed one (a user's copy hides the installed file of the same name).
TEST(DesktopSettingDialog, AnInstalledProgramListsTheUsersAndTheInstalledStyles) {
    TDesktopDir tmp(false);
    const fs::path prefix = fs::path(tmp.Path()) / "usr";
    const fs::path share = prefix / "share/otTodolist";
    const fs::path data = fs::path(tmp.Path()) / "home/.local/share/otTodolist";
    fs::create_directories(prefix / "bin");
    fs::create_directories(share / "styles");
    fs::create_directories(data / "styles");
    std::string error;
    ASSERT_TRUE(CreateSyncQueueDatabase((share / "otTodolist.db").string(), &error)) << error;
    std::ofstream(share / "styles/Blue.1.Style") << "QWidget { color: navy; }";
    std::ofstream(share / "styles/Dark.0.Style") << "QWidget { color: gray; }";
    std::ofstream(data / "styles/Dark.0.Style") << "QWidget { color: white; }";
    std::ofstream(data / "styles/Green.1.Style") << "QWidget { color: green; }";
    const TAppPaths paths = TAppPaths::Installed((prefix / "bin").string(), data.string());
    fs::create_directories(paths.UserDataPath);
    {
        TOtSettingFile settings(paths.SettingFileName);
        settings.WriteString("AppStyle", "Blue.1.Style");
    }

    TFakePlatform platform;
    TSyncFlags flags;
    TfrmTaskList form(platform, paths, flags);
    ASSERT_TRUE(form.FormCreate());
    EXPECT_TRUE(fs::is_regular_file(paths.DBFileName));
    EXPECT_EQ(form.CurrentStyleFile(), QString::fromStdString((share / "styles/Blue.1.Style").string()));
    {
        TfrmSetting s(form);
        EXPECT_EQ(Entries(s.cmbbxAppStyle),
                  (QStringList{QStringLiteral("Default Style"), QStringLiteral("Dark Style"),
                               QStringLiteral("Green Style"), QStringLiteral("Blue Style")}));
        EXPECT_EQ(s.cmbbxAppStyle->currentText(), QStringLiteral("Blue Style"));
        EXPECT_EQ(s.cmbbxAppStyle->itemData(1).toString(),
                  QString::fromStdString((data / "styles/Dark.0.Style").string()));
    }
    EXPECT_TRUE(fs::is_empty(prefix / "bin")) << "nothing is written beside the programs";
}

TEST(DesktopSettingDialog, WithoutAStylesDirectoryOnlyTheDefaultStyleIsListed) {
    TDesktopDir dir;
    dir.WriteSetting("Lang", "xx"); // no such table
    TWindow w(dir);
    TfrmSetting s(*w.Form);
    EXPECT_EQ(Entries(s.cmbbxAppStyle), QStringList{QStringLiteral("Default Style")});
    EXPECT_EQ(s.cmbbxAppStyle->currentIndex(), 0);
    EXPECT_EQ(s.cmbbxLanguage->currentIndex(), -1);
}

TEST(DesktopSettingDialog, OKWritesEverySettingAndReportsWhatChanged) {
    struct Case {
        const char* Name;
        std::function<void(TfrmSetting&)> Change;
        int AnswerToRemoval; // 0: no removal asked
        std::map<std::string, std::string> Want;
        TSettingDialogResult WantResult;
    } cases[] = {
        {"nothing changed",
         [](TfrmSetting&) {},
         0,
         {{"Lang", "en"},
          {"IsOpenKuaipanSync", "True"},
          {"SyncTimeInterval", "5"},
          {"IsShowAppLogFormOnSyncing", "False"},
          {"TaskListViewType", "0"},
          {"AppStyle", ""},
          {"IsOpenTaskAlert", "True"},
          {"KuaipanAccount", "alice"}},
         {true}},
        {"switches, interval and view",
         [](TfrmSetting& s) {
             s.swOpenKuaipanSync->click(); // off
             s.swOpenKuaipanSync->click(); // on again
             s.sbSyncTimeInterval->setValue(60);
             s.swShowAppLogFormOnSyncing->click();
             s.swOpenTaskAlert->click();
             s.cmbbxTaskListView->setCurrentIndex(1);
         },
         0,
         {{"IsOpenKuaipanSync", "True"},
          {"SyncTimeInterval", "60"},
          {"IsShowAppLogFormOnSyncing", "True"},
          {"IsOpenTaskAlert", "False"},
          {"TaskListViewType", "1"}},
         {true}},
        {"a style",
         [](TfrmSetting& s) { s.cmbbxAppStyle->setCurrentIndex(1); },
         0,
         {{"AppStyle", "Blue.1.Style"}, {"Lang", "en"}},
         {true, false, false, true, false}},
        {"a language",
         [](TfrmSetting& s) { s.cmbbxLanguage->setCurrentIndex(1); },
         0,
         {{"Lang", "cn"}, {"AppStyle", ""}},
         {true, false, false, false, true}},
        {"style and language and synchronization off",
         [](TfrmSetting& s) {
             s.cmbbxAppStyle->setCurrentIndex(2);
             s.cmbbxLanguage->setCurrentIndex(2);
             s.swOpenKuaipanSync->click();
         },
         0,
         {{"AppStyle", "Dark.0.Style"}, {"Lang", "tw"}, {"IsOpenKuaipanSync", "False"}},
         {true, false, false, true, true}},
        {"the account removed",
         [](TfrmSetting& s) { s.btnClearKuaipanAccount->click(); },
         QMessageBox::Yes,
         {{"KuaipanAccount", ""}},
         {true, false, true, false, false}},
        {"removal refused",
         [](TfrmSetting& s) { s.btnClearKuaipanAccount->click(); },
         QMessageBox::No,
         {{"KuaipanAccount", "alice"}},
         {true}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TDesktopDir dir;
        AddStyles(dir);
        BindToken(dir);
        dir.WriteSetting("KuaipanAccount", "alice");
        TWindow w(dir);
        // The dialog is the first modal window; the removal question comes
        // while it is open.
        TSettingDialogResult result;
        {
            TModalAnswers ordered;
            ordered.Then([&](QDialog& d) {
                auto& s = dynamic_cast<TfrmSetting&>(d);
                c.Change(s);
                s.btnOK->click();
                return s.result();
            });
            if (c.AnswerToRemoval)
                ordered.ThenButton(c.AnswerToRemoval);
            result = ExecSettingDialog(*w.Form);
            EXPECT_EQ(ordered.Pending(), 0u);
            if (c.AnswerToRemoval) {
                ASSERT_EQ(ordered.Shown().size(), 2u);
                EXPECT_EQ(ordered.Shown()[1].Text,
                          QStringLiteral("Delete the Kuaipan account \"alice\"?"));
            }
        }
        for (const auto& [key, value] : c.Want)
            EXPECT_EQ(dir.ReadSetting(key), value) << key;
        EXPECT_EQ(result.Accepted, c.WantResult.Accepted);
        EXPECT_EQ(result.IsSetKuaipanAccount, c.WantResult.IsSetKuaipanAccount);
        EXPECT_EQ(result.IsClearKuaipanAccount, c.WantResult.IsClearKuaipanAccount);
        EXPECT_EQ(result.IsStyleChange, c.WantResult.IsStyleChange);
        EXPECT_EQ(result.IsLangChange, c.WantResult.IsLangChange);
        EXPECT_EQ(fs::exists(AuthFile(dir)), !c.WantResult.IsClearKuaipanAccount);
    }
}

TEST(DesktopSettingDialog, AFailingWriteStopsTheRestAndKeepsTheDialogOpen) {
    const char* order[] = {"Lang",
                           "IsOpenKuaipanSync",
                           "SyncTimeInterval",
                           "IsShowAppLogFormOnSyncing",
                           "TaskListViewType",
                           "AppStyle",
                           "IsOpenTaskAlert"};
    for (int failing = 0; failing < 7; ++failing) {
        SCOPED_TRACE(failing);
        TDesktopDir dir;
        TWindow w(dir);
        TfrmSetting s(*w.Form);
        std::vector<std::string> written;
        s.WriteSetting = [&](const std::string& name, const std::string& value) {
            if (static_cast<int>(written.size()) == failing)
                return false;
            written.push_back(name);
            return w.Form->AppCore().SettingFile().WriteString(name, value);
        };
        TModalAnswers answers;
        answers.ThenButton(QMessageBox::Ok);
        s.btnOKClick();
        ASSERT_EQ(answers.Shown().size(), 1u);
        EXPECT_EQ(answers.Shown()[0].Text, QStringLiteral("Failed to save settings!"));
        EXPECT_EQ(answers.Shown()[0].Caption, QStringLiteral("Error"));
        EXPECT_NE(s.result(), QDialog::Accepted);
        EXPECT_EQ(written, std::vector<std::string>(order, order + failing));
    }
}

TEST(DesktopSettingDialog, RemovingTheAccountThenCancelKeepsIt) {
    TDesktopDir dir;
    BindToken(dir);
    dir.WriteSetting("KuaipanAccount", "alice");
    TWindow w(dir);
    TModalAnswers answers;
    answers
        .Then([](QDialog& d) {
            auto& s = dynamic_cast<TfrmSetting&>(d);
            s.btnClearKuaipanAccount->click();
            EXPECT_EQ(s.btnKuaipanAccount->text(), QStringLiteral("Bind a Kuaipan account"));
            s.btnCancel->click();
            return s.result();
        })
        .ThenButton(QMessageBox::Yes);
    w.Form->DoSetting();
    EXPECT_TRUE(fs::exists(AuthFile(dir)));
    EXPECT_EQ(dir.ReadSetting("KuaipanAccount"), "alice");
    EXPECT_FALSE(w.Flags.IsKuaipanAccountCleared.load());
    EXPECT_TRUE(w.Form->btnManualSync->isEnabled());
}

TEST(DesktopSettingDialog, StyleAndLanguagePreviewsAreUndoneByCancelAndKeptByOK) {
    TDesktopDir dir;
    AddStyles(dir);
    dir.AddClass("1000000001AA", "Home", {{"a", 0}});
    TWindow w(dir);
    const QString dark = QString::fromStdString(dir.Path() + "/styles/Dark.0.Style");
    for (const bool ok : {false, true}) {
        SCOPED_TRACE(ok ? "OK" : "Cancel");
        TModalAnswers answers;
        answers.Then([&](QDialog& d) {
            auto& s = dynamic_cast<TfrmSetting&>(d);
            s.cmbbxLanguage->setCurrentIndex(1);
            EXPECT_EQ(LangApp().Lang(), QStringLiteral("cn"));
            EXPECT_EQ(s.windowTitle(), QStringLiteral("设置")) << "the dialog itself at once";
            EXPECT_EQ(s.btnOK->text(), QStringLiteral("确定"));
            EXPECT_EQ(s.cmbbxTaskListView->itemText(0), QStringLiteral("简洁视图"));
            s.cmbbxAppStyle->setCurrentIndex(2);
            EXPECT_EQ(w.Form->CurrentStyleFile(), dark);
            EXPECT_EQ(qApp->styleSheet(), QStringLiteral("QWidget { color: white; }"));
            (ok ? s.btnOK : s.btnCancel)->click();
            return s.result();
        });
        w.Form->DoSetting();
        EXPECT_EQ(LangApp().Lang(), ok ? QStringLiteral("cn") : QStringLiteral("en"));
        EXPECT_EQ(w.Form->CurrentStyleFile(), ok ? dark : QString());
        EXPECT_EQ(qApp->styleSheet().isEmpty(), !ok);
        EXPECT_EQ(dir.ReadSetting("Lang"), ok ? "cn" : "");
        EXPECT_EQ(dir.ReadSetting("AppStyle"), ok ? "Dark.0.Style" : "");
        EXPECT_EQ(w.Form->windowTitle(),
                  ok ? QStringLiteral("Sarnic Tasks") : QStringLiteral("Dorvel"));
        EXPECT_EQ(w.Form->Context().Settings.StyleVariant, ok ? 0 : 1);
    }
}

TEST(DesktopSettingDialog, APreviewedStyleGivesTheAccountButtonsItsOwnLooksAtOnce) {
    TDesktopDir dir;
    AddStyles(dir);
    BindToken(dir);
    TWindow w(dir);
    TModalAnswers answers;
    answers.Then([&](QDialog& d) {
        auto& s = dynamic_cast<TfrmSetting&>(d);
        EXPECT_EQ(s.btnClearKuaipanAccount->property("StyleLookup").toString(),
                  QStringLiteral("BtnClearStyleEnabled1"));
        s.cmbbxAppStyle->setCurrentIndex(2); // Dark.0.Style
        EXPECT_EQ(s.btnClearKuaipanAccount->property("StyleLookup").toString(),
                  QStringLiteral("BtnClearStyleEnabled0"));
        EXPECT_EQ(s.btnKuaipanAccount->property("StyleLookup").toString(),
                  QStringLiteral("BtnDateTimeStyleDisabled0"));
        EXPECT_EQ(s.btnClearKuaipanAccount->text(), QStringLiteral("\u00d7"));
        s.btnCancel->click();
        return s.result();
    });
    w.Form->DoSetting();
    EXPECT_EQ(w.Form->Context().Settings.StyleVariant, 1) << "back with the built-in style";
}

TEST(DesktopSettingDialog, TheDataCheckRunsOnlyAfterYesAndReportsItsRepairs) {
    TDesktopDir dir;
    // Directories without queue rows: the check adds them.
    dir.AddClass("1000000001AA", "Home", {{"a", 0}});
    TWindow w(dir);
    TfrmSetting s(*w.Form);
    {
        TModalAnswers answers;
        answers.ThenButton(QMessageBox::No);
        s.btnDataCheck->click();
        EXPECT_EQ(answers.Shown().size(), 1u);
    }
    TModalAnswers answers;
    answers.ThenButton(QMessageBox::Yes).Then([&](QDialog&) {
        // The button is back before the report shows.
        EXPECT_TRUE(s.btnDataCheck->isEnabled());
        EXPECT_EQ(s.btnDataCheck->text(), QStringLiteral("Check"));
        return static_cast<int>(QMessageBox::Ok);
    });
    s.btnDataCheck->click();
    ASSERT_EQ(answers.Shown().size(), 2u);
    EXPECT_EQ(answers.Shown()[0].Text.toStdString(),
              "Do you want to start data consistency check and repair? According to the amount "
              "of data, the operation will take some time.");
    const QString report = answers.Shown()[1].Text;
    EXPECT_EQ(answers.Shown()[1].Caption, QStringLiteral("Information"));
    EXPECT_TRUE(report.startsWith(
        QStringLiteral("Data consistency check and repair finished!\r\n\r\nDetails:\r\n")))
        << report.toStdString();
    EXPECT_TRUE(report.endsWith(QStringLiteral("\r\n")));
    EXPECT_GE(report.count(QStringLiteral("\r\n")), 4) << "one line per repair";
}

} // namespace
} // namespace ot::test
