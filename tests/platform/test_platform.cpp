// The desktop services on the offscreen platform: command lines, starting
// programs, what the About box reports, and that tray and hot key report
// failure where the display offers neither.
#include "platform/OtCommandLine.h"
#include "platform/OtFakePlatform.h"
#include "platform/OtPlatform.h"
#include "platform/OtTrayClicks.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QUrl>

#include <gtest/gtest.h>

#include <sys/utsname.h>

#include <chrono>
#include <fstream>
#include <thread>

// Takes the URLs the desktop would open, so the test starts no viewer.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> FUrls;
public slots:
    void Open(const QUrl& url) { FUrls << url; }
};

// Readable failure messages for Qt's strings.
void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

namespace {

using namespace ot;

TEST(CommandLine, SplitsLikeAShell) {
    struct Case {
        QString line;
        std::optional<QStringList> words;
    };
    const Case cases[] = {
        {"", QStringList{}},
        {"   \t ", QStringList{}},
        {"/opt/ot/otUpgrade -L:zh -App:Dorvel -Auth:free -Silence",
         QStringList{"/opt/ot/otUpgrade", "-L:zh", "-App:Dorvel", "-Auth:free", "-Silence"}},
        {"  a\t\tb  ", QStringList{"a", "b"}},
        {"'/my dir/prog' x", QStringList{"/my dir/prog", "x"}},
        {"\"/my dir/prog\" \"\"", QStringList{"/my dir/prog", ""}},
        {"a'b c'd", QStringList{"ab cd"}},
        {R"("say \"hi\" \$HOME \n")", QStringList{R"(say "hi" $HOME \n)"}},
        {R"('no \escapes "here"')", QStringList{R"(no \escapes "here")"}},
        {R"(a\ b c\\d)", QStringList{"a b", R"(c\d)"}},
        {"$HOME *.txt ~ a;b |c", QStringList{"$HOME", "*.txt", "~", "a;b", "|c"}},
        {"中文 程序", QStringList{"中文", "程序"}},
        {"'open", std::nullopt},
        {"\"open", std::nullopt},
        {"trailing\\", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SplitCommandLine(c.line), c.words) << c.line.toStdString();
    }
}

class PlatformFiles : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(FDir.isValid());
        ASSERT_TRUE(QDir(FDir.path()).mkpath("program dir/with  two"));
        FProgramDir = FDir.path() + "/program dir";
    }
    // An executable script that writes its arguments, one a line, to out.
    QString WriteScript(const QString& path, const QString& out) {
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QStringLiteral("#!/bin/sh\nprintf '%s\\n' \"$@\" > '%1.tmp' && mv '%1.tmp' '%1'\n")
                    .arg(out)
                    .toUtf8());
        f.close();
        f.setPermissions(f.permissions() | QFileDevice::ExeOwner);
        return path;
    }
    // The started program runs on its own; wait (bounded) until it wrote.
    static QString WaitForFile(const QString& path) {
        for (int i = 0; i < 200 && !QFile::exists(path); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }

    QTemporaryDir FDir;
    QString FProgramDir;
};

TEST_F(PlatformFiles, ProgramNameWithBlanksIsJoined) {
    const QString prog = FProgramDir + "/otUpgrade";
    WriteScript(prog, FDir.path() + "/unused");
    const QString two = FProgramDir + "/with  two/p";
    WriteScript(two, FDir.path() + "/unused");
    const QStringList plain = {"/bin/sh", "-c", "true"};

    EXPECT_EQ(JoinProgramWithBlanks(SplitCommandLine(prog + " -L:zh -Silence").value()),
              (QStringList{prog, "-L:zh", "-Silence"}));
    EXPECT_EQ(JoinProgramWithBlanks(plain), plain);
    EXPECT_EQ(JoinProgramWithBlanks({}), QStringList{});
    // No prefix names a file: the words stay as split.
    const QStringList missing = SplitCommandLine(FProgramDir + "/absent -x").value();
    EXPECT_EQ(JoinProgramWithBlanks(missing), missing);
    // Only single blanks can be put back.
    const QStringList doubled = SplitCommandLine(two + " a").value();
    EXPECT_EQ(JoinProgramWithBlanks(doubled), doubled);
    // A directory is no program.
    EXPECT_EQ(JoinProgramWithBlanks(SplitCommandLine(FProgramDir + " x").value()),
              SplitCommandLine(FProgramDir + " x").value());
}

TEST_F(PlatformFiles, OpenExStartsAProgramFromAnUnquotedDirectoryWithBlanks) {
    const QString out = FDir.path() + "/args.txt";
    const QString prog = WriteScript(FProgramDir + "/otUpgrade", out);
    auto platform = CreateDesktopPlatform();
    ASSERT_TRUE(platform->OpenEx(prog + " -L:zh -App:Dorvel -Auth:free 'two words'"));
    EXPECT_EQ(WaitForFile(out), "-L:zh\n-App:Dorvel\n-Auth:free\ntwo words\n");
}

TEST_F(PlatformFiles, OpenExFailsWithoutStartingAnything) {
    auto platform = CreateDesktopPlatform();
    for (const QString& line : {QString(), QString("   "), FProgramDir + "/absent -x",
                                QString("'unterminated"), FProgramDir}) {
        EXPECT_FALSE(platform->OpenEx(line)) << line.toStdString();
    }
}

TEST(DesktopPlatform, OpenHandsAddressesAndFilesToTheDesktop) {
    UrlCatcher catcher;
    for (const char* scheme : {"https", "file", "mailto"}) {
        QDesktopServices::setUrlHandler(scheme, &catcher, "Open");
    }
    auto platform = CreateDesktopPlatform();
    EXPECT_TRUE(platform->Open("https://example.org/a?b=c d"));
    EXPECT_TRUE(platform->Open("/tmp/some dir/report #1.txt"));
    EXPECT_TRUE(platform->Open("mailto:someone@example.org"));
    for (const char* scheme : {"https", "file", "mailto"}) {
        QDesktopServices::unsetUrlHandler(scheme);
    }
    ASSERT_EQ(catcher.FUrls.size(), 3);
    EXPECT_EQ(catcher.FUrls[0].toString(), "https://example.org/a?b=c d");
    EXPECT_EQ(catcher.FUrls[1].toLocalFile(), "/tmp/some dir/report #1.txt");
    EXPECT_EQ(catcher.FUrls[2].toString(), "mailto:someone@example.org");
}

TEST(DesktopPlatform, NoTrayAndNoHotKeyWithoutADesktop) {
    ASSERT_EQ(QGuiApplication::platformName(), "offscreen");
    auto platform = CreateDesktopPlatform();
    EXPECT_FALSE(platform->AddTrayIcon(QIcon(), "Dorvel"));
    EXPECT_FALSE(platform->HasTrayIcon());
    EXPECT_FALSE(platform->RegisterHotKey());
    platform->UnregisterHotKey();
    platform->RemoveTrayIcon();
}

TEST(DesktopPlatform, DescribesThisSystem) {
    auto platform = CreateDesktopPlatform();
    utsname u{};
    ASSERT_EQ(uname(&u), 0);
    EXPECT_EQ(platform->ArchitectureDescription(), QString(u.machine) + " Linux");

    std::ifstream osRelease("/etc/os-release");
    std::string line, pretty;
    while (std::getline(osRelease, line)) {
        if (line.rfind("PRETTY_NAME=", 0) == 0) {
            pretty = line.substr(12);
            if (pretty.size() >= 2 && pretty.front() == '"') {
                pretty = pretty.substr(1, pretty.size() - 2);
            }
        }
    }
    if (!pretty.empty()) {
        EXPECT_EQ(platform->OSDescription().toStdString(), pretty);
    }
    EXPECT_TRUE(platform->OSVersionLine().startsWith(platform->OSDescription() + " (Version "))
        << platform->OSVersionLine().toStdString();
}

TEST(DesktopPlatform, AboutBoxTexts) {
    EXPECT_EQ(FormatArchitecture("x86_64", "linux"), "x86_64 Linux");
    EXPECT_EQ(FormatArchitecture("arm64", "darwin"), "arm64 Darwin");
    EXPECT_EQ(FormatArchitecture("i386", ""), "i386");

    struct Case {
        const char* name;
        const char* kernel;
        const char* arch;
        const char* line;
    };
    const Case cases[] = {
        {"Debian GNU/Linux 12 (bookworm)", "6.1.0-13-amd64", "x86_64",
         "Debian GNU/Linux 12 (bookworm) (Version 6.1, Build 0, 64-bit Edition)"},
        {"Distro", "5.15.133.1-microsoft-standard-WSL2", "arm64",
         "Distro (Version 5.15, Build 133, 64-bit Edition)"},
        {"Old", "4.9", "i386", "Old (Version 4.9, Build 0, 32-bit Edition)"},
        {"Odd", "unknown", "s390x", "Odd (Version 0.0, Build 0, 64-bit Edition)"},
        {"100% %1 %2", "3", "arm", "100% %1 %2 (Version 3.0, Build 0, 32-bit Edition)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FormatOSVersionLine(c.name, c.kernel, c.arch), c.line) << c.name;
    }
}

TEST(TrayClicks, DoubleClicksOnEitherKindOfTray) {
    using R = QSystemTrayIcon::ActivationReason;
    struct Click {
        R reason;
        int64_t at;
        bool toggles;
    };
    struct Case {
        const char* name;
        std::vector<Click> clicks;
    };
    const Case cases[] = {
        // X11 tray: a double click arrives as a click and then a double click.
        {"x11 double click", {{R::Trigger, 0, false}, {R::DoubleClick, 200, true}}},
        {"x11 double click, then a click",
         {{R::Trigger, 0, false}, {R::DoubleClick, 200, true}, {R::Trigger, 300, false}}},
        {"x11 single clicks", {{R::Trigger, 0, false}, {R::Trigger, 1000, false}}},
        // D-Bus tray: only plain activations.
        {"dbus double click", {{R::Trigger, 0, false}, {R::Trigger, 400, true}}},
        {"dbus triple click",
         {{R::Trigger, 0, false}, {R::Trigger, 100, true}, {R::Trigger, 200, false}}},
        {"dbus two double clicks",
         {{R::Trigger, 0, false},
          {R::Trigger, 100, true},
          {R::Trigger, 900, false},
          {R::Trigger, 1000, true}}},
        {"too slow", {{R::Trigger, 0, false}, {R::Trigger, 401, false}, {R::Trigger, 700, true}}},
        {"right clicks",
         {{R::Context, 0, false},
          {R::Context, 50, false},
          {R::Trigger, 60, false},
          {R::Context, 70, false},
          {R::MiddleClick, 80, false},
          {R::Trigger, 90, true}}},
    };
    for (const auto& c : cases) {
        TTrayClicks clicks(400);
        for (std::size_t i = 0; i < c.clicks.size(); ++i) {
            EXPECT_EQ(clicks.IsDoubleClick(c.clicks[i].reason, c.clicks[i].at), c.clicks[i].toggles)
                << c.name << " click " << i;
        }
    }
}

TEST(FakePlatform, RecordsCallsAndFiresOnlyWhatIsAvailable) {
    TFakePlatform fake;
    int doubleClicks = 0;
    int hotKeys = 0;
    QObject::connect(&fake, &TOtPlatform::trayIconDoubleClicked, [&] { ++doubleClicks; });
    QObject::connect(&fake, &TOtPlatform::hotKeyPressed, [&] { ++hotKeys; });

    fake.FTrayAvailable = false;
    fake.FHotKeyAvailable = false;
    EXPECT_FALSE(fake.AddTrayIcon(QIcon(), "Dorvel"));
    EXPECT_FALSE(fake.RegisterHotKey());
    fake.DoubleClickTrayIcon();
    fake.PressHotKey();
    EXPECT_EQ(doubleClicks + hotKeys, 0);

    fake.FTrayAvailable = true;
    fake.FHotKeyAvailable = true;
    EXPECT_TRUE(fake.AddTrayIcon(QIcon(), "Dorvel"));
    EXPECT_TRUE(fake.HasTrayIcon());
    EXPECT_EQ(fake.FTrayTip, "Dorvel");
    EXPECT_TRUE(fake.RegisterHotKey());
    fake.DoubleClickTrayIcon();
    fake.PressHotKey();
    EXPECT_EQ(doubleClicks, 1);
    EXPECT_EQ(hotKeys, 1);

    fake.Open("https://example.org");
    fake.OpenEx("/opt/ot/otUpgrade -L:zh");
    EXPECT_EQ(fake.FOpened, QStringList{"https://example.org"});
    EXPECT_EQ(fake.FStarted, QStringList{"/opt/ot/otUpgrade -L:zh"});
    EXPECT_TRUE(fake.OSVersionLine().startsWith("Test OS 1.0 (Version "));
}

} // namespace

#include "test_platform.moc"
