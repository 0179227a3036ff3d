#include "cli/CliCloud.h"

#include "cloud/KuaipanException.h"

#include "app/OtSettingFile.h"
#include "cli/CliCommands.h"
#include "cloud/KuaipanAPI.h"
#include "cloud/KuaipanAuthorise.h"
#include "cloud/KuaipanHosts.h"
#include "cloud/KuaipanUtility.h"
#include "common/Text.h"
#include "sync/OtKuaipanAccountBinding.h"
#include "sync/OtKuaipanSyncModel.h"
#include "sync/OtKuaipanSyncUtility.h"
#include "sync/OtLocalTaskTree.h"

#include <atomic>
#include <csignal>
#include <ostream>

namespace ot::cli {

namespace {

// Log lines go to standard output as the pass writes them, so a long pass
// shows its progress and a log redirected to a file is complete up to a crash.
class TPrintingObserver : public TSyncObserver {
public:
    explicit TPrintingObserver(std::ostream& out) : FOut(out) {}
    void AddLog(const std::string& line) override { FOut << line << std::endl; }
    void SetStatusText(const std::string&) override {}
    void ShowSyncStatusBar() override {}
    void HideSyncStatusBar() override {}
    void ShowLogForm() override {}
    void HideLogForm() override {}

private:
    std::ostream& FOut;
};

// Ctrl+C or a TERM signal asks the pass under way to stop between two rows
// or two cloud items instead of killing it in the middle of one.
std::atomic<TKuaipanSyncUtility*> gRunningEngine{nullptr};

extern "C" void StopRunningPass(int) {
    if (TKuaipanSyncUtility* engine = gRunningEngine.load())
        engine->RequestStop();
}

class TStopOnSignal {
public:
    explicit TStopOnSignal(TKuaipanSyncUtility& engine) {
        gRunningEngine = &engine;
        FOldInt = std::signal(SIGINT, StopRunningPass);
        FOldTerm = std::signal(SIGTERM, StopRunningPass);
    }
    ~TStopOnSignal() {
        std::signal(SIGINT, FOldInt);
        std::signal(SIGTERM, FOldTerm);
        gRunningEngine = nullptr;
    }
    TStopOnSignal(const TStopOnSignal&) = delete;
    TStopOnSignal& operator=(const TStopOnSignal&) = delete;

private:
    void (*FOldInt)(int);
    void (*FOldTerm)(int);
};

} // namespace

// The desktop login window's sequence (the account name is recorded as typed,
// as the settings dialog does). Binding another account than the one the
// tree was synchronized with pushes the whole tree to it at the next pass.
int CmdLogin(const TParsedCommandLine& cmd, TCliIO& io, const TAppPaths& paths) {
    const std::string& user = cmd.Args[0];
    if (Trim(user).empty())
        throw TCommandError("Username cannot be empty!", ExitUsage);
    std::optional<std::string> password = io.ReadSecret("Password: ");
    if (!password || Trim(*password).empty())
        throw TCommandError("Password cannot be empty!", ExitUsage);

    TOtTaskClassList noClasses;
    TOtLocalTaskTree noTree(noClasses, TOtTaskRepository(paths));
    TKuaipanSyncUtility engine(nullptr, noTree, TKuaipanHosts::FromProgramDir(paths.DataRoot));
    TOtSettingFile settings(paths.SettingFileName);
    const TKuaipanLoginResult login = KuaipanLogin(
        engine, user, *password,
        {paths.DBFileName, [&] { return settings.ReadString(KuaipanLinkedAccountKey, ""); },
         [&](const std::string& id) { settings.WriteString(KuaipanLinkedAccountKey, id); }});
    switch (login.Kind) {
    case TKuaipanLoginResult::lrSuccess:
        break;
    case TKuaipanLoginResult::lrAuthoriseFailed:
        throw TCommandError("Authorization failed:" + login.Text);
    case TKuaipanLoginResult::lrVerifierFailed:
        throw TCommandError("Authorization failed! Verifier:" + login.Text);
    case TKuaipanLoginResult::lrClockSkew:
        throw TCommandError(login.Text);
    default:
        throw TCommandError("Login failed!");
    }
    if (!settings.WriteString("KuaipanAccount", user))
        throw TCommandError("Failed to save settings!");
    io.Out << "Authorized success!\n";
    if (login.LinksDropped)
        io.Out << "The local task lists will be uploaded to this account at the next sync.\n";
    return ExitOk;
}

int CmdSync(const TParsedCommandLine& cmd, TCliIO& io, TTaskTree& tree) {
    const TKuaipanHosts hosts = TKuaipanHosts::FromProgramDir(tree.Paths().DataRoot);
    int pauseMs = static_cast<int>(hosts.RowPause.count());
    if (auto p = cmd.Value("pause")) {
        auto v = ParseInt32(*p);
        if (!v || *v < 0 || *v > 60000)
            throw TCommandError("invalid pause \"" + *p + "\": give milliseconds from 0 to 60000",
                                ExitUsage);
        pauseMs = *v;
    }
    if (!TKuaipanUtility::LoadAuthFile(tree.Paths().AuthFileName))
        throw TCommandError("no cloud account is bound; bind one with \"ottodo login USER\"");

    auto settings = std::make_shared<TSyncSettings>();
    // The thread is never started: it only carries the engine's lines to the
    // observer, the way the desktop program's sync thread does.
    TKuaipanSyncThread thread(std::make_shared<TPrintingObserver>(io.Out), settings);
    TOtLocalTaskTree localTree(tree.Classes(), tree.Repository());
    TKuaipanSyncUtility engine(&thread, localTree, hosts, settings);
    engine.SetRowPause(std::chrono::milliseconds(pauseMs));
    if (cmd.Has("allow-deletions"))
        engine.AllowMassDeletionsOnce();

    const auto summary = [&] {
        const TSyncSummary& s = engine.LastSummary();
        io.Out << Format("Pushed %d, pulled %d, deleted %d, errors %d.%s\n", s.Pushed, s.Pulled,
                         s.Deleted, s.Errors,
                         s.Unreachable ? " The server could not be reached." : "");
    };

    bool ok = false;
    {
        TStopOnSignal stopOnSignal(engine);
        try {
            ok = engine.SyncToKuaipan();
        } catch (const TKuaipanClockSkewException& e) {
            thread.OutputSyncLog(ClockSkewText(e));
            summary();
            throw TCommandError("the server refused the clock of this computer");
        } catch (const std::exception& e) {
            thread.OutputSyncLog(Format("An error occurred. %s", e.what()));
            summary();
            throw TCommandError("the synchronization pass stopped with an error");
        }
    }
    summary();
    if (!ok)
        throw TCommandError("the synchronization pass was not successful (see its log above)");
    return ExitOk;
}

int RunCloudCommand(const TParsedCommandLine& cmd, TCliIO& io, const TAppPaths& paths) {
    if (cmd.Command->Name == "login")
        return CmdLogin(cmd, io, paths);
    // A pass compares every item, remarks included.
    TTaskTree tree{TOtTaskRepository(paths)};
    tree.Load(TTaskLoadDepth::tldItems);
    return CmdSync(cmd, io, tree);
}

int RunOttodo(const std::vector<std::string>& args, TCliIO& io) {
    return RunOttodo(args, io, RunCloudCommand);
}

} // namespace ot::cli
