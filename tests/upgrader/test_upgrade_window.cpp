// The upgrade program's windows against a real otUpdateServer on loopback, on
// Qt's offscreen platform, with every message box answered in advance.

#include "upgrader/RawReplyServer.h"
#include "upgrader/UnitProgress.h"
#include "upgrader/UnitUpgrade.h"
#include "upgrader/UpdateServerProcess.h"
#include "upgrader/ZipFixture.h"

#include "common/Clock.h"
#include "common/FileUtil.h"
#include "common/Text.h"
#include "package/OtPackageSignature.h"
#include "package/OtUpgradeArchive.h"
#include "platform/OtVersionInfo.h"

#include <QGuiApplication>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <chrono>
#include <csignal>
#include <fstream>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace ot::test {
namespace {

namespace fs = std::filesystem;

std::string FileVersion(const fs::path& exe) {
    TFileVersionInfo info;
    return GetAppVersionInfo(exe.string(), info) ? info.fFileVersion : "(none)";
}

// Sets one attribute of an application's entry in every language's list.
void EditList(const UpdateServerProcess& server, const std::string& name, const char* attribute,
              const std::string& value) {
    for (const char* lang : {"en", "zh", "tw"}) {
        const fs::path file = server.ListFile(lang);
        pugi::xml_document doc;
        ASSERT_TRUE(doc.load_file(file.c_str())) << file;
        for (auto app : doc.child("otUpgradeAppList").child("otAppList").children())
            if (name == app.attribute("name").value())
                app.attribute(attribute).set_value(value.c_str());
        ASSERT_TRUE(doc.save_file(file.c_str()));
    }
}

fs::path PackageOnServer(const UpdateServerProcess& server, const std::string& name,
                         const std::string& version) {
    return server.Root() / "packages" / (name + "-" + version + ".zip");
}

// Puts another archive in place of a published package and seals it with the
// publisher's key, as a publisher who packed it so would have.
void ReplaceSealedPackage(const UpdateServerProcess& server, const std::string& name,
                          const std::string& version, const std::vector<ZipEntry>& entries) {
    const fs::path file = PackageOnServer(server, name, version);
    ASSERT_TRUE(MakeZip(file.string(), entries));
    const std::string sha = *Sha256FileHex(file.string());
    EditList(server, name, "size", std::to_string(fs::file_size(file)));
    EditList(server, name, "sha256", sha);
    EditList(server, name, "signature",
             SignPackageText(PackageSignedText(name, version, sha),
                             ReadKeyFile(server.SecretKeyFile())));
}

struct Message {
    TUpgradeMessageKind Kind;
    QString Text;
};

// A program directory pointed at the server, and the upgrade window on it.
// below: the program directory's path inside the temporary directory.
class UpgradeRun {
public:
    explicit UpgradeRun(const UpdateServerProcess& server, const std::string& below = "")
        : FServer(server) {
        App = (FDir.Path() / below).string();
        if (App.back() != '/')
            App += '/';
        fs::create_directories(App);
        SetCommonSettings({{"SarnicHost", server.Host()}});
        PublicKey = server.PublicKey();
    }

    void SetCommonSettings(const std::vector<std::pair<std::string, std::string>>& settings) {
        std::string xml = "<?xml version=\"1.0\"?><otContactsSettings><otGeneralSections>";
        for (const auto& [name, value] : settings)
            xml += "<section name=\"" + name + "\" value=\"" + value + "\"/>";
        WriteTestFile(App + "appdata/otCommonSettings.xml",
                      xml + "</otGeneralSections></otContactsSettings>");
    }

    bool Start(std::vector<std::string> args) {
        TUpgradeStart start;
        start.AppPath = App;
        start.Args = std::move(args);
        start.PublicKey = PublicKey;
        start.ShowMessage = [this](TUpgradeMessageKind kind, const QString& text) {
            Messages.push_back({kind, text});
        };
        Form = std::make_unique<TfrmUpgrade>(std::move(start));
        return Form->FormCreate();
    }

    std::vector<std::string> Names() const {
        std::vector<std::string> out;
        for (const auto& a : Form->AppList())
            out.push_back(a.fName);
        return out;
    }
    std::string Status(int row) const { return Form->RowText(row, "status").toStdString(); }

    std::string App;
    std::string PublicKey;
    std::vector<Message> Messages;
    std::unique_ptr<TfrmUpgrade> Form;
    const fs::path& Dir() const { return FDir.Path(); }

private:
    TempDir FDir;
    const UpdateServerProcess& FServer;
};

void PublishApp(const UpdateServerProcess& server, const std::string& name,
                const std::string& version, const std::string& dependence = "",
                const std::vector<std::pair<std::string, std::string>>& files = {}) {
    const auto folder = server.MakeFolder(
        name + "-" + version,
        files.empty()
            ? std::vector<std::pair<std::string, std::string>>{{name, name + " " + version}}
            : files);
    ASSERT_EQ(server.Publish({"--name", name, "--version", version, "--title", "Title of " + name,
                              "--dependence", dependence, "--from", folder.string(), "--detail",
                              "First line||Second line", "--date", "2013-01-01"}),
              0);
}

TEST(UpgradeWindow, NewerVersionsAreOfferedAndEqualOrOlderOnesNot) {
    UpdateServerProcess server;
    struct Case {
        const char* Offered;
        bool Shown;
    } cases[] = {{"1.0.2013.1", true},
                 {"1.0.2012.1128", false},
                 {"1.0.2012", false},
                 {"1.0.2012.1127", false},
                 {"2", true}};
    // The installed version from the version file, then from the executable's record.
    for (bool fromVerFile : {true, false}) {
        for (const auto& c : cases) {
            PublishApp(server, "otTodolist", c.Offered);
            UpgradeRun run(server);
            if (fromVerFile) {
                WriteTestFile(run.App + "otTodolist", "program");
                WriteTestFile(run.App + "otTodolist.ver", "1.0.2012.1128\n");
            } else {
                fs::copy_file(OT_SAMPLE_OLD_EXE, run.App + "otTodolist");
            }
            ASSERT_TRUE(run.Start({"-L:en"}));
            EXPECT_EQ(run.Form->AppList().size(), c.Shown ? 1u : 0u)
                << c.Offered << (fromVerFile ? " (version file)" : " (version record)");
            EXPECT_EQ(run.Form->lstbxApps->count(), c.Shown ? 1 : 0);
            EXPECT_EQ(run.Form->btnUpgrade->isEnabled(), c.Shown);
            EXPECT_EQ(run.Form->lblTip->text().startsWith(QStringLiteral("Not found")), !c.Shown);
        }
    }
    // A missing executable is always offered, whatever the version.
    PublishApp(server, "otTodolist", "0.1");
    UpgradeRun run(server);
    WriteTestFile(run.App + "otTodolist.ver", "9.9\n");
    ASSERT_TRUE(run.Start({"-L:en"}));
    EXPECT_EQ(run.Names(), std::vector<std::string>{"otTodolist"});
}

TEST(UpgradeWindow, AnApplicationTakesTheEntriesThatNameItOrDependOnIt) {
    UpdateServerProcess server;
    PublishApp(server, "otTodolist", "1.1", "Dorvel");
    PublishApp(server, "otUpgrade", "1.1", "otContacts,Dorvel");
    PublishApp(server, "otContacts", "1.1", "");
    PublishApp(server, "Dorvel", "1.1", "");
    struct Case {
        std::vector<std::string> Args;
        std::vector<std::string> Names;
    } cases[] = {
        {{"-App:Dorvel"}, {"otTodolist", "otUpgrade", "Dorvel"}},
        {{"-App:otContacts"}, {"otUpgrade", "otContacts"}},
        {{}, {"otTodolist", "otUpgrade", "otContacts", "Dorvel"}},
        {{"-App:otAllApp"}, {"otTodolist", "otUpgrade", "otContacts", "Dorvel"}},
        {{"-App:Nobody"}, {}},
    };
    for (const auto& c : cases) {
        UpgradeRun run(server);
        ASSERT_TRUE(run.Start(c.Args));
        EXPECT_EQ(run.Names(), c.Names) << (c.Args.empty() ? "" : c.Args[0]);
    }
    UpgradeRun run(server);
    ASSERT_TRUE(run.Start({}));
    EXPECT_EQ(run.Form->lstbxApps->currentRow(), 0);
    EXPECT_EQ(run.Form->lblAppDetail->text(), QStringLiteral("First line\r\nSecond line"));
    EXPECT_EQ(run.Form->RowText(0, "version"), QStringLiteral("1.1"));
    EXPECT_EQ(run.Form->RowText(0, "upgradedate"), QStringLiteral("2013-01-01"));
    EXPECT_EQ(run.Form->RowText(0, "status"), QStringLiteral("Ready"));
    EXPECT_EQ(run.Form->RowState(0), 0);
    EXPECT_EQ(run.Form->lstbxApps->item(0)->text(), QStringLiteral("Title of otTodolist"));
}

TEST(UpgradeWindow, TheListAddressAndTextsFollowTheLanguage) {
    UpdateServerProcess server;
    PublishApp(server, "otTodolist", "1.1");
    struct Case {
        std::vector<std::string> Args;
        std::string SettingsLang;
        std::string ListSuffix;
        QString Button;
    } cases[] = {
        {{"-L:en"}, "zh", "otUpgradeAppList.xml", QStringLiteral("Upgrade")},
        {{"-L:zh"}, "tw", "otUpgradeAppList_zh.xml", QStringLiteral("升级")},
        {{"-L:tw"}, "", "otUpgradeAppList_tw.xml", QStringLiteral("升級")},
        // An unknown code leaves English, and the common settings are not asked.
        {{"-L:xx"}, "zh", "otUpgradeAppList.xml", QStringLiteral("Upgrade")},
        {{}, "tw", "otUpgradeAppList_tw.xml", QStringLiteral("升級")},
        {{}, "", "otUpgradeAppList.xml", QStringLiteral("Upgrade")},
    };
    for (const auto& c : cases) {
        UpgradeRun run(server);
        if (!c.SettingsLang.empty())
            run.SetCommonSettings({{"SarnicHost", server.Host()}, {"Lang", c.SettingsLang}});
        ASSERT_TRUE(run.Start(c.Args));
        const std::string label = (c.Args.empty() ? "-" : c.Args[0]) + " / " + c.SettingsLang;
        EXPECT_EQ(run.Form->UpgradeAppListUrl(),
                  server.Host() + "/brenmoor/Update/Win32/" + c.ListSuffix)
            << label;
        EXPECT_EQ(run.Form->UpgradeAppListFilename(), run.App + "apptemp/" + c.ListSuffix);
        EXPECT_EQ(run.Form->btnUpgrade->text(), c.Button) << label;
        EXPECT_EQ(run.Names(), std::vector<std::string>{"otTodolist"}) << label;
        run.Form->close();
        EXPECT_FALSE(fs::exists(run.Form->UpgradeAppListFilename())) << "deleted on close";
    }
    UpgradeRun zh(server);
    ASSERT_TRUE(zh.Start({"-L:zh"}));
    EXPECT_EQ(zh.Form->windowTitle(), QStringLiteral("Brenmoor软件更新程序"));
    EXPECT_EQ(zh.Status(0), "就绪");
}

TEST(UpgradeWindow, OnlyASilentStartForOneApplicationSendsAUsageRecord) {
    UpdateServerProcess server;
    struct Case {
        std::vector<std::string> Args;
        std::size_t Records;
        bool Continues;
    } cases[] = {
        {{"-L:en", "-App:Dorvel", "-Auth:free", "-Silence"}, 1, false},
        {{"-L:en", "-App:Dorvel", "-Auth:free"}, 0, true},
        {{"-L:en", "-App:otAllApp", "-Silence"}, 0, false},
        {{"-L:en", "-Silence"}, 0, false},
    };
    // Nothing newer: the list offers the version installed.
    PublishApp(server, "otTodolist", "1.0", "Dorvel");
    for (const auto& c : cases) {
        const std::size_t before = server.UsageRecords().size();
        UpgradeRun run(server);
        WriteTestFile(run.App + "otTodolist", "program");
        WriteTestFile(run.App + "otTodolist.ver", "1.0");
        EXPECT_EQ(run.Start(c.Args), c.Continues) << c.Args.size();
        EXPECT_EQ(server.UsageRecords().size() - before, c.Records) << c.Args.size();
        EXPECT_TRUE(run.Messages.empty());
    }
    const auto records = server.UsageRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].AppName, "Dorvel");
    EXPECT_EQ(records[0].AuthType, "free");
    EXPECT_EQ(records[0].AppVer, "");
    EXPECT_FALSE(records[0].OsSysInfo.empty());
    EXPECT_EQ(records[0].Guid.size(), 38u);

    // The identity file's content without its line break; the version of the
    // application's executable; "unknown" without an authorization type.
    UpgradeRun run(server);
    WriteTestFile(run.App + "otTodolist", "program");
    WriteTestFile(run.App + "otTodolist.ver", "1.0");
    WriteTestFile(run.App + "Dorvel.uid", "{11111111-2222-3333-4444-555555555555}\r\n");
    fs::copy_file(OT_SAMPLE_OLD_EXE, run.App + "Dorvel");
    EXPECT_FALSE(run.Start({"-App:Dorvel", "-Silence"}));
    const auto all = server.UsageRecords();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[1].Guid, "{11111111-2222-3333-4444-555555555555}");
    EXPECT_EQ(all[1].AppVer, "1.0.2012.1128");
    EXPECT_EQ(all[1].AuthType, "unknown");
}

// Visible, the window shows the empty list with the button disabled; a
// silent check on a machine without network ends without any window.
TEST(UpgradeWindow, AnUnreachableListLeavesTheButtonDisabledAndEndsASilentCheck) {
    UpdateServerProcess server;
    for (const bool silent : {false, true}) {
        SCOPED_TRACE(silent ? "silent" : "visible");
        UpgradeRun run(server);
        run.SetCommonSettings({{"SarnicHost", "http://127.0.0.1:1"}});
        std::vector<std::string> args{"-L:en", "-App:Dorvel"};
        if (silent)
            args.push_back("-Silence");
        EXPECT_EQ(run.Start(args), !silent);
        EXPECT_FALSE(run.Form->btnUpgrade->isEnabled());
        EXPECT_EQ(run.Form->lstbxApps->count(), 0);
        EXPECT_TRUE(run.Messages.empty());
    }
}

// A visible start says so; a silent one ends without a message box.
TEST(UpgradeWindow, WithoutItsTemporaryDirectoryTheProgramSaysSoAndEnds) {
    UpdateServerProcess server;
    for (const bool silent : {false, true}) {
        SCOPED_TRACE(silent ? "silent" : "visible");
        UpgradeRun run(server);
        WriteTestFile(run.App + "apptemp", "a file where the folder belongs");
        std::vector<std::string> args{"-L:zh", "-App:Dorvel"};
        if (silent)
            args.push_back("-Silence");
        EXPECT_FALSE(run.Start(args));
        if (silent) {
            EXPECT_TRUE(run.Messages.empty());
        } else {
            ASSERT_EQ(run.Messages.size(), 1u);
            EXPECT_EQ(run.Messages[0].Kind, TUpgradeMessageKind::Error);
            EXPECT_EQ(run.Messages[0].Text,
                      QStringLiteral("Can not create the directory \"%1apptemp/\"!")
                          .arg(QString::fromStdString(run.App)));
        }
        EXPECT_TRUE(server.UsageRecords().empty()) << "ends before the usage record";
    }
}

// Programs installed by a package manager are never overwritten: nothing is
// fetched, sent or written, and only a visible start says where updates come from.
TEST(UpgradeWindow, APackageManagersInstallationIsNeverUpgraded) {
    UpdateServerProcess server;
    PublishApp(server, "otTodolist", "9.0", "Dorvel");
    for (const bool silent : {false, true}) {
        SCOPED_TRACE(silent ? "silent" : "visible");
        UpgradeRun run(server, "usr/bin");
        WriteTestFile(run.Dir() / "usr/share/otTodolist" / PackageManagedMarker, "");
        fs::copy_file(OT_SAMPLE_OLD_EXE, run.App + "otTodolist");
        std::vector<std::string> args{"-L:tw", "-App:Dorvel", "-Auth:free"};
        if (silent)
            args.push_back("-Silence");
        EXPECT_EQ(run.Start(args), !silent);
        EXPECT_EQ(run.Form->Installability(), TUpgradeInstallability::PackageManaged);
        EXPECT_TRUE(run.Messages.empty());
        EXPECT_EQ(run.Form->lstbxApps->count(), 0);
        EXPECT_FALSE(run.Form->btnUpgrade->isEnabled());
        if (!silent) {
            EXPECT_EQ(run.Form->lblTip->text(),
                      QStringLiteral("此安裝的更新由系統的套件管理程式提供。"));
        }
        run.Form->btnUpgradeClick();
        EXPECT_FALSE(fs::exists(run.App + "apptemp"));
        EXPECT_FALSE(fs::exists(run.App + "Dorvel.uid"));
        EXPECT_EQ(FileVersion(run.App + "otTodolist"), "1.0.2012.1128");
    }
    EXPECT_TRUE(server.UsageRecords().empty());
}

TEST(UpgradeWindow, SizesAreShownInMegabytes) {
    UpdateServerProcess server;
    PublishApp(server, "otTodolist", "1.1");
    EditList(server, "otTodolist", "size", "1572864");
    UpgradeRun run(server);
    ASSERT_TRUE(run.Start({"-L:en"}));
    EXPECT_EQ(run.Form->RowText(0, "size"), QStringLiteral("1.5 M"));
}

TEST(UpgradeWindow, TwoApplicationsWithTheSecondPackageDamaged) {
    UpdateServerProcess server;
    PublishApp(server, "otTodolist", "1.1", "", {{"otTodolist", "new program"}});
    PublishApp(server, "otContacts", "1.1", "", {{"otContacts", "new contacts"}});
    const fs::path contacts = PackageOnServer(server, "otContacts", "1.1");
    const std::string signedPackage = ReadTestFile(contacts);
    WriteTestFile(contacts, "not the package that was signed");
    UpgradeRun run(server);
    WriteTestFile(run.App + "otTodolist", "old program");
    WriteTestFile(run.App + "otTodolist.ver", "1.0\n");
    WriteTestFile(run.App + "otContacts", "old contacts");
    ASSERT_TRUE(run.Start({"-L:en"}));
    ASSERT_EQ(run.Names(), (std::vector<std::string>{"otTodolist", "otContacts"}));
    run.Form->btnUpgrade->click();

    EXPECT_EQ(run.Status(0), "Upgrade successfully");
    EXPECT_EQ(run.Status(1), "Upgrade package damage");
    EXPECT_EQ(run.Form->RowState(0), 2);
    EXPECT_TRUE(run.Form->btnUpgrade->isEnabled());
    EXPECT_EQ(ReadTestFile(run.App + "otTodolist"), "new program");
    EXPECT_EQ(ReadTestFile(run.App + "otTodolist.ver"), "1.1");
    EXPECT_EQ(ReadTestFile(run.App + "otContacts"), "old contacts");
    EXPECT_FALSE(fs::exists(run.App + "apptemp/otTodolist.zip"));
    EXPECT_TRUE(fs::exists(run.App + "apptemp/otContacts.zip")) << "kept";
    // The warning, twice, naming both programs.
    ASSERT_EQ(run.Messages.size(), 2u);
    EXPECT_EQ(run.Messages[0].Text,
              QStringLiteral("Please ensure that the following application(s) did not run in the "
                             "background.\r\n  Title of otTodolist, Title of otContacts\r\nIf "
                             "upgrade failed, please close the application(s) and click the "
                             "\"update\" button again."));
    EXPECT_EQ(run.Messages[1].Text, run.Messages[0].Text);
    EXPECT_EQ(run.Messages[0].Kind, TUpgradeMessageKind::Confirmation);
    EXPECT_FALSE(run.Form->Progress().isVisible());
    EXPECT_EQ(run.Form->Progress().ProgressBar2->value(), 100);

    // The damaged package is fetched again at the next click.
    WriteTestFile(contacts, signedPackage);
    run.Form->btnUpgrade->click();
    EXPECT_EQ(run.Status(1), "Upgrade successfully");
    EXPECT_EQ(ReadTestFile(run.App + "otContacts"), "new contacts");
    EXPECT_FALSE(run.Form->btnUpgrade->isEnabled());
}

TEST(UpgradeWindow, PackagesThatAreUnsafeOrNotSignedByThePublisherAreNotUnpacked) {
    struct Case {
        const char* What;
        std::vector<ZipEntry> Entries; // a sealed replacement, or none
        bool OtherTrustedKey;
        bool NoSignature;
    } cases[] = {
        {"zip-slip", {{"otTodolist", "new program"}, {"../escaped.txt", "outside"}}, false, false},
        {"link", {{"otTodolist", "new program"}, {"lnk", "/etc/passwd", 0120777}}, false, false},
        {"another publisher's signature", {}, true, false},
        {"no signature", {}, false, true},
    };
    for (const auto& c : cases) {
        UpdateServerProcess server;
        PublishApp(server, "otTodolist", "1.1", "", {{"otTodolist", "new program"}});
        if (!c.Entries.empty())
            ReplaceSealedPackage(server, "otTodolist", "1.1", c.Entries);
        if (c.NoSignature)
            EditList(server, "otTodolist", "signature", "");
        UpgradeRun run(server);
        if (c.OtherTrustedKey) {
            std::string secret;
            NewPackageKeyPair(run.PublicKey, secret);
        }
        WriteTestFile(run.App + "otTodolist", "old program");
        ASSERT_TRUE(run.Start({"-L:en"}));
        run.Form->btnUpgrade->click();
        EXPECT_EQ(run.Status(0), "Upgrade package damage") << c.What;
        EXPECT_EQ(ReadTestFile(run.App + "otTodolist"), "old program") << c.What;
        EXPECT_FALSE(fs::exists(fs::path(run.App).parent_path().parent_path() / "escaped.txt"));
        EXPECT_TRUE(run.Form->btnUpgrade->isEnabled()) << c.What;
    }
}

TEST(UpgradeWindow, ADownloadCutShortIsADownloadFailureAndLeavesNoPackage) {
    UpdateServerProcess server;
    PublishApp(server, "otTodolist", "1.1");
    PublishApp(server, "otContacts", "1.1");
    PublishApp(server, "otUpgrade", "1.1");
    RawReplyServer cut("HTTP/1.1 200 OK\r\nContent-Length: 200000\r\nConnection: close\r\n\r\n" +
                       std::string(50000, 'z'));
    EditList(server, "otTodolist", "url", cut.Host() + "/otTodolist.zip");
    EditList(server, "otTodolist", "size", "300000");
    EditList(server, "otContacts", "url", "");
    // A server that sends more than the list announces is cut off.
    RawReplyServer endless(RawReplyServer::Ok(std::string(200000, 'z'), "application/zip"));
    EditList(server, "otUpgrade", "url", endless.Host() + "/otUpgrade.zip");
    EditList(server, "otUpgrade", "size", "1000");
    UpgradeRun run(server);
    ASSERT_TRUE(run.Start({"-L:en"}));
    run.Form->btnUpgrade->click();
    EXPECT_EQ(run.Status(0), "Download Failed");
    EXPECT_EQ(run.Status(1), "Parameter Error");
    EXPECT_EQ(run.Status(2), "Download Failed");
    EXPECT_EQ(run.Form->RowState(0), 0);
    EXPECT_FALSE(fs::exists(run.App + "apptemp/otTodolist.zip"));
    EXPECT_FALSE(fs::exists(run.App + "apptemp/otUpgrade.zip"));
    EXPECT_EQ(std::distance(fs::directory_iterator(run.App + "apptemp"), fs::directory_iterator()),
              1)
        << "only the list";
    EXPECT_TRUE(run.Messages.empty()) << "nothing to install, no warning";
    EXPECT_TRUE(run.Form->btnUpgrade->isEnabled());
}

TEST(UpgradeWindow, AnInstallThatFailsHalfWayKeepsTheOldFilesAndIsRetriedFromThePackage) {
    UpdateServerProcess server;
    PublishApp(server, "otTodolist", "1.1", "",
               {{"otTodolist", "new program"}, {"styles/Light.1.Style", "new"}, {"zzz", "file"}});
    UpgradeRun run(server);
    WriteTestFile(run.App + "otTodolist", "old program");
    WriteTestFile(run.App + "styles/Light.1.Style", "old");
    WriteTestFile(run.App + "otTodolist.ver", "1.0");
    // A folder where the package has a file: the last move fails.
    WriteTestFile(run.App + "zzz/inside.txt", "in the way");
    ASSERT_TRUE(run.Start({"-L:en"}));
    run.Form->btnUpgrade->click();
    EXPECT_EQ(run.Status(0), "Upgrade Failed");
    EXPECT_EQ(run.Form->RowState(0), 1);
    EXPECT_EQ(ReadTestFile(run.App + "otTodolist"), "old program");
    EXPECT_EQ(ReadTestFile(run.App + "styles/Light.1.Style"), "old");
    EXPECT_EQ(ReadTestFile(run.App + "otTodolist.ver"), "1.0");
    EXPECT_TRUE(fs::exists(run.App + "apptemp/otTodolist.zip"));
    EXPECT_TRUE(run.Form->btnUpgrade->isEnabled());

    // The next click installs the kept package: the server no longer has it.
    fs::remove_all(run.App + "zzz");
    fs::remove(PackageOnServer(server, "otTodolist", "1.1"));
    run.Messages.clear();
    run.Form->btnUpgrade->click();
    EXPECT_EQ(run.Status(0), "Upgrade successfully");
    EXPECT_EQ(ReadTestFile(run.App + "otTodolist"), "new program");
    EXPECT_EQ(ReadTestFile(run.App + "zzz"), "file");
    EXPECT_EQ(ReadTestFile(run.App + "otTodolist.ver"), "1.1");
    EXPECT_EQ(run.Messages.size(), 2u) << "warned again before installing";
    EXPECT_FALSE(run.Form->btnUpgrade->isEnabled());
}

TEST(UpgradeWindow, TheUpgradeProgramsOwnPackageIsLeftForTheTaskListProgram) {
    UpdateServerProcess server;
    PublishApp(server, "otUpgrade", "1.1", "Dorvel", {{"otUpgrade", "new upgrader"}});
    UpgradeRun run(server);
    WriteTestFile(run.App + "otUpgrade", "old upgrader");
    WriteTestFile(run.App + "otUpgrade.ver", "1.0");
    ASSERT_TRUE(run.Start({"-L:en", "-App:Dorvel"}));
    run.Form->btnUpgrade->click();
    EXPECT_EQ(run.Status(0), "Upgrade successfully");
    EXPECT_EQ(run.Form->RowState(0), 2);
    EXPECT_EQ(ReadTestFile(run.App + "otUpgrade"), "old upgrader");
    EXPECT_EQ(ReadTestFile(run.App + "otUpgrade.ver"), "1.1");
    EXPECT_TRUE(fs::exists(run.App + "apptemp/otUpgrade.zip"));
    ASSERT_EQ(run.Messages.size(), 2u);
    EXPECT_TRUE(run.Messages[0].Text.contains(QStringLiteral("background.\r\n  \r\nIf upgrade")))
        << run.Messages[0].Text.toStdString();
}

TEST(UpgradeWindow, ProgressBarsAndTipFollowTheTasks) {
    for (const char* lang : {"en", "zh"}) {
        TUpgradeLang tr;
        tr.SetLang(lang);
        TfrmProgress progress(tr);
        progress.SetTotalTaskCount(4);
        progress.SetTaskIndex(1);
        progress.SetATaskProgress(50);
        EXPECT_EQ(progress.ProgressBar1->value(), 50);
        EXPECT_EQ(progress.ProgressBar2->value(), 37);
        progress.SetTotalProgress(75);
        EXPECT_EQ(progress.ProgressBar2->value(), 75);
        progress.SetTipStr(1572864, 629146, 312.456);
        EXPECT_EQ(progress.lblTip->text(),
                  std::string(lang) == "en"
                      ? QStringLiteral("Download: 614.4 KB, Total: 1536.0 KB, Speed: 312.46 KB/s")
                      : QStringLiteral("已下载：614.4 KB，总计：1536.0 KB，速度：312.46 KB/s"));
        progress.Reset();
        EXPECT_EQ(progress.lblTip->text(), QString());
        EXPECT_EQ(progress.ProgressBar2->value(), 0);
        EXPECT_EQ(progress.TaskIndex(), 0);
    }
}

TEST(UpgradeWindow, TheProgressWindowOpensInTheMiddleOfTheScreen) {
    TUpgradeLang tr;
    TfrmProgress progress(tr);
    progress.show();
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_LE((progress.frameGeometry().center() - area.center()).manhattanLength(), 2);
}

TEST(UpgradeWindow, TheDownloadSpeedIsSmoothedOverTheProgressEvents) {
    UpdateServerProcess server;
    UpgradeRun run(server);
    ASSERT_TRUE(run.Start({"-L:en"}));
    auto clock = std::make_shared<FixedClock>(45000.5);
    ScopedClock scoped(clock);
    TfrmUpgrade& form = *run.Form;
    form.Progress().SetTotalTaskCount(1);
    form.IdHTTPDownloadWorkBegin(4 << 20);
    EXPECT_EQ(form.Progress().lblTip->text(),
              QStringLiteral("Download: 0.0 KB, Total: 4096.0 KB, Speed: 0.00 KB/s"));
    form.IdHTTPDownloadWork(1000);
    EXPECT_EQ(form.AverageSpeed(), 0) << "no time has passed";
    clock->AdvanceSeconds(2);
    form.IdHTTPDownloadWork(1 << 20);
    EXPECT_DOUBLE_EQ(form.AverageSpeed(), (1024.0 / 2 + 0) / 2);
    EXPECT_EQ(form.Progress().ProgressBar1->value(), 25);
    clock->AdvanceSeconds(2);
    form.IdHTTPDownloadWork(2 << 20);
    EXPECT_DOUBLE_EQ(form.AverageSpeed(), (2048.0 / 4 + 256) / 2);
    EXPECT_EQ(form.Progress().ProgressBar1->value(), 50);
    EXPECT_EQ(form.Progress().lblTip->text(),
              QStringLiteral("Download: 2048.0 KB, Total: 4096.0 KB, Speed: 384.00 KB/s"));
    form.IdHTTPDownloadWorkEnd();
    EXPECT_EQ(form.AverageSpeed(), 0);
    EXPECT_EQ(form.Progress().ProgressBar1->value(), 100);
}

// The whole hand-over: a new otTodolist and a new otUpgrade are published; the
// upgrade program as the task-list program starts it installs the first and
// leaves the second, which the task-list program's start-up step
// (FinishPendingUpgrade, what its FinishUpgrade runs) then installs.
TEST(UpgradeEndToEnd, PublishUpgradeAndFinishAtTheNextStart) {
    UpdateServerProcess server;
    const auto todolist = server.MakeFolder("new-todolist", {});
    fs::create_directories(todolist);
    fs::copy_file(OT_SAMPLE_NEW_EXE, todolist / "otTodolist");
    WriteTestFile(todolist / "styles" / "New.1.Style", "style");
    ASSERT_EQ(
        server.Publish({"--name", "otTodolist", "--version", "1.0.2013.1", "--title",
                        "Sarnic Tasks", "--dependence", "Dorvel", "--from", todolist.string()}),
        0);
    const auto upgrader = server.MakeFolder("new-upgrader", {});
    fs::create_directories(upgrader);
    fs::copy_file(OT_SAMPLE_NEW_EXE, upgrader / "otUpgrade");
    ASSERT_EQ(server.Publish({"--name", "otUpgrade", "--version", "1.0.2013.1", "--title",
                              "Upgrade", "--dependence", "Dorvel", "--from", upgrader.string()}),
              0);

    UpgradeRun run(server);
    fs::copy_file(OT_SAMPLE_OLD_EXE, run.App + "otTodolist");
    fs::copy_file(OT_SAMPLE_OLD_EXE, run.App + "otUpgrade");
    ASSERT_EQ(FileVersion(run.App + "otTodolist"), "1.0.2012.1128");
    ASSERT_TRUE(run.Start({"-L:en", "-App:Dorvel", "-Auth:free"}));
    ASSERT_EQ(run.Names(), (std::vector<std::string>{"otTodolist", "otUpgrade"}));
    run.Form->btnUpgrade->click();
    EXPECT_EQ(run.Status(0), "Upgrade successfully");
    EXPECT_EQ(run.Status(1), "Upgrade successfully");
    EXPECT_EQ(FileVersion(run.App + "otTodolist"), "1.0.2013.1");
    EXPECT_NE(fs::status(run.App + "otTodolist").permissions() & fs::perms::owner_exec,
              fs::perms::none);
    EXPECT_EQ(ReadTestFile(run.App + "styles/New.1.Style"), "style");
    EXPECT_EQ(FileVersion(run.App + "otUpgrade"), "1.0.2012.1128");
    run.Form->close();
    EXPECT_FALSE(fs::exists(run.App + "apptemp/otUpgradeAppList.xml"));

    FinishPendingUpgrade(run.App);
    EXPECT_EQ(FileVersion(run.App + "otUpgrade"), "1.0.2013.1");
    EXPECT_FALSE(fs::exists(run.App + "apptemp/otUpgrade.zip"));

    // Nothing newer now: a silent start ends without a window.
    UpgradeRun again(server);
    fs::copy_file(run.App + "otTodolist", again.App + "otTodolist");
    fs::copy_file(run.App + "otUpgrade", again.App + "otUpgrade");
    EXPECT_FALSE(again.Start({"-L:en", "-App:Dorvel", "-Auth:free", "-Silence"}));
}

// Runs the upgrade program with args (args[0]: its file) and waits for it to
// end on its own: a window it shows keeps it running, and it is then killed
// after the time-out. prefix: words put before args (another user's identity).
// The exit status, or -1 when it had to be killed.
int RunUpgradeProgram(const std::vector<std::string>& args,
                      const std::vector<std::string>& prefix = {}) {
    std::vector<std::string> all = prefix;
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (const auto& a : all)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return -2;
    int status = -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -3;
}

void WriteSarnicHost(const fs::path& dir, const std::string& host) {
    WriteTestFile(dir / "appdata" / "otCommonSettings.xml",
                  "<otContactsSettings><otGeneralSections><s name=\"SarnicHost\" value=\"" + host +
                      "\"/></otGeneralSections></otContactsSettings>");
}

// The program itself: a silent start with nothing newer sends its record and
// ends on its own (a shown window would keep it running until the time-out).
TEST(UpgradeProgram, ASilentStartWithNothingNewerEndsWithoutAWindow) {
    UpdateServerProcess server;
    PublishApp(server, "otUpgrade", "1.0", "Dorvel");
    TempDir dir;
    const fs::path exe = dir.Path() / "otUpgrade";
    fs::copy_file(OT_UPGRADE_EXE, exe);
    WriteTestFile(dir.Path() / "otUpgrade.ver", "1.0");
    WriteSarnicHost(dir.Path(), server.Host());
    EXPECT_EQ(RunUpgradeProgram({exe.string(), "-L:en", "-App:Dorvel", "-Auth:free", "-Silence"}),
              0);
    const auto records = server.UsageRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].Guid, Trim(ReadTestFile(dir.Path() / "Dorvel.uid")));
}

// An install killed half-way (here after its first file) is completed by the
// next start of the upgrade program, before it looks for anything new.
TEST(UpgradeProgram, TheNextStartCompletesAnInstallThatWasKilled) {
    UpdateServerProcess server;
    UpgradeRun run(server);
    WriteTestFile(run.App + "otTodolist", "old program");
    WriteTestFile(run.App + "otTodolist.ver", "1.0");
    WriteTestFile(run.App + "styles/Light.1.Style", "old style");
    const std::string zip = run.Dir().string() + "/package.zip";
    ASSERT_TRUE(MakeZip(zip, {{"otTodolist", "new program", 0100755},
                              {"styles/Light.1.Style", "new style"}}));
    EXPECT_EQ(RunUpgradeProgram({OT_INSTALL_STEP_TOOL, "move:1", zip, run.App,
                                 run.App + "otTodolist.ver", "2.0"}),
              -3) << "killed";
    EXPECT_EQ(ReadTestFile(run.App + "styles/Light.1.Style"), "old style") << "half-way";
    EXPECT_TRUE(run.Start({"-L:en"}));
    EXPECT_EQ(ReadTestFile(run.App + "otTodolist"), "new program");
    EXPECT_EQ(ReadTestFile(run.App + "styles/Light.1.Style"), "new style");
    EXPECT_EQ(ReadTestFile(run.App + "otTodolist.ver"), "2.0");
    for (const auto& e : fs::directory_iterator(run.App))
        EXPECT_NE(e.path().filename().string().front(), '.') << e.path();
}

// The periodic check on a machine without network, and in a program directory
// its user cannot write: no window, no message box, exit status 0. As root the
// program runs as nobody, since root may write anywhere.
TEST(UpgradeProgram, ASilentCheckThatCannotWorkEndsAtOnceWithoutAWindow) {
    UpdateServerProcess server;
    PublishApp(server, "otTodolist", "9.0", "Dorvel");
    for (const bool unwritable : {false, true}) {
        SCOPED_TRACE(unwritable ? "unwritable program directory" : "unreachable server");
        // nobody must reach the program; $TMPDIR may be private to root.
        const bool asNobody = unwritable && ::geteuid() == 0;
        TempDir dir(asNobody ? "/tmp" : "");
        const fs::path app = dir.Path() / "app";
        fs::create_directories(app);
        const fs::path exe = app / "otUpgrade";
        fs::copy_file(OT_UPGRADE_EXE, exe);
        fs::copy_file(OT_SAMPLE_OLD_EXE, app / "otTodolist");
        WriteSarnicHost(app, unwritable ? server.Host() : "http://127.0.0.1:1");
        std::vector<std::string> prefix;
        if (unwritable) {
            fs::permissions(dir.Path(), fs::perms(0755));
            fs::permissions(app, fs::perms(0555));
            if (asNobody)
                prefix = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
        }
        EXPECT_EQ(RunUpgradeProgram({exe.string(), "-L:en", "-App:Dorvel", "-Auth:free", "-Silence"},
                                    prefix),
                  0);
        fs::permissions(app, fs::perms(0755));
        EXPECT_EQ(FileVersion(app / "otTodolist"), "1.0.2012.1128");
        if (unwritable) {
            EXPECT_FALSE(fs::exists(app / "apptemp"));
            EXPECT_FALSE(fs::exists(app / "Dorvel.uid"));
        }
    }
    EXPECT_TRUE(server.UsageRecords().empty()) << "nothing is sent from either";
}

} // namespace
} // namespace ot::test
