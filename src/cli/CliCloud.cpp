#include "cli/CliCloud.h"

#include "app/OtSettingFile.h"
#include "cli/CliCommands.h"
#include "cloud/KuaipanAPI.h"
#include "cloud/KuaipanAuthorise.h"
#include "cloud/KuaipanHosts.h"
#include "cloud/KuaipanUtility.h"
#include "common/Text.h"
#include "sync/OtKuaipanSyncModel.h"
#include "sync/OtKuaipanSyncUtility.h"
#include "sync/OtLocalTaskTree.h"

#include <atomic>
#include <csignal>
#include <ostream>

namespace ot::cli {

namespace {

// How often the authorise-page address is asked for before giving up, as the
// desktop login window does.
constexpr int kAuthorizeURLAttempts = 3;

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

// The desktop login window's sequence: the authorise-page address (a few
// attempts), the web login with the trimmed user name and password, then the
// exchange of the verifier for an access token, which is stored. The account
// name is recorded as typed, as the settings dialog does.
int CmdLogin(const TParsedCommandLine& cmd, TCliIO& io, const TAppPaths& paths) {
    const std::string& user = cmd.Args[0];
    if (Trim(user).empty())
        throw TCommandError("Username cannot be empty!", ExitUsage);
    std::optional<std::string> password = io.ReadSecret("Password: ");
    if (!password || Trim(*password).empty())
        throw TCommandError("Password cannot be empty!", ExitUsage);

    TOtTaskClassList noClasses;
    TOtLocalTaskTree noTree(noClasses, TOtTaskRepository(paths));
    TKuaipanSyncUtility engine(nullptr, noTree);
    std::string url;
    for (int attempt = 0; attempt < kAuthorizeURLAttempts && url.empty(); ++attempt)
        url = engine.GetAuthorizeURL();
    if (url.empty())
        throw TCommandError("Login failed!");

    TKuaipanAuthorise authorise(url);
    std::string result;
    if (!authorise.LoginAndAuthorise(Trim(user), Trim(*password), result))
        throw TCommandError("Authorization failed:" + result);
    if (!engine.SetVerifier(result))
        throw TCommandError("Authorization failed! Verifier:" + result);

    TOtSettingFile settings(paths.SettingFileName);
    if (!settings.WriteString("KuaipanAccount", user))
        throw TCommandError("Failed to save settings!");
    io.Out << "Authorized success!\n";
    return ExitOk;
}

int CmdSync(const TParsedCommandLine& cmd, TCliIO& io, TTaskTree& tree) {
    int pauseMs = 500;
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
    TKuaipanSyncUtility engine(&thread, localTree, settings);
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
    UseKuaipanHostsOf(paths.AppPath);
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
