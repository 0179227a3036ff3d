#pragma once
// TfrmUpgrade: the upgrade program's main window. It fetches the update list,
// offers the applications with a newer version, downloads their packages with
// the progress window, checks each package's seal and installs it into the
// program directory (the upgrade program's own package is left in apptemp/
// for the task-list program).

#include "common/DateTime.h"
#include "package/OtUpgradeArchive.h"
#include "upgrader/BrenmoorCommon.h"
#include "upgrader/OtUpgradeCommandLine.h"
#include "upgrader/OtUpgradeLang.h"
#include "upgrader/OtUpgradeList.h"

#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QGroupBox;
class QLabel;
class QListWidget;
class QPushButton;

namespace ot {

class TfrmProgress;

// The maker's update server when the common settings name none: the address
// the README's update server command serves.
inline constexpr const char* kDefaultSarnicHost = "http://127.0.0.1:8090";

enum class TUpgradeMessageKind { Error, Confirmation };

struct TUpgradeStart {
    std::string AppPath; // the program directory, with its trailing '/'
    std::vector<std::string> Args;
    std::string PublicKey; // the publisher's key packages are checked against
    // Every message box goes through here (tests answer them in advance).
    std::function<void(TUpgradeMessageKind, const QString&)> ShowMessage;
};

class TfrmUpgrade : public QWidget {
    Q_OBJECT
public:
    explicit TfrmUpgrade(TUpgradeStart AStart, QWidget* AParent = nullptr);
    ~TfrmUpgrade() override;

    // The start-up steps; false when the program is to end without a window.
    bool FormCreate();

    QLabel* lblTip = nullptr;
    QListWidget* lstbxApps = nullptr;
    QGroupBox* grpbxAppDetail = nullptr;
    QLabel* lblAppDetail = nullptr;
    QPushButton* btnUpgrade = nullptr;
    QPushButton* btnClose = nullptr;

    TfrmProgress& Progress() { return *FProgress; }
    const std::vector<TAppInfo>& AppList() const { return FAppList; }
    const TUpgradeArgs& Args() const { return FArgs; }
    // Whether this run may install (decided at start).
    TUpgradeInstallability Installability() const { return FInstallability; }
    double AverageSpeed() const { return FAverageSpeed; }
    const std::string& UpgradeAppListUrl() const { return FUpgradeAppListUrl; }
    const std::string& UpgradeAppListFilename() const { return FUpgradeAppListFilename; }
    std::string AppTempPath() const { return FAppPath + "apptemp/"; }
    // A row's state tag (0 not downloaded, 1 downloaded, 2 installed) and texts.
    int RowState(int ARow) const;
    QString RowText(int ARow, const char* AField) const;

    void btnUpgradeClick();
    void btnCloseClick();
    void lstbxAppsChange();
    // AMaxBytes: the most the body may hold (0: no limit).
    bool DownloadFile(const std::string& AUrl, const std::string& AFilename,
                      std::int64_t AMaxBytes = 0);
    void LoadUpgradeAppList(const std::string& AFilename);
    QString LangTranslate(const std::string& AString) const;
    bool DoAppUseStatistics();

    void IdHTTPDownloadWorkBegin(std::int64_t AWorkCountMax);
    void IdHTTPDownloadWork(std::int64_t AWorkCount);
    void IdHTTPDownloadWorkEnd();

protected:
    void closeEvent(QCloseEvent* AEvent) override;

private:
    void SetRow(int ARow, const char* AField, const QString& AText);
    void SetRowStatus(int ARow, const char* AStatus);
    void SetRowState(int ARow, int AState);
    void Repaint();
    void FormClose();
    void Translate();
    // A silent run's only report of why it ended: a line on standard error.
    static void LogSilent(const std::string& AText);

    TUpgradeStart FStart;
    std::string FAppPath;
    TUpgradeArgs FArgs;
    TUpgradeLang FLangApp;
    std::string FHost;
    std::unique_ptr<TfrmProgress> FProgress;
    bool FBusy = false;
    TUpgradeInstallability FInstallability = TUpgradeInstallability::Allowed;
    std::unique_ptr<TDownloadLease> FDownloadLease;

    std::string FUpgradeAppListUrl;
    std::string FUpgradeAppListFilename;
    std::vector<TAppInfo> FAppList;
    std::int64_t FFileLenCurrentCount = 0;
    std::int64_t FFileLenCount = 0;
    double FAverageSpeed = 0;
    TDateTime FStartHTTPTime = 0;
};

} // namespace ot
