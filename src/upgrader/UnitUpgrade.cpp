#include "upgrader/UnitUpgrade.h"

#include "common/Clock.h"
#include "package/OtPackageSignature.h"
#include "package/OtUpgradeArchive.h"
#include "upgrader/BrenmoorCommon.h"
#include "upgrader/OtAppUseStatistics.h"
#include "upgrader/OtUpgradeHttp.h"
#include "upgrader/UnitProgress.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QStyledItemDelegate>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdio>
#include <filesystem>

namespace ot {

namespace fs = std::filesystem;

namespace {

constexpr std::int64_t kMaxUpgradeAppListBytes = 4 << 20;

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

// The four named text fields of a row ("ListBoxAppItemStyle") and its state tag.
enum TRowRole {
    kNameRole = Qt::UserRole,
    kStateRole,
    kVersionRole,
    kDateRole,
    kSizeRole,
    kStatusRole,
};

int FieldRole(const char* AField) {
    const std::string_view f = AField;
    if (f == "version")
        return kVersionRole;
    if (f == "upgradedate")
        return kDateRole;
    if (f == "size")
        return kSizeRole;
    return kStatusRole;
}

// Title on the first line; version, date and size on the second, status on the right.
class TListBoxAppItemStyle : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const override {
        return {option.rect.width(), option.fontMetrics.height() * 2 + 14};
    }

    void paint(QPainter* p, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyleOptionViewItem o = option;
        initStyleOption(&o, index);
        o.text.clear();
        o.widget->style()->drawControl(QStyle::CE_ItemViewItem, &o, p, o.widget);
        const bool selected = option.state & QStyle::State_Selected;
        const QPalette::ColorRole textRole = selected ? QPalette::HighlightedText : QPalette::Text;
        const QRect r = option.rect.adjusted(8, 5, -8, -5);
        const int line = option.fontMetrics.height();
        p->save();
        QFont bold = option.font;
        bold.setBold(true);
        p->setFont(bold);
        p->setPen(option.palette.color(textRole));
        p->drawText(QRect(r.left(), r.top(), r.width(), line), Qt::AlignLeft | Qt::AlignVCenter,
                    index.data(Qt::DisplayRole).toString());
        p->setFont(option.font);
        const QRect second(r.left(), r.top() + line + 4, r.width(), line);
        p->drawText(second, Qt::AlignRight | Qt::AlignVCenter, index.data(kStatusRole).toString());
        QColor dim = option.palette.color(textRole);
        if (!selected)
            dim.setAlpha(170);
        p->setPen(dim);
        p->drawText(second, Qt::AlignLeft | Qt::AlignVCenter,
                    index.data(kVersionRole).toString() + QStringLiteral("    ") +
                        index.data(kDateRole).toString() + QStringLiteral("    ") +
                        index.data(kSizeRole).toString());
        p->restore();
    }
};

void DefaultMessage(TUpgradeMessageKind AKind, const QString& AText, const QString& AOk,
                    const QString& ACaption) {
    QMessageBox box(AKind == TUpgradeMessageKind::Error ? QMessageBox::Critical
                                                        : QMessageBox::Question,
                    ACaption, AText, QMessageBox::Ok);
    box.setWindowFlag(Qt::WindowStaysOnTopHint);
    box.button(QMessageBox::Ok)->setText(AOk);
    box.exec();
}

} // namespace

TfrmUpgrade::TfrmUpgrade(TUpgradeStart AStart, QWidget* AParent)
    : QWidget(AParent, Qt::Window | Qt::WindowStaysOnTopHint | Qt::MSWindowsFixedSizeDialogHint),
      FStart(std::move(AStart)) {
    setObjectName(QStringLiteral("frmUpgrade"));
    FAppPath = FStart.AppPath;
    if (!FAppPath.empty() && FAppPath.back() != '/')
        FAppPath += '/';
    setFixedSize(481, 405);

    lblTip = new QLabel(this);
    lblTip->setObjectName(QStringLiteral("lblTip"));
    lblTip->setWordWrap(true);
    lstbxApps = new QListWidget(this);
    lstbxApps->setObjectName(QStringLiteral("lstbxApps"));
    lstbxApps->setItemDelegate(new TListBoxAppItemStyle(lstbxApps));
    lstbxApps->setSelectionMode(QAbstractItemView::SingleSelection);
    grpbxAppDetail = new QGroupBox(this);
    grpbxAppDetail->setObjectName(QStringLiteral("grpbxAppDetail"));
    lblAppDetail = new QLabel(grpbxAppDetail);
    lblAppDetail->setObjectName(QStringLiteral("lblAppDetail"));
    lblAppDetail->setWordWrap(true);
    lblAppDetail->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    auto* detailLayout = new QVBoxLayout(grpbxAppDetail);
    detailLayout->addWidget(lblAppDetail);
    btnUpgrade = new QPushButton(this);
    btnUpgrade->setObjectName(QStringLiteral("btnUpgrade"));
    btnClose = new QPushButton(this);
    btnClose->setObjectName(QStringLiteral("btnClose"));
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(btnUpgrade);
    buttons->addWidget(btnClose);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(lblTip);
    layout->addWidget(lstbxApps, 3);
    layout->addWidget(grpbxAppDetail, 2);
    layout->addLayout(buttons);
    Translate();

    connect(btnUpgrade, &QPushButton::clicked, this, &TfrmUpgrade::btnUpgradeClick);
    connect(btnClose, &QPushButton::clicked, this, &TfrmUpgrade::btnCloseClick);
    connect(lstbxApps, &QListWidget::currentRowChanged, this, &TfrmUpgrade::lstbxAppsChange);

    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    FProgress = std::make_unique<TfrmProgress>(FLangApp);
}

TfrmUpgrade::~TfrmUpgrade() = default;

void TfrmUpgrade::Translate() {
    setWindowTitle(LangTranslate("Brenmoor Upgrade Program"));
    lblTip->setText(LangTranslate("The following program discover new version, click on the "
                                  "\"upgrade\" button to start the upgrade."));
    grpbxAppDetail->setTitle(LangTranslate("Application Detail"));
    btnUpgrade->setText(LangTranslate("Upgrade"));
    btnClose->setText(LangTranslate("Close"));
    if (FProgress)
        FProgress->setWindowTitle(LangTranslate("Progress"));
}

QString TfrmUpgrade::LangTranslate(const std::string& AString) const {
    return Q(FLangApp.LangTranslate(AString));
}

bool TfrmUpgrade::FormCreate() {
    FHost = ReadCommonSetting(FAppPath, "SarnicHost", kDefaultSarnicHost);
    // The command line is read first: a silent check must know it is one
    // before anything can fail, since it never opens a window or a message.
    FArgs = ParseUpgradeArgs(FStart.Args);
    auto setLang = [this] {
        // An unknown code leaves English, and the common settings are not asked then.
        FLangApp.SetLang(FArgs.Lang ? *FArgs.Lang : ReadCommonSetting(FAppPath, "Lang", "en"));
        Translate();
    };

    // A package manager's files, or a directory the user cannot write: nothing
    // is fetched, sent or installed, and only a visible start says why.
    FInstallability = UpgradeInstallability(FAppPath);
    if (FInstallability != TUpgradeInstallability::Allowed) {
        btnUpgrade->setEnabled(false);
        if (FArgs.Silence) {
            LogSilent(FInstallability == TUpgradeInstallability::PackageManaged
                          ? "installed by the package manager, nothing to do"
                          : "the program directory " + FAppPath + " is not writable, nothing to do");
            return false;
        }
        setLang();
        lblTip->setText(
            LangTranslate("Updates of this installation come from the system's package manager."));
        return true;
    }

    std::error_code ec;
    fs::create_directories(AppTempPath(), ec);
    if (!fs::is_directory(AppTempPath(), ec)) {
        if (FArgs.Silence) {
            LogSilent("cannot create the directory " + AppTempPath());
            return false;
        }
        const QString text =
            QStringLiteral("Can not create the directory \"%1\"!").arg(Q(AppTempPath()));
        if (FStart.ShowMessage)
            FStart.ShowMessage(TUpgradeMessageKind::Error, text);
        else
            DefaultMessage(TUpgradeMessageKind::Error, text, LangTranslate("OK"), windowTitle());
        return false;
    }
    // What an install killed half-way left is completed or undone first.
    RecoverInterruptedUpgrade(FAppPath);
    FDownloadLease = std::make_unique<TDownloadLease>(AppTempPath());
    if (FArgs.Silence && FArgs.AppName != kAllApps)
        DoAppUseStatistics();
    setLang();

    const std::string lang = FLangApp.Lang();
    FUpgradeAppListUrl = ot::UpgradeAppListUrl(FHost, lang);
    FUpgradeAppListFilename = AppTempPath() + UpgradeAppListFileName(lang);
    fs::remove(FUpgradeAppListFilename, ec);
    if (DownloadFile(FUpgradeAppListUrl, FUpgradeAppListFilename, kMaxUpgradeAppListBytes)) {
        LoadUpgradeAppList(FUpgradeAppListFilename);
        if (FAppList.empty() && FArgs.Silence) {
            FormClose();
            return false;
        }
    } else {
        btnUpgrade->setEnabled(false);
        // A periodic check on a machine without network must not open a window.
        if (FArgs.Silence) {
            LogSilent("the update list could not be fetched from " + FUpgradeAppListUrl);
            return false;
        }
    }
    return true;
}

void TfrmUpgrade::LogSilent(const std::string& AText) {
    std::fprintf(stderr, "otUpgrade: %s\n", AText.c_str());
}

bool TfrmUpgrade::DoAppUseStatistics() {
    TAppUseStatistics sender(FHost, GatherAppPostInfo(FAppPath, FArgs.AppName, FArgs.AuthType));
    return sender.Submit();
}

bool TfrmUpgrade::DownloadFile(const std::string& AUrl, const std::string& AFilename,
                               std::int64_t AMaxBytes) {
    TDownloadEvents events;
    events.WorkBegin = [this](std::int64_t size) { IdHTTPDownloadWorkBegin(size); };
    events.Work = [this](std::int64_t count) {
        IdHTTPDownloadWork(count);
        return true;
    };
    events.WorkEnd = [this] { IdHTTPDownloadWorkEnd(); };
    // The windows keep repainting while a download waits.
    events.Idle = [] { QCoreApplication::processEvents(); };
    THttpTimeouts limits;
    limits.MaxBytes = AMaxBytes;
    return HttpDownloadFile(AUrl, AFilename, events, limits);
}

void TfrmUpgrade::LoadUpgradeAppList(const std::string& AFilename) {
    std::error_code ec;
    if (!fs::exists(AFilename, ec))
        return;
    FAppList = LoadOfferedApps(AFilename, FArgs.AppName, FAppPath);
    lstbxApps->clear();
    for (const TAppInfo& app : FAppList) {
        auto* item = new QListWidgetItem(Q(app.fTitle), lstbxApps);
        item->setData(kNameRole, Q(app.fName));
        item->setData(kStateRole, 0);
        item->setData(kVersionRole, Q(app.fVersion));
        item->setData(kDateRole, Q(app.fUpgradeDate));
        item->setData(kSizeRole, Q(FormatPackageSize(app.fSize)));
        item->setData(kStatusRole, LangTranslate("Ready"));
    }
    if (FAppList.empty()) {
        lblTip->setText(LangTranslate("Not found a new version program!"));
    } else {
        lblTip->setText(LangTranslate("The following program discover new version, click on the "
                                      "\"upgrade\" button to start the upgrade."));
        lstbxApps->setCurrentRow(0);
    }
    btnUpgrade->setEnabled(!FAppList.empty());
}

void TfrmUpgrade::lstbxAppsChange() {
    const int row = lstbxApps->currentRow();
    if (row < 0 || row >= static_cast<int>(FAppList.size())) {
        lblAppDetail->clear();
        return;
    }
    lblAppDetail->setText(Q(FAppList[static_cast<std::size_t>(row)].fUpgradeDetail)
                              .replace(QStringLiteral("||"), QStringLiteral("\r\n")));
}

int TfrmUpgrade::RowState(int ARow) const {
    const QListWidgetItem* item = lstbxApps->item(ARow);
    return item ? item->data(kStateRole).toInt() : -1;
}

QString TfrmUpgrade::RowText(int ARow, const char* AField) const {
    const QListWidgetItem* item = lstbxApps->item(ARow);
    return item ? item->data(FieldRole(AField)).toString() : QString();
}

void TfrmUpgrade::SetRow(int ARow, const char* AField, const QString& AText) {
    if (QListWidgetItem* item = lstbxApps->item(ARow))
        item->setData(FieldRole(AField), AText);
}

void TfrmUpgrade::SetRowStatus(int ARow, const char* AStatus) {
    SetRow(ARow, "status", LangTranslate(AStatus));
}

void TfrmUpgrade::SetRowState(int ARow, int AState) {
    if (QListWidgetItem* item = lstbxApps->item(ARow))
        item->setData(kStateRole, AState);
}

void TfrmUpgrade::Repaint() {
    QCoreApplication::processEvents();
}

void TfrmUpgrade::btnUpgradeClick() {
    if (FBusy || FInstallability != TUpgradeInstallability::Allowed)
        return;
    FBusy = true;
    btnUpgrade->setEnabled(false);
    btnClose->setEnabled(false);
    bool allWell = true;
    const int count = static_cast<int>(FAppList.size());
    std::vector<bool> toInstall(FAppList.size(), false);
    // The list starts with two blanks, also when it stays without a title.
    QString appsToClose = QStringLiteral("  ");
    bool firstToClose = true;
    auto addToClose = [&](const TAppInfo& app) {
        if (app.fName == "otUpgrade")
            return;
        appsToClose += (firstToClose ? QString() : QStringLiteral(", ")) + Q(app.fTitle);
        firstToClose = false;
    };
    auto package = [&](const TAppInfo& app) { return AppTempPath() + app.fName + ".zip"; };

    // Download pass.
    FProgress->Reset();
    FProgress->SetTotalTaskCount(count);
    FProgress->show();
    for (int i = 0; i < count; ++i) {
        const TAppInfo& app = FAppList[static_cast<std::size_t>(i)];
        if (app.fUrl.empty()) {
            SetRowStatus(i, "Parameter Error");
            allWell = false;
        } else if (RowState(i) == 0) {
            std::error_code ec;
            fs::remove(package(app), ec);
            SetRowStatus(i, "Downloading");
            FProgress->SetTipStr(
                LangTranslate("Downloading \"%s\"").replace(QStringLiteral("%s"), Q(app.fTitle)));
            // A package is never longer than its list entry says.
            if (DownloadFile(app.fUrl, package(app), app.fSize)) {
                SetRowStatus(i, "Download Finished");
                SetRowState(i, 1);
                toInstall[static_cast<std::size_t>(i)] = true;
                addToClose(app);
            } else {
                SetRowStatus(i, "Download Failed");
                allWell = false;
            }
        } else if (RowState(i) == 1) {
            // Its installation failed before: installed again from the kept package.
            toInstall[static_cast<std::size_t>(i)] = true;
            addToClose(app);
        }
        FProgress->SetTaskIndex(i + 1);
        FProgress->SetTotalProgress((i + 1) * 100 / count);
    }
    FProgress->hide();

    if (std::find(toInstall.begin(), toInstall.end(), true) != toInstall.end()) {
        const QString warning =
            LangTranslate(
                "Please ensure that the following application(s) did not run in the background.") +
            QStringLiteral("\r\n") + appsToClose + QStringLiteral("\r\n") +
            LangTranslate("If upgrade failed, please close the application(s) and click the "
                          "\"update\" button again.");
        for (int shown = 0; shown < 2; ++shown) {
            if (FStart.ShowMessage)
                FStart.ShowMessage(TUpgradeMessageKind::Confirmation, warning);
            else
                DefaultMessage(TUpgradeMessageKind::Confirmation, warning, LangTranslate("OK"),
                               windowTitle());
        }

        // Install pass.
        FProgress->Reset();
        FProgress->show();
        for (int i = 0; i < count; ++i) {
            const TAppInfo& app = FAppList[static_cast<std::size_t>(i)];
            if (toInstall[static_cast<std::size_t>(i)] && RowState(i) == 1) {
                FProgress->SetATaskProgress(0);
                const TPackageSeal seal{app.fName, app.fVersion, app.fSize, app.fSha256,
                                        app.fSignature};
                if (!PackageMatchesSeal(package(app), seal, FStart.PublicKey) ||
                    !IsSafeUpgradeArchive(package(app))) {
                    // Kept for inspection; the next click downloads it again.
                    SetRowStatus(i, "Upgrade package damage");
                    SetRowState(i, 0);
                    allWell = false;
                } else {
                    SetRowStatus(i, "Upgrading");
                    FProgress->SetTipStr(LangTranslate("Upgrading \"%s\", please wait...")
                                             .replace(QStringLiteral("%s"), Q(app.fTitle)));
                    Repaint();
                    bool ok = true;
                    if (app.fName != "otUpgrade") {
                        const TPackageInstall result = InstallUpgradeArchive(
                            package(app), FAppPath,
                            {GetAppVerFile(FAppPath, app.fName), app.fVersion});
                        ok = result == TPackageInstall::Installed;
                        if (ok) {
                            std::error_code ec;
                            fs::remove(package(app), ec);
                        }
                    }
                    if (ok) {
                        SetRowStatus(i, "Upgrade successfully");
                        SetRowState(i, 2);
                        const std::string verFile = GetAppVerFile(FAppPath, app.fName);
                        ok = verFile.empty() || WriteVerFile(verFile, app.fVersion);
                    }
                    if (!ok) {
                        SetRowStatus(i, "Upgrade Failed");
                        allWell = false;
                    }
                }
                FProgress->SetATaskProgress(100);
            }
            FProgress->SetTaskIndex(i + 1);
            FProgress->SetTotalProgress((i + 1) * 100 / count);
            Repaint();
        }
        FProgress->hide();
    }
    btnClose->setEnabled(true);
    btnUpgrade->setEnabled(!allWell);
    FBusy = false;
}

void TfrmUpgrade::btnCloseClick() {
    close();
}

void TfrmUpgrade::closeEvent(QCloseEvent* AEvent) {
    // A pass in progress holds this window's state; it ends on its own.
    if (FBusy) {
        AEvent->ignore();
        return;
    }
    FormClose();
    FProgress->hide();
    AEvent->accept();
}

void TfrmUpgrade::FormClose() {
    std::error_code ec;
    if (!FUpgradeAppListFilename.empty())
        fs::remove(FUpgradeAppListFilename, ec);
}

void TfrmUpgrade::IdHTTPDownloadWorkBegin(std::int64_t AWorkCountMax) {
    FStartHTTPTime = Now();
    FFileLenCurrentCount = 0;
    FFileLenCount = AWorkCountMax;
    FAverageSpeed = 0;
    FProgress->SetATaskProgress(0);
    FProgress->SetTipStr(FFileLenCount, 0, 0);
}

void TfrmUpgrade::IdHTTPDownloadWork(std::int64_t AWorkCount) {
    FFileLenCurrentCount = AWorkCount;
    // The time of day of the difference, its whole seconds counted in 16 bits.
    const DateTimeParts t = DecodeDateTime(Now() - FStartHTTPTime);
    const double elapsed = static_cast<std::uint16_t>(t.Hour * 3600 + t.Minute * 60 + t.Second) +
                           t.MilliSecond / 1000.0;
    if (elapsed > 0)
        FAverageSpeed = (double(AWorkCount) / 1024 / elapsed + FAverageSpeed) / 2;
    if (FFileLenCount > 0)
        FProgress->SetATaskProgress(static_cast<int>(AWorkCount * 100 / FFileLenCount));
    FProgress->SetTipStr(FFileLenCount, AWorkCount, FAverageSpeed);
    Repaint();
}

void TfrmUpgrade::IdHTTPDownloadWorkEnd() {
    FFileLenCurrentCount = 0;
    FFileLenCount = 0;
    FAverageSpeed = 0;
    FProgress->SetATaskProgress(100);
}

} // namespace ot
