#pragma once
// What the window tests share: a temporary program directory, answers to
// the modal dialogs given in advance, and a main window started on a fake
// desktop.

#include "cli/CliTestSupport.h"
#include "desktop/UnitTaskList.h"
#include "platform/OtFakePlatform.h"
#include "sync/OtKuaipanSyncModel.h"

#include <QDialog>
#include <QString>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace ot::test {

// A program directory below $TMPDIR, removed at the end, with the settings
// and the task classes a window test starts from.
class TDesktopDir : public clitest::TProgramDir {
public:
    using TProgramDir::TProgramDir;
    void WriteSetting(const std::string& name, const std::string& value) const;
    std::string ReadSetting(const std::string& name) const;
    // Creates a class directory with items of the given titles and priorities.
    void AddClass(const std::string& id, const std::string& title,
                  const std::vector<std::pair<std::string, int>>& items = {}) const;
};

// What a modal window showed: its caption and, for a message box, its text.
struct TShownDialog {
    QString Caption;
    QString Text;
    QString ObjectName;
};

// Answers the modal windows in order; each answer gets the dialog (it may
// fill it and press its buttons) and returns the modal result. A window
// beyond the last answer fails the test and is rejected.
class TModalAnswers {
public:
    using TAnswer = std::function<int(QDialog&)>;
    TModalAnswers();
    ~TModalAnswers();
    TModalAnswers& Then(TAnswer answer);
    TModalAnswers& ThenButton(int button); // a message box answered with a button
    const std::vector<TShownDialog>& Shown() const { return FShown; }
    std::size_t Pending() const { return FAnswers.size(); }

private:
    std::deque<TAnswer> FAnswers;
    std::vector<TShownDialog> FShown;
};

// The main window on a fake desktop, started (FormCreate) with its dialogs.
struct TWindow {
    explicit TWindow(const TDesktopDir& dir, bool show = true);
    // APrepare sets up the fake desktop before the window starts on it.
    TWindow(const TDesktopDir& dir, bool show, const std::function<void(TFakePlatform&)>& APrepare);
    ~TWindow();
    TFakePlatform Platform;
    TSyncFlags Flags;
    std::unique_ptr<TfrmTaskList> Form;
    bool Created = false;
};

// Waits, answering the sync thread's calls, until the window's sync thread has
// finished `passes` passes (at most a minute).
bool WaitForPasses(TWindow& w, int passes);

} // namespace ot::test
