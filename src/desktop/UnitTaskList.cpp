#include "desktop/UnitTaskList.h"

#include "desktop/UnitFind.h"
#include "desktop/UnitTrash.h"

#include "app/AppContext.h"
#include "common/DateTime.h"
#include "common/FileUtil.h"
#include "desktop/OtAppCore.h"
#include "desktop/OtDialogControls.h"
#include "desktop/OtLang.h"
#include "desktop/OtMessageDialog.h"
#include "desktop/OtTaskAlertModel.h"
#include "desktop/OtTaskGUIUtility.h"
#include "desktop/UnitAddEditTaskItem.h"
#include "desktop/UnitAppLog.h"
#include "desktop/UnitManageTaskClass.h"
#include "desktop/UnitSetting.h"
#include "desktop/UnitTaskAlert.h"
#include "package/OtUpgradeArchive.h"
#include "platform/OtPlatform.h"
#include "platform/OtVersionInfo.h"
#include "repository/OtTaskExchange.h"
#include "repository/OtTaskUndo.h"
#include "sync/OtKuaipanSyncUtility.h"
#include "tasks/OtTaskUtility.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QProgressBar>
#include <QScreen>
#include <QScrollArea>
#include <QShortcut>
#include <QStyle>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace ot {

namespace {
TDesktopContext* gContext = nullptr;

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

QToolButton* MakeToolButton(QWidget* parent, const char* name, QStyle::StandardPixmap icon, int w,
                            int h) {
    auto* b = new QToolButton(parent);
    b->setObjectName(QLatin1String(name));
    b->setAutoRaise(true);
    b->setIcon(parent->style()->standardIcon(icon));
    b->setFixedSize(w, h);
    return b;
}

QSize PrimaryScreenSize() {
    QScreen* screen = QGuiApplication::primaryScreen();
    return screen ? screen->size() : QSize(1024, 768);
}

struct TToolMenuEntry {
    const char* Name;
    const char* Key;
    int Tag;
};
constexpr TToolMenuEntry kToolMenu[] = {
    {"pmiSetting", "Setting", 1}, {"pmiTrash", "Recently Deleted", 6},
    {"pmiImport", "Import…", 7},  {"pmiExport", "Export…", 8},
    {"pmiBkl1", "-", 2},          {"pmiCheckUpdate", "Check Update", 3},
    {"pmiBlk2", "-", 4},          {"pmiAbout", "About", 5},
};

// A translated message with its "%d" and "%s" filled in, in order.
QString FilledIn(const QString& AKey, const QStringList& AValues) {
    QString text = LangTranslate(AKey);
    qsizetype at = 0;
    for (const QString& v : AValues) {
        const qsizetype d = text.indexOf(QLatin1String("%d"), at);
        const qsizetype s = text.indexOf(QLatin1String("%s"), at);
        const qsizetype k = d < 0 ? s : (s < 0 ? d : std::min(d, s));
        if (k < 0)
            break;
        text.replace(k, 2, v);
        at = k + v.size();
    }
    return text;
}
// The tray menu; the first entry reads "Show" or "Hide" as the window is.
constexpr TToolMenuEntry kTrayMenu[] = {
    {"pmiTrayShowHide", "Show", 1},
    {"pmiTrayNewTask", "New Task", 2},
    {"pmiTraySync", "Synchronize Now", 3},
    {"pmiTrayBlk1", "-", 4},
    {"pmiTrayQuit", "Quit", 5},
};

// A menu whose entries keep their untranslated text as their key
// (TagString), named and tagged as the table says.
template <std::size_t N>
QMenu* NewKeyedMenu(QWidget* AParent, const char* AName, const TToolMenuEntry (&AEntries)[N]) {
    auto* menu = new QMenu(AParent);
    menu->setObjectName(QLatin1String(AName));
    for (const TToolMenuEntry& e : AEntries) {
        QAction* a = menu->addAction(QString());
        a->setObjectName(QLatin1String(e.Name));
        a->setData(e.Tag);
        // Keys are UTF-8 ("Import…").
        a->setProperty("TagString", QString::fromUtf8(e.Key));
        if (std::string_view(e.Key) == "-")
            a->setSeparator(true);
        else
            a->setText(LangTranslate(QString::fromUtf8(e.Key)));
    }
    return menu;
}
} // namespace

TDesktopContext& DesktopContext() {
    static TDesktopContext none;
    return gContext ? *gContext : none;
}

TfrmTaskList::TfrmTaskList(TOtPlatform& APlatform, const std::string& AProgramDir,
                           TSyncFlags& AFlags)
    : TfrmTaskList(APlatform, TAppPaths::FromProgramDir(AProgramDir), AFlags) {}

TfrmTaskList::TfrmTaskList(TOtPlatform& APlatform, const TAppPaths& APaths, TSyncFlags& AFlags)
    : FPlatform(APlatform), FFlags(AFlags), FAppCore(std::make_unique<TOtAppCore>(APaths)) {
    gContext = &FContext;
    FContext.TaskClassList = &FTaskClassList;
    BuildControls();
    FAppLog = std::make_unique<TfrmAppLog>();
    connect(&FPlatform, &TOtPlatform::trayIconDoubleClicked, this, &TfrmTaskList::ToggleMainForm);
    connect(&FPlatform, &TOtPlatform::hotKeyPressed, this, &TfrmTaskList::ToggleMainForm);
    // Said once: the user learns why Alt+X does nothing, without a line at
    // every attempt.
    connect(&FPlatform, &TOtPlatform::hotKeyUnavailable, this, [this](const QString& reason) {
        if (FHotKeyFailureLogged)
            return;
        FHotKeyFailureLogged = true;
        FAppLog->AddLog(QStringLiteral("The show/hide shortcut Alt+X could not be registered: ") +
                        reason + QLatin1Char('.'));
    });
    QuitApplication = [] { QCoreApplication::quit(); };
    ShowSettingDialog = [this] { return ExecSettingDialog(*this); };
    ShowManageTaskClass = [this] { ExecManageTaskClass(*this); };
}

TfrmTaskList::~TfrmTaskList() {
    FormDestroy();
    if (gContext == &FContext)
        gContext = nullptr;
}

void TfrmTaskList::BuildControls() {
    setObjectName(QStringLiteral("frmTaskList"));
    resize(320, 480);
    auto* root = new QVBoxLayout(this);
    root->setContentsMargins(0, 0, 0, 0);
    root->setSpacing(0);

    lytTools = new QWidget(this);
    lytTools->setObjectName(QStringLiteral("lytTools"));
    lytTools->setFixedHeight(40);
    lytTools->installEventFilter(this);
    edtTask = new QLineEdit(lytTools);
    edtTask->setObjectName(QStringLiteral("edtTask"));
    edtTask->setGeometry(8, 8, 249, 22);
    edtTask->setTextMargins(0, 0, 22, 0);
    edtTask->installEventFilter(this);
    btnAddTask = MakeToolButton(lytTools, "btnAddTask", QStyle::SP_FileDialogNewFolder, 20, 20);
    btnAddTask->setText(QStringLiteral("+"));
    btnAddTask->setToolButtonStyle(Qt::ToolButtonTextOnly);
    btnAddTask->move(235, 9);
    btnManageTaskClass =
        MakeToolButton(lytTools, "btnManageTaskClass", QStyle::SP_FileDialogListView, 22, 22);
    btnManageTaskClass->move(264, 8);
    btnMenu = MakeToolButton(lytTools, "btnMenu", QStyle::SP_TitleBarMenuButton, 22, 22);
    // The style's menu icon is the toolkit's logo on some desktops: a glyph.
    btnMenu->setIcon(QIcon());
    btnMenu->setText(QStringLiteral("\u2261"));
    btnMenu->setToolButtonStyle(Qt::ToolButtonTextOnly);
    btnMenu->move(288, 8);
    root->addWidget(lytTools);

    lytTasks = new QWidget(this);
    lytTasks->setObjectName(QStringLiteral("lytTasks"));
    lytTasks->installEventFilter(this);
    auto* tasksBox = new QVBoxLayout(lytTasks);
    tasksBox->setContentsMargins(0, 0, 0, 0);
    sbTasks = new QScrollArea(lytTasks);
    sbTasks->setObjectName(QStringLiteral("sbTasks"));
    sbTasks->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    sbTasks->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    sbTasks->setFrameShape(QFrame::NoFrame);
    sbTasks->viewport()->installEventFilter(this);
    pnlFind = new TOtFindPanel(lytTasks);
    pnlFind->OnChanged = [this] { FindPanelChanged(); };
    pnlFind->OnChosen = [this](const TOtTaskItemPtr& item) { ShowTask(item); };
    tasksBox->setSpacing(0);
    tasksBox->addWidget(pnlFind);
    tasksBox->addWidget(sbTasks, 1);
    btnMoveLeft = MakeToolButton(lytTasks, "btnMoveLeft", QStyle::SP_ArrowLeft, 24, 22);
    btnMoveRight = MakeToolButton(lytTasks, "btnMoveRight", QStyle::SP_ArrowRight, 24, 22);
    btnMoveLeft->move(0, 0);
    root->addWidget(lytTasks, 1);

    lytStatus = new QWidget(this);
    lytStatus->setObjectName(QStringLiteral("lytStatus"));
    lytStatus->setFixedHeight(20);
    auto* status = new QHBoxLayout(lytStatus);
    status->setContentsMargins(5, 1, 5, 1);
    AniIndicatorSync = new TOtActivityIndicator(lytStatus);
    AniIndicatorSync->setObjectName(QStringLiteral("AniIndicatorSync"));
    AniIndicatorSync->setRange(0, 0);
    AniIndicatorSync->setTextVisible(false);
    AniIndicatorSync->setFixedSize(18, 18);
    AniIndicatorSync->setVisible(false);
    // The time at the end of a long status stays in view.
    lblStatus = new TOtElidedLabel(Qt::ElideMiddle, lytStatus);
    lblStatus->setObjectName(QStringLiteral("lblStatus"));
    lblStatus->installEventFilter(this);
    btnManualSync = MakeToolButton(lytStatus, "btnManualSync", QStyle::SP_BrowserReload, 18, 18);
    btnManualSync->setEnabled(false);
    status->addWidget(AniIndicatorSync);
    status->addWidget(lblStatus, 1);
    status->addWidget(btnManualSync);
    root->addWidget(lytStatus);

    tmrSync = new QTimer(this);
    tmrSync->setObjectName(QStringLiteral("tmrSync"));
    tmrSync->setInterval(5000);
    tmrAlert = new QTimer(this);
    tmrAlert->setObjectName(QStringLiteral("tmrAlert"));
    tmrAlert->setInterval(10000);
    tmrUpgrade = new QTimer(this);
    tmrUpgrade->setObjectName(QStringLiteral("tmrUpgrade"));
    tmrUpgrade->setInterval(30000);
    for (QTimer* t : {tmrSync, tmrAlert, tmrUpgrade})
        t->setProperty("Tag", 0);

    connect(btnAddTask, &QToolButton::clicked, this, &TfrmTaskList::btnAddTaskClick);
    connect(btnManageTaskClass, &QToolButton::clicked, this,
            &TfrmTaskList::btnManageTaskClassClick);
    connect(btnMenu, &QToolButton::clicked, this, &TfrmTaskList::btnMenuClick);
    connect(btnMoveLeft, &QToolButton::clicked, this, &TfrmTaskList::btnMoveLeftClick);
    connect(btnMoveRight, &QToolButton::clicked, this, &TfrmTaskList::btnMoveRightClick);
    connect(btnManualSync, &QToolButton::clicked, this, &TfrmTaskList::btnManualSyncClick);
    connect(tmrSync, &QTimer::timeout, this, &TfrmTaskList::tmrSyncTimer);
    connect(tmrAlert, &QTimer::timeout, this, &TfrmTaskList::tmrAlertTimer);
    connect(tmrUpgrade, &QTimer::timeout, this, &TfrmTaskList::tmrUpgradeTimer);
}

QString TfrmTaskList::LangTranslate(const QString& AString) const {
    return ot::LangTranslate(AString);
}

// ---- start-up ------------------------------------------------------------------------

bool TfrmTaskList::FormCreate() {
    // The designed size, unless the screen is smaller (at a scale factor of
    // 2 a 480-pixel window does not fit 800 pixels): the status strip must
    // stay reachable.
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QSize area = screen->availableGeometry().size();
        const QSize frame = frameGeometry().size() - geometry().size();
        resize(size().boundedTo(area - frame));
    }
    MinFormWidth = width();
    MinFormHeight = height();
    setMinimumSize(MinFormWidth, MinFormHeight);

    TOtSettingFile& settings = FAppCore->SettingFile();
    int left = settings.ReadInt("MainFormPosX", x());
    int top = settings.ReadInt("MainFormPosY", y());
    const QSize screen = PrimaryScreenSize();
    if (left < 0 || left > screen.width())
        left = 100;
    if (top < 0 || top > screen.height())
        top = 60;
    move(left, top);

    ReadAppSettings();
    setWindowTitle(LangTranslate(QLatin1String(AppShortName)));

    if (!FAppCore->DatabaseExists()) {
        QMessageBox box(
            QMessageBox::Critical, QString(),
            LangTranslate(QStringLiteral("The database file \"%s\" is missing, the program "
                                         "will be terminated!"))
                .replace(QLatin1String("%s"), Q(FAppCore->Paths().DBFileName)),
            QMessageBox::Ok);
        box.setObjectName(QStringLiteral("MessageDialog"));
        box.adjustSize();
        box.move((screen.width() - box.width()) / 2, (screen.height() - box.height()) / 2);
        ExecModal(box);
        return false;
    }

    FAppCore->LoadTaskClassList(FTaskClassList);
    if (FTaskClassList.empty() &&
        !FAppCore->Operations().AddTaskClass(
            FTaskClassList, LangTranslate(QStringLiteral("Default List")).toStdString())) {
        ShowMessageDialog(QStringLiteral("Create default task list failed! The application "
                                         "will be terminated."),
                          mtError, QMessageBox::Ok);
        return false;
    }
    // The window cannot repaint while an operation waits for the tree lock;
    // the status strip is painted at once instead.
    FAppCore->SetTreeWaitNotice([this] {
        SetStatusText(
            LangTranslate(QStringLiteral("Waiting for another program to finish changing the "
                                         "task lists ...")));
        lblStatus->repaint();
    });

    FTaskClassGUI =
        std::make_unique<TOtTaskClassGUI>(sbTasks, FTaskClassList, FAppCore->Operations());
    FContext.TaskClassGUI = FTaskClassGUI.get();
    FTaskClassGUI->OnSetMoveButtons = [this] { SetMoveButtons(); };
    FTaskClassGUI->OnLoadTaskList = [this] { LoadTaskList(); };
    FTaskClassGUI->PageMouseFilter = this;
    FTaskClassGUI->Load();
    const int index = FContext.Settings.DefaultTaskClassIndex;
    if (index >= 0 && index < FTaskClassGUI->TaskClassCount())
        FTaskClassGUI->SetTaskClassIndex(index);
    SetMoveButtons();
    LoadTaskList();
    CreatePopupMenu();
    auto* find = new QShortcut(QKeySequence::Find, this);
    connect(find, &QShortcut::activated, this, &TfrmTaskList::DoFind);
    FUndo = std::make_unique<TOtTaskUndo>(FAppCore->Operations());
    FContext.Undo = FUndo.get();
    auto* undo = new QShortcut(QKeySequence::Undo, this);
    connect(undo, &QShortcut::activated, this, &TfrmTaskList::DoUndo);

    // Both threads are created suspended; the timers start them.
    FTaskAlertThread = NewTaskAlertThread(*this);
    FLocalTaskTree = std::make_unique<TOtQtLocalTaskTree>(FTaskClassList, FAppCore->Repository(),
                                                          *FTaskClassGUI);
    FSyncObserver = std::make_shared<TQtSyncObserver>(*this);
    FAppCore->CreateSyncObjects(*FLocalTaskTree, FSyncObserver, FFlags);

    const bool token = FAppCore->HasAccessToken();
    if (FContext.Settings.IsOpenKuaipanSync) {
        if (token)
            tmrSync->start();
        btnManualSync->setEnabled(tmrSync->isActive());
    } else {
        btnManualSync->setEnabled(token);
    }

    CreateTrayMenu();
    CreateTrayIcon();
    FPlatform.RegisterHotKey();

    FinishUpgrade();
    tmrUpgrade->start();
    tmrAlert->start();
    FRemarksReader = new QTimer(this);
    FRemarksReader->setInterval(0);
    connect(FRemarksReader, &QTimer::timeout, this, &TfrmTaskList::ReadRemainingRemarks);
    QTimer::singleShot(300, FRemarksReader, qOverload<>(&QTimer::start));
    FCreated = true;
    return true;
}

void TfrmTaskList::ReadRemainingRemarks() {
    // The lists may change between two slices: the place is only a hint,
    // and an item passed over reads its remarks when they are asked for.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(8);
    while (FRemarksClass < FTaskClassList.size()) {
        const TOtTaskClassPtr cls = FTaskClassList[FRemarksClass];
        if (!cls) {
            ++FRemarksClass;
            continue;
        }
        const TOtTaskItemList& items = cls->TaskList();
        for (; FRemarksItem < items.size(); ++FRemarksItem) {
            if (items[FRemarksItem] && !items[FRemarksItem]->RemarksRead())
                items[FRemarksItem]->Remarks();
            if ((FRemarksItem & 63) == 63 && std::chrono::steady_clock::now() >= until) {
                ++FRemarksItem;
                return;
            }
        }
        ++FRemarksClass;
        FRemarksItem = 0;
    }
    FRemarksReader->stop();
}

void TfrmTaskList::CreateDialogs() {
    if (FContext.frmAddEditTaskItem)
        return;
    // Top-level dialogs owned by the main window's object tree.
    FContext.frmAddEditTaskItem = new TfrmAddEditTaskItem(this);
    FContext.frmAddEditTaskItem->setWindowFlag(Qt::Window);
    FContext.frmSetDate = new TfrmSetDate(this);
    FContext.frmSetDate->setWindowFlag(Qt::Window);
    FContext.frmSetTime = new TfrmSetTime(this);
    FContext.frmSetTime->setWindowFlag(Qt::Window);
}

void TfrmTaskList::ApplyStyleFile(const QString& AFileName) {
    QFile f(AFileName);
    if (AFileName.isEmpty())
        qApp->setStyleSheet(QString());
    else if (f.open(QIODevice::ReadOnly))
        qApp->setStyleSheet(QString::fromUtf8(f.readAll()));
    FCurrentStyleFile = AFileName;
    // The named looks follow the sheet in use, also while it is only a
    // preview: a sheet has rules for its own variant only.
    FContext.Settings.StyleVariant = StyleVariantOf(QFileInfo(AFileName).fileName().toStdString(),
                                                    FContext.Settings.StyleVariant);
}

void TfrmTaskList::ReadAppSettings() {
    TAppSettings& s = FContext.Settings;
    ReadAppSettingValues(FAppCore->SettingFile(), FAppCore->Paths(), s);
    // Until the user chose a language, the system's is used.
    static constexpr const char* kUnset = "\x01";
    if (FAppCore->SettingFile().ReadString(SettingKeys::Lang, kUnset) == kUnset)
        s.Lang = LangForLocale(
            MessagesLocale(std::getenv("LC_ALL"), std::getenv("LC_MESSAGES"), std::getenv("LANG")));
    if (LangApp().Lang() != Q(s.Lang))
        LangApp().SetLang(Q(s.Lang));
    if (!s.AppStyle.empty())
        ApplyStyleFile(Q(s.AppStyle));
    FAppCore->ApplySyncSettings(s);
}

// ---- closing -------------------------------------------------------------------------

bool TfrmTaskList::FormCloseQuery() {
    if (!FFlags.IsSyncRunning)
        return true;
    return ShowMessageDialogEx(
               QStringLiteral("Data synchronization is running in the background! If you want "
                              "to quit the program, synchronization will be terminated. "
                              "Continue?"),
               mtConfirmation, QMessageBox::Yes | QMessageBox::No,
               QMessageBox::No) == QMessageBox::Yes;
}

void TfrmTaskList::closeEvent(QCloseEvent* event) {
    if (!FormCloseQuery()) {
        event->ignore();
        return;
    }
    FormClose();
    event->accept();
    // The log window and the dialogs go with the main window.
    if (FAppLog)
        FAppLog->hide();
}

void TfrmTaskList::FormClose() {
    if (!FCreated)
        return;
    TOtSettingFile& settings = FAppCore->SettingFile();
    settings.WriteInt("MainFormPosX", x());
    settings.WriteInt("MainFormPosY", y());
    TKuaipanSyncUtility* engine = FAppCore->KuaipanSyncUtility();
    settings.WriteString("LastDateTimeSyncSuccess",
                         DateTimeToRegionalStr(engine ? engine->LastDateTimeSyncSuccess() : 0));
    settings.WriteInt("DefaultTaskClassIndex", FTaskClassGUI ? FTaskClassGUI->TaskClassIndex() : 0);
    FPlatform.RemoveTrayIcon();
}

void TfrmTaskList::FormDestroy() {
    if (FDestroyed)
        return;
    FDestroyed = true;
    for (QTimer* t : {tmrSync, tmrAlert, tmrUpgrade})
        t->stop();
    // Nothing a worker thread uses is freed before it has ended; while it
    // finishes, its calls into this thread are still answered.
    const auto whileWaiting = [] {
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    };
    if (FTaskAlertThread) {
        FTaskAlertThread->Terminate();
        FTaskAlertThread->WaitFor(whileWaiting);
    }
    FAppCore->FreeSyncObjects(whileWaiting);
    FTaskAlertThread.reset();
    FSyncObserver.reset();
    FLocalTaskTree.reset();
    FContext.TaskClassGUI = nullptr;
    FContext.Undo = nullptr;
    FUndo.reset();
    FTaskClassGUI.reset();
    FTaskClassList.clear();
    DestoryPopupMenu();
    FPlatform.UnregisterHotKey();
    FPlatform.RemoveTrayIcon();
}

// ---- pages -------------------------------------------------------------------------------

void TfrmTaskList::LoadTaskList() {
    TOtTaskListItem* page = FTaskClassGUI ? FTaskClassGUI->CurrentTaskListItem() : nullptr;
    if (page && (page->TaskCount() == 0 || page->Tag() == 1))
        page->LoadTaskList(TaskSortField, TaskSortOrder);
}

void TfrmTaskList::SetMoveButtons() {
    const int i = FTaskClassGUI ? FTaskClassGUI->TaskClassIndex() : 0;
    const int n = FTaskClassGUI ? FTaskClassGUI->TaskClassCount() : 0;
    // While results of "Find" stand in the pages' place, there is no page to move to.
    const bool pages = !pnlFind->ResultsShown();
    btnMoveLeft->setVisible(pages && i > 0 && i < n);
    btnMoveRight->setVisible(pages && i >= 0 && i < n - 1);
    btnMoveLeft->raise();
    btnMoveRight->raise();
}

void TfrmTaskList::btnMoveLeftClick() {
    FTaskClassGUI->SetTaskClassIndex(FTaskClassGUI->TaskClassIndex() - 1);
    SetMoveButtons();
    LoadTaskList();
}

void TfrmTaskList::btnMoveRightClick() {
    FTaskClassGUI->SetTaskClassIndex(FTaskClassGUI->TaskClassIndex() + 1);
    SetMoveButtons();
    LoadTaskList();
}

void TfrmTaskList::sbTasksMouseDown(const QPointF& APos) {
    FStartPt = APos;
}

void TfrmTaskList::sbTasksMouseUp(const QPointF& APos) {
    FStopPt = APos;
    if (!FTaskClassGUI)
        return;
    const double d = FStopPt.x() - FStartPt.x();
    const double w = sbTasks->width();
    const double distance = std::abs(d);
    if (distance > w / 3 && distance <= 6 * w / 7) {
        const int target = FTaskClassGUI->TaskClassIndex() + (d > 0 ? -1 : 1);
        if (target < 0 || target >= static_cast<int>(FTaskClassList.size()))
            return;
        FTaskClassGUI->SetTaskClassIndex(target);
        SetMoveButtons();
        LoadTaskList();
    } else {
        // Not a swipe: scroll back to the current page.
        FTaskClassGUI->SetTaskClassIndex(FTaskClassGUI->TaskClassIndex());
    }
}

void TfrmTaskList::lytToolsResize() {
    // As designed at 320 wide; a wider window gives the room to the entry box.
    const int w = std::max(lytTools->width(), 320);
    edtTask->setGeometry(8, 8, w - 71, 22);
    btnAddTask->move(edtTask->geometry().right() + 1 - 22, 9);
    btnManageTaskClass->move(w - 56, 8);
    btnMenu->move(w - 32, 8);
}

void TfrmTaskList::lytTasksResize() {
    // The arrows sit at the top of the pages, below the find field when it shows.
    const int top = pnlFind->isVisible() ? pnlFind->height() : 0;
    btnMoveLeft->move(0, top);
    btnMoveRight->move(lytTasks->width() - btnMoveRight->width(), top);
}

void TfrmTaskList::FindPanelChanged() {
    sbTasks->setVisible(!pnlFind->ResultsShown());
    lytTasks->layout()->activate();
    lytTasksResize();
    SetMoveButtons();
}

bool TfrmTaskList::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::ShortcutOverride:
        // The entry box undoes its own typing; empty, Ctrl+Z is the window's.
        if (watched == edtTask && static_cast<QKeyEvent*>(event)->matches(QKeySequence::Undo) &&
            edtTask->text().isEmpty())
            return true;
        break;
    case QEvent::KeyPress:
        if (watched == edtTask) {
            auto* key = static_cast<QKeyEvent*>(event);
            if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
                edtTaskKeyDown(13, key->modifiers());
                return true;
            }
        }
        break;
    case QEvent::Resize:
        if (watched == lytTasks)
            lytTasksResize();
        else if (watched == lytTools)
            lytToolsResize();
        break;
    case QEvent::MouseButtonDblClick:
        if (watched == lblStatus)
            lblStatusDblClick();
        break;
    case QEvent::Wheel:
        // The wheel never moves between pages.
        if (watched == sbTasks->viewport())
            return true;
        break;
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
        if (auto* w = qobject_cast<QWidget*>(watched);
            w && (w == sbTasks->viewport() || sbTasks->isAncestorOf(w))) {
            auto* me = static_cast<QMouseEvent*>(event);
            const QPointF pos = w->mapTo(sbTasks, me->position());
            if (event->type() == QEvent::MouseButtonPress)
                sbTasksMouseDown(pos);
            else
                sbTasksMouseUp(pos);
        }
        break;
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}

// ---- quick entry ---------------------------------------------------------------------------

bool TfrmTaskList::WarnQuickEntry(const QString& AText) {
    ShowMessageDialog(AText, mtWarning, QMessageBox::Ok);
    edtTask->setFocus();
    return false;
}

void TfrmTaskList::edtTaskKeyDown(int Key, Qt::KeyboardModifiers Shift) {
    if (Key != 13)
        return;
    const QString text = edtTask->text();
    if (const TTitleProblem problem = CheckTaskTitle(text.toStdString())) {
        WarnQuickEntry(TitleProblemText(problem));
        return;
    }
    TOtTaskListItem* page = FTaskClassGUI ? FTaskClassGUI->CurrentTaskListItem() : nullptr;
    if (!page)
        return;
    GetMainFormPosSize();
    const auto mods = Shift & (Qt::ControlModifier | Qt::ShiftModifier | Qt::AltModifier);
    const bool added = mods == Qt::ControlModifier ? page->DoAddTaskItem(text.trimmed())
                                                   : page->DoAddTaskItemQuick(text);
    if (added)
        edtTask->clear();
}

void TfrmTaskList::btnAddTaskClick() {
    TOtTaskListItem* page = FTaskClassGUI ? FTaskClassGUI->CurrentTaskListItem() : nullptr;
    if (!page)
        return;
    GetMainFormPosSize();
    if (page->DoAddTaskItem(edtTask->text().trimmed()))
        edtTask->clear();
}

void TfrmTaskList::btnManageTaskClassClick() {
    GetMainFormPosSize();
    if (ShowManageTaskClass)
        ShowManageTaskClass();
}

// ---- tool menu ---------------------------------------------------------------------------

void TfrmTaskList::CreatePopupMenu() {
    if (FToolPopupMenu)
        return;
    FToolPopupMenu = NewKeyedMenu(this, "ToolPopupMenu", kToolMenu);
    for (QAction* a : FToolPopupMenu->actions())
        connect(a, &QAction::triggered, this, [this, a] { OnToolMenuItemClick(a); });
}

void TfrmTaskList::CreateTrayMenu() {
    if (FTrayPopupMenu)
        return;
    FTrayPopupMenu = NewKeyedMenu(this, "TrayPopupMenu", kTrayMenu);
    const auto entry = [this](const char* name) {
        return FTrayPopupMenu->findChild<QAction*>(QLatin1String(name));
    };
    connect(entry("pmiTrayShowHide"), &QAction::triggered, this, &TfrmTaskList::ToggleMainForm);
    connect(entry("pmiTrayNewTask"), &QAction::triggered, this, [this] {
        BringToFront();
        btnAddTaskClick();
    });
    connect(entry("pmiTraySync"), &QAction::triggered, this, &TfrmTaskList::btnManualSyncClick);
    connect(entry("pmiTrayQuit"), &QAction::triggered, this, [this] {
        if (close() && QuitApplication)
            QuitApplication();
    });
    // Texts and states as they are when the menu opens.
    connect(FTrayPopupMenu, &QMenu::aboutToShow, this, [this, entry] {
        TranslateUI();
        entry("pmiTraySync")->setEnabled(btnManualSync->isEnabled());
    });
    TranslateUI();
    FPlatform.SetTrayMenu(FTrayPopupMenu);
}

void TfrmTaskList::TranslateUI() {
    setWindowTitle(LangTranslate(QLatin1String(AppShortName)));
    for (QMenu* menu : {FToolPopupMenu, FTrayPopupMenu})
        if (menu)
            for (QAction* a : menu->actions())
                if (!a->isSeparator())
                    a->setText(LangTranslate(a->property("TagString").toString()));
    if (FTrayPopupMenu)
        if (auto* a = FTrayPopupMenu->findChild<QAction*>(QStringLiteral("pmiTrayShowHide")))
            a->setText(LangTranslate(isVisible() && !isMinimized() ? QStringLiteral("Hide")
                                                                   : QStringLiteral("Show")));
}

void TfrmTaskList::DoFind() {
    pnlFind->Open(FTaskClassList);
    FindPanelChanged();
}

void TfrmTaskList::ShowTask(const TOtTaskItemPtr& AItem) {
    const TOtTaskClassPtr cls = AItem ? AItem->TaskClass() : nullptr;
    if (!cls || !FTaskClassGUI)
        return;
    const auto& pages = FTaskClassGUI->TaskListItems();
    for (std::size_t k = 0; k < pages.size(); ++k)
        if (pages[k]->TaskClass() == cls) {
            FTaskClassGUI->SetTaskClassIndex(static_cast<int>(k));
            SetMoveButtons();
            LoadTaskList();
            if (!pages[k]->IsLoaded())
                pages[k]->LoadTaskList(TaskSortField, TaskSortOrder);
            pages[k]->SelectRow(pages[k]->GetTreeViewItemByTaskItem(AItem));
            return;
        }
}

void TfrmTaskList::DoUndo() {
    if (!FUndo || !FUndo->CanUndo() || !FTaskClassGUI)
        return;
    const TUndoResult r = FUndo->Undo(FTaskClassList);
    if (!r) {
        if (!r.Key.empty())
            ShowMessageDialog(LangTranslate(Q(r.Key)).replace(QLatin1String("%s"), Q(r.Title)),
                              mtWarning, QMessageBox::Ok);
        else
            ShowMessageDialog(Q(r.Op.Message), mtError, QMessageBox::Ok);
        return;
    }
    // The lists changed in memory; their pages show them again. A list that
    // a task came back into may be new (it was deleted with the task).
    for (const TOtTaskClassPtr& cls : {r.From, r.To}) {
        if (!cls)
            continue;
        TOtTaskListItem* page = FTaskClassGUI->GetTaskListItemByTaskClass(cls);
        if (!page)
            FTaskClassGUI->Add(cls);
        else if (page->IsLoaded())
            page->LoadTaskList(TaskSortField, TaskSortOrder);
        else
            page->SetTag(1);
    }
    if (r.Item)
        ShowTask(r.Item);
}

void TfrmTaskList::DoTrash() {
    TfrmTrash form(this, FAppCore->Operations(), FTaskClassList,
                   [this](const TOtTaskItemPtr& item) {
                       if (FUndo)
                           FUndo->Added(*item);
                       // Back in its list: a page that shows its rows takes the row at the
                       // item's place; a list made anew gets its page.
                       const TOtTaskClassPtr cls = item->TaskClass();
                       TOtTaskListItem* page = FTaskClassGUI->GetTaskListItemByTaskClass(cls);
                       if (!page) {
                           FTaskClassGUI->Add(cls);
                           return;
                       }
                       const auto& list = cls->TaskList();
                       const auto at = std::find(list.begin(), list.end(), item);
                       if (page->IsLoaded() && at != list.end())
                           page->TaskListGUI().Add(item, static_cast<int>(at - list.begin()));
                   });
    ExecModal(form);
}

QString TfrmTaskList::ChooseFile(bool ASave) {
    if (ChooseExchangeFile)
        return ChooseExchangeFile(ASave);
    const QString home = QDir::homePath();
    if (ASave)
        return QFileDialog::getSaveFileName(
            this, LangTranslate(QStringLiteral("Export…")), home + QStringLiteral("/tasks.json"),
            QStringLiteral("JSON (*.json);;iCalendar (*.ics);;todo.txt (*.txt)"));
    return QFileDialog::getOpenFileName(
        this, LangTranslate(QStringLiteral("Import…")), home,
        QStringLiteral("JSON, iCalendar, todo.txt (*.json *.ics *.ical *.txt);;* (*)"));
}

void TfrmTaskList::DoExport() {
    const QString file = ChooseFile(true);
    if (file.isEmpty())
        return;
    const QString suffix = QFileInfo(file).suffix().toLower();
    const TExchangeFormat format = suffix == QLatin1String("ics")   ? TExchangeFormat::ICalendar
                                   : suffix == QLatin1String("txt") ? TExchangeFormat::TodoTxt
                                                                    : TExchangeFormat::Json;
    std::size_t count = 0;
    for (const auto& c : FTaskClassList)
        count += c->TaskList().size();
    std::string error;
    if (!WriteFileAtomic(file.toStdString(), ExportTasks(FTaskClassList, format), 0644, &error)) {
        ShowMessageDialog(FilledIn(QStringLiteral("The tasks could not be exported: %s"),
                                   {QString::fromStdString(error)}),
                          mtError, QMessageBox::Ok);
        return;
    }
    ShowMessageDialog(
        FilledIn(QStringLiteral("%d task(s) exported to %s."), {QString::number(count), file}),
        mtInformation, QMessageBox::Ok);
}

void TfrmTaskList::DoImport() {
    const QString file = ChooseFile(false);
    if (file.isEmpty() || !FTaskClassGUI)
        return;
    const QString cannot = QStringLiteral("The file %s cannot be imported: %s");
    std::string text;
    if (!ReadWholeFile(file.toStdString(), text)) {
        ShowMessageDialog(FilledIn(cannot, {file, QString::fromUtf8(std::strerror(errno))}),
                          mtError, QMessageBox::Ok);
        return;
    }
    TImportSource source;
    try {
        source = ReadImport(text);
    } catch (const TExchangeError& e) {
        ShowMessageDialog(FilledIn(cannot, {file, QString::fromUtf8(e.what())}), mtError,
                          QMessageBox::Ok);
        return;
    }
    const TOtTaskClassPtr shown = FTaskClassGUI->CurrentTaskClass();
    const TImportReport report = ImportTasks(
        FAppCore->Operations(), FTaskClassList, source, [&] { return shown; }, true);
    // New lists get their pages; the pages of the others show their new rows.
    for (const auto& cls : report.Made)
        if (!FTaskClassGUI->GetTaskListItemByTaskClass(cls))
            FTaskClassGUI->Add(cls);
    for (const auto& cls : report.Into)
        if (TOtTaskListItem* page = FTaskClassGUI->GetTaskListItemByTaskClass(cls)) {
            if (page->IsLoaded())
                page->LoadTaskList(TaskSortField, TaskSortOrder);
            else
                page->SetTag(1);
        }
    SetMoveButtons();
    LoadTaskList();
    QString message =
        FilledIn(QStringLiteral("Imported %d task(s) into %d list(s), skipped %d."),
                 {QString::number(report.Imported), QString::number(report.Into.size()),
                  QString::number(report.Skipped.size())});
    // The reasons, as the import gives them; a long list is cut short.
    constexpr std::size_t kShown = 10;
    for (std::size_t k = 0; k < report.Skipped.size() && k < kShown; ++k) {
        const TSkippedTask& s = report.Skipped[k];
        QString line = s.Why.empty() ? QString()
                                     : FilledIn(QString::fromStdString(s.Why),
                                                {QString::fromStdString(s.Arg)});
        if (!s.Detail.empty())
            line += (line.isEmpty() ? QString() : QStringLiteral(": ")) + Q(s.Detail);
        if (!s.Task.empty())
            line = (s.Task == TSkippedTask::kNoTitle ? LangTranslate(QLatin1String(s.Task.c_str()))
                                                     : Q(s.Task)) +
                   QStringLiteral(": ") + line;
        message += QStringLiteral("\n") + line;
    }
    if (report.Skipped.size() > kShown)
        message += QStringLiteral("\n…");
    ShowMessageDialog(message, report.Skipped.empty() ? mtInformation : mtWarning, QMessageBox::Ok);
}

void TfrmTaskList::btnMenuClick() {
    FToolPopupMenu->popup(btnMenu->mapToGlobal(QPoint(-100, btnMenu->height())));
}

void TfrmTaskList::OnToolMenuItemClick(QObject* Sender) {
    const QString name = Sender ? Sender->objectName() : QString();
    if (name == QLatin1String("pmiSetting"))
        DoSetting();
    else if (name == QLatin1String("pmiTrash"))
        DoTrash();
    else if (name == QLatin1String("pmiImport"))
        DoImport();
    else if (name == QLatin1String("pmiExport"))
        DoExport();
    else if (name == QLatin1String("pmiCheckUpdate"))
        DoCheckUpdate();
    else if (name == QLatin1String("pmiAbout"))
        DoAbout();
}

void TfrmTaskList::DoSetting() {
    GetMainFormPosSize();
    DoSettingResult(ShowSettingDialog ? ShowSettingDialog() : TSettingDialogResult{});
}

void TfrmTaskList::DoSettingResult(const TSettingDialogResult& AResult) {
    TAppSettings& s = FContext.Settings;
    bool reload = false;
    if (AResult.Accepted) {
        const bool wasOpen = s.IsOpenKuaipanSync;
        const int oldViewType = s.TaskListViewType;
        ReadAppSettings();
        if ((!wasOpen && s.IsOpenKuaipanSync) || AResult.IsSetKuaipanAccount) {
            if (FAppCore->HasAccessToken())
                tmrSync->start();
            btnManualSync->setEnabled(tmrSync->isActive());
        }
        if (AResult.IsSetKuaipanAccount)
            FFlags.IsKuaipanAccountCleared = false;
        if (AResult.IsClearKuaipanAccount) {
            FFlags.IsKuaipanAccountCleared = true;
            btnManualSync->setEnabled(false);
        }
        reload = s.TaskListViewType != oldViewType || AResult.IsStyleChange || AResult.IsLangChange;
        if (AResult.IsLangChange)
            TranslateUI();
    }
    // A style or language the dialog only previewed goes back to the saved one.
    if (!AResult.IsStyleChange && FCurrentStyleFile != Q(s.AppStyle)) {
        ApplyStyleFile(Q(s.AppStyle));
        reload = true;
    }
    if (!AResult.IsLangChange && LangApp().Lang() != Q(s.Lang)) {
        LangApp().SetLang(Q(s.Lang));
        reload = true;
    }
    if (reload && FTaskClassGUI) {
        FTaskClassGUI->MarkAllPages();
        LoadTaskList();
    }
}

void TfrmTaskList::DoCheckUpdate() {
    CheckNewVersionForUpgrade(false);
}

QString TfrmTaskList::AboutText() const {
    TFileVersionInfo info;
    GetAppVersionInfo(std::string(), info);
    const QString eol = QStringLiteral("\r\n");
    return QStringLiteral("Brenmoor Sarnic Tasks (") + windowTitle() + QStringLiteral(")") + eol +
           QStringLiteral("Version ") + Q(info.fFileVersion) + QStringLiteral(" (") +
           FPlatform.ArchitectureDescription() + QStringLiteral(")") + eol +
           FPlatform.OSDescription() + eol;
}

void TfrmTaskList::DoAbout() {
    GetMainFormPosSize();
    QMessageBox box(QMessageBox::Information, LangTranslate(QStringLiteral("About")), AboutText(),
                    QMessageBox::Ok);
    ExecMessageBox(box);
}

QString TfrmTaskList::UpgradeCommandLine(const QString& AAppPath, const QString& ALang,
                                         bool IsSilence) {
    const QString lang = ALang == QLatin1String("cn") ? QStringLiteral("zh") : ALang;
    return AAppPath + QStringLiteral("otUpgrade -L:") + lang +
           QStringLiteral(" -App:Dorvel -Auth:free") +
           (IsSilence ? QStringLiteral(" -Silence") : QString());
}

void TfrmTaskList::CheckNewVersionForUpgrade(bool IsSilence) {
    // Until the upgrade program is installed the start fails, unreported.
    FPlatform.OpenEx(UpgradeCommandLine(Q(FAppCore->Paths().AppPath), LangApp().Lang(), IsSilence));
}

void TfrmTaskList::FinishUpgrade() {
    // Failures are swallowed; the package may stay for the next start.
    FinishPendingUpgrade(FAppCore->Paths().AppPath);
}

// ---- tray, hot key, window state -----------------------------------------------------------

void TfrmTaskList::CreateTrayIcon() {
    QIcon icon = windowIcon();
    if (icon.isNull())
        icon = style()->standardIcon(QStyle::SP_FileDialogDetailedView);
    FPlatform.AddTrayIcon(icon, QLatin1String(AppShortName));
}

void TfrmTaskList::ToggleMainForm() {
    if (isVisible() && !isMinimized())
        hide();
    else
        BringToFront();
}

void TfrmTaskList::BringToFront() {
    showNormal();
    raise();
    activateWindow();
}

void TfrmTaskList::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    // Minimising sends the window to the tray only when there is a tray icon
    // to bring it back with.
    if (event->type() == QEvent::WindowStateChange && isMinimized() && FPlatform.HasTrayIcon()) {
        setWindowState(windowState() & ~Qt::WindowMinimized);
        QTimer::singleShot(0, this, &QWidget::hide);
    }
}

void TfrmTaskList::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (width() < MinFormWidth || height() < MinFormHeight)
        resize(std::max(width(), MinFormWidth), std::max(height(), MinFormHeight));
}

void TfrmTaskList::paintEvent(QPaintEvent* event) {
    GetMainFormPosSize();
    QWidget::paintEvent(event);
}

void TfrmTaskList::GetMainFormPosSize() {
    MainFormPosSize = {x(), y(), width(), height()};
}

// ---- sync strip and timers ------------------------------------------------------------------

void TfrmTaskList::SetStatusText(const QString& AText) {
    lblStatus->setText(AText);
}

void TfrmTaskList::ShowSyncStatusBar() {
    AniIndicatorSync->setVisible(true);
    btnManualSync->setEnabled(false);
}

void TfrmTaskList::HideSyncStatusBar() {
    AniIndicatorSync->setVisible(false);
    btnManualSync->setEnabled(true);
}

void TfrmTaskList::ShowLogForm() {
    const int w = FAppLog->width();
    int left = MainFormPosSize.Left + w;
    if (left + w > PrimaryScreenSize().width())
        left = MainFormPosSize.Left - w;
    FAppLog->move(left, MainFormPosSize.Top);
    KeepInsideAvailableArea(*FAppLog);
    FAppLog->show();
}

bool TfrmTaskList::ConfirmHeldBackDeletions(int ACount, const QStringList& AListTitles) {
    // Nothing is asked while the window goes away.
    if (FDestroyed)
        return false;
    QStringList quoted;
    for (const QString& title : AListTitles)
        quoted << LangTranslate(QStringLiteral("\"%s\"")).replace(QLatin1String("%s"), title);
    const QString question =
        LangTranslate(QStringLiteral("%d task(s) in %s were deleted in Kuaipan; synchronization "
                                     "held these deletions back."))
            .replace(QLatin1String("%d"), QString::number(ACount))
            .replace(QLatin1String("%s"), quoted.join(LangTranslate(QStringLiteral(", ")))) +
        QLatin1Char('\n') +
        LangTranslate(QStringLiteral("Delete these tasks on this computer too?"));
    return ShowMessageDialogEx(question, mtConfirmation, QMessageBox::Yes | QMessageBox::No,
                               QMessageBox::No) == QMessageBox::Yes;
}

void TfrmTaskList::lblStatusDblClick() {
    ShowLogForm();
}

void TfrmTaskList::btnManualSyncClick() {
    lblStatus->setText(LangTranslate(QStringLiteral("Manual sync will begin.")));
    if (!FContext.Settings.IsOpenKuaipanSync && FAppCore->HasAccessToken())
        tmrSync->start();
    FFlags.IsManualSyncRequested = true;
    if (TKuaipanSyncThread* thread = FAppCore->KuaipanSyncThread(); thread && thread->Started())
        thread->RequestManualSync();
}

void TfrmTaskList::tmrSyncTimer() {
    tmrSync->stop();
    if (tmrSync->property("Tag").toInt() == 0)
        if (TKuaipanSyncThread* thread = FAppCore->KuaipanSyncThread())
            thread->Start();
    tmrSync->setProperty("Tag", 100);
}

void TfrmTaskList::tmrAlertTimer() {
    tmrAlert->stop();
    if (tmrAlert->property("Tag").toInt() == 0 && FTaskAlertThread)
        FTaskAlertThread->Start();
    tmrAlert->setProperty("Tag", 100);
}

void TfrmTaskList::tmrUpgradeTimer() {
    tmrUpgrade->setInterval(21600000);
    if (FContext.Settings.IsCheckNewVerWhenAppStart)
        CheckNewVersionForUpgrade(true);
}

} // namespace ot
