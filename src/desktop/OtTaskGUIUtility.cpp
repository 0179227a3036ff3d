#include "desktop/OtTaskGUIUtility.h"

#include "desktop/OtDialogControls.h"

#include "app/AppContext.h"
#include "common/Clock.h"
#include "common/Text.h"
#include "desktop/OtDateTimeText.h"
#include "desktop/OtDesktopContext.h"
#include "desktop/OtDialogControls.h"
#include "desktop/OtLang.h"
#include "desktop/OtMessageDialog.h"
#include "desktop/UnitAddEditTaskItem.h"
#include "repository/OtTaskUndo.h"
#include "tasks/OtTaskUtility.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QClipboard>
#include <QEvent>
#include <QFrame>
#include <QHash>
#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollArea>
#include <QScrollBar>
#include <QThread>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace ot {

namespace {
constexpr int kSimpleRowHeight = 23;
constexpr int kDetailRowHeight = 41;
constexpr int kHeaderHeight = 22;
constexpr int kCheckBoxWidth = 22;
constexpr int kDateColumnWidth = 50;
const QString kTaskFilePathPrefix =
    QString::fromUtf8(TOtTaskOperations::TaskFilePathPrefix.data(),
                      static_cast<qsizetype>(TOtTaskOperations::TaskFilePathPrefix.size()));

// Why a change was not made, in the program's one message box.
void ShowRefusal(const TTaskOpResult& AResult) {
    ShowMessageDialog(QString::fromStdString(AResult.Message), mtError, QMessageBox::Ok);
}

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

bool IsDone(const TOtTaskItem& item) {
    return item.Status() == tsCompleted || item.Status() == tsCleared;
}

// Pages are found by the class they show, never by the class's place in the
// class list: while a class is being removed the two lists differ by one.
int IndexOfPage(const std::vector<std::unique_ptr<TOtTaskListItem>>& APages,
                const std::string& ATaskClassID) {
    for (std::size_t k = 0; k < APages.size(); ++k)
        if (APages[k]->TaskClass() && APages[k]->TaskClass()->ID() == ATaskClassID)
            return static_cast<int>(k);
    return -1;
}
} // namespace

// ---- model ---------------------------------------------------------------

int TTaskItemModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(FRows.size());
}

QVariant TTaskItemModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    const TTaskRow& r = Row(index.row());
    switch (role) {
    case Qt::DisplayRole:
        return r.Title;
    case Qt::CheckStateRole:
        return r.Checked ? Qt::Checked : Qt::Unchecked;
    case Qt::SizeHintRole:
        return QSize(0, r.Height);
    case StyleNameRole:
        return r.StyleName;
    case RemarksRole:
        return r.Remarks;
    case DateTimeRole:
        return r.DateTime;
    case StrikeOutRole:
        return r.StrikeOut;
    default:
        return {};
    }
}

bool TTaskItemModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (role != Qt::CheckStateRole || !index.isValid() || index.row() >= rowCount())
        return false;
    const bool checked = value.toInt() == Qt::Checked;
    emit CheckChanged(index.row(), checked);
    return true;
}

Qt::ItemFlags TTaskItemModel::flags(const QModelIndex& index) const {
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable |
           Qt::ItemNeverHasChildren;
}

void TTaskItemModel::Reset(std::vector<TTaskRow> rows) {
    beginResetModel();
    FRows = std::move(rows);
    endResetModel();
}

void TTaskItemModel::Insert(int AIndex, TTaskRow row) {
    beginInsertRows({}, AIndex, AIndex);
    FRows.insert(FRows.begin() + AIndex, std::move(row));
    endInsertRows();
}

void TTaskItemModel::Remove(int AIndex) {
    beginRemoveRows({}, AIndex, AIndex);
    FRows.erase(FRows.begin() + AIndex);
    endRemoveRows();
}

void TTaskItemModel::Replace(int AIndex, TTaskRow row) {
    const bool heightChanged = FRows[static_cast<std::size_t>(AIndex)].Height != row.Height;
    FRows[static_cast<std::size_t>(AIndex)] = std::move(row);
    const QModelIndex i = index(AIndex);
    if (heightChanged)
        emit layoutChanged();
    emit dataChanged(i, i);
}

int TTaskItemModel::IndexOfItem(const TOtTaskItem* AItem) const {
    for (std::size_t i = 0; i < FRows.size(); ++i)
        if (FRows[i].Item.get() == AItem)
            return static_cast<int>(i);
    return -1;
}

int TTaskItemModel::IndexOfID(const std::string& AID) const {
    for (std::size_t i = 0; i < FRows.size(); ++i)
        if (FRows[i].Item && FRows[i].Item->ID() == AID)
            return static_cast<int>(i);
    return -1;
}

// ---- row looks -------------------------------------------------------------

namespace {
TRowLook BuiltInRowLook(const QString& AStyleName) {
    const bool light = !AStyleName.endsWith(QLatin1Char('0'));
    const bool detail = AStyleName.startsWith(QLatin1String("TVTaskItemDetail"));
    const QColor dark(0x24, 0x27, 0x34);
    TRowLook look;
    look.Background = light ? QColor(Qt::white) : QColor(0x2b, 0x2e, 0x38);
    look.Title = light ? dark : QColor(Qt::white);
    if (AStyleName.startsWith(QLatin1String("TVTaskItemSimpleCompleted")))
        look.Title = QColor(0x90, 0x90, 0x90);
    look.Other = light ? QColor(0x60, 0x60, 0x60) : QColor(0xa9, 0xa9, 0xa9);
    look.SelectedBackground = light ? QColor(0x3d, 0x7e, 0xd8) : QColor(0xc8, 0xd6, 0xf0);
    look.SelectedTitle = light ? QColor(Qt::white) : dark;
    look.SelectedOther = look.SelectedTitle;
    look.Line = light ? QColor(0xe3, 0xe3, 0xe3) : QColor(0x44, 0x47, 0x52);
    look.TitleFont = QApplication::font();
    if (detail)
        look.TitleFont.setPixelSize(15);
    look.OtherFont = QApplication::font();
    look.OtherFont.setPointSizeF(std::max(7.0, look.OtherFont.pointSizeF() - 2));
    return look;
}

// Reads the look from the application's style sheet through a row template.
void ReadSheetLook(const QString& AStyleName, bool ASelected, TRowLook& ALook) {
    QFrame frame;
    frame.setProperty("StyleLookup", AStyleName);
    frame.setProperty("selected", ASelected ? QStringLiteral("true") : QStringLiteral("false"));
    QLabel title(&frame), other(&frame);
    title.setObjectName(QStringLiteral("title"));
    other.setObjectName(AStyleName.contains(QLatin1String("WithRemarks"))
                            ? QStringLiteral("remarks")
                            : QStringLiteral("datetime"));
    frame.ensurePolished();
    title.ensurePolished();
    other.ensurePolished();
    (ASelected ? ALook.SelectedBackground : ALook.Background) =
        frame.palette().color(QPalette::Window);
    (ASelected ? ALook.SelectedTitle : ALook.Title) = title.palette().color(QPalette::WindowText);
    (ASelected ? ALook.SelectedOther : ALook.Other) = other.palette().color(QPalette::WindowText);
    if (!ASelected) {
        ALook.TitleFont = title.font();
        ALook.OtherFont = other.font();
    }
}
} // namespace

TRowLook RowLook(const QString& AStyleName) {
    // Looks are read once per style sheet; a new sheet reads them again.
    static QString sheet;
    static QHash<QString, TRowLook> looks;
    const QString current = qApp->styleSheet();
    if (current != sheet) {
        sheet = current;
        looks.clear();
    }
    auto it = looks.find(AStyleName);
    if (it != looks.end())
        return *it;
    TRowLook look = BuiltInRowLook(AStyleName);
    if (!sheet.isEmpty()) {
        ReadSheetLook(AStyleName, false, look);
        ReadSheetLook(AStyleName, true, look);
    }
    looks.insert(AStyleName, look);
    return look;
}

QRect TTaskItemDelegate::CheckBoxRect(const QRect& ARowRect) {
    const int side = 16;
    return {ARowRect.left() + (kCheckBoxWidth - side) / 2 + 2,
            ARowRect.top() + ARowRect.height() / 2 - side / 2, side, side};
}

void TTaskItemDelegate::paint(QPainter* p, const QStyleOptionViewItem& option,
                              const QModelIndex& index) const {
    const QString style = index.data(TTaskItemModel::StyleNameRole).toString();
    const TRowLook look = RowLook(style);
    const bool selected = option.state & QStyle::State_Selected;
    const QColor titleColor = selected ? look.SelectedTitle : look.Title;
    const QColor otherColor = selected ? look.SelectedOther : look.Other;
    const QRect r = option.rect;
    p->save();
    p->fillRect(r, selected ? look.SelectedBackground : look.Background);
    p->setPen(look.Line);
    p->drawLine(r.bottomLeft(), r.bottomRight());

    QStyleOptionButton box;
    box.rect = CheckBoxRect(r);
    box.state = QStyle::State_Enabled |
                (index.data(Qt::CheckStateRole).toInt() == Qt::Checked ? QStyle::State_On
                                                                       : QStyle::State_Off);
    const QWidget* w = option.widget;
    QStyle* st = w ? w->style() : QApplication::style();
    st->drawPrimitive(QStyle::PE_IndicatorCheckBox, &box, p, w);

    const bool strike = index.data(TTaskItemModel::StrikeOutRole).toBool();
    QFont titleFont = look.TitleFont;
    QFont otherFont = look.OtherFont;
    titleFont.setStrikeOut(strike);
    otherFont.setStrikeOut(strike);
    QRect text = r.adjusted(kCheckBoxWidth + 4, 0, -4, -1);
    auto drawElided = [p](const QRect& rect, int flags, const QString& s) {
        p->drawText(rect, flags, p->fontMetrics().elidedText(s, Qt::ElideRight, rect.width()));
    };
    if (!style.startsWith(QLatin1String("TVTaskItemDetail"))) {
        p->setFont(titleFont);
        p->setPen(titleColor);
        drawElided(text, Qt::AlignVCenter | Qt::AlignLeft, index.data().toString());
        p->restore();
        return;
    }
    const QRect dateRect(r.right() - kDateColumnWidth, r.top(), kDateColumnWidth, r.height() - 1);
    text.setRight(dateRect.left() - 4);
    p->setPen(otherColor);
    p->setFont(otherFont);
    p->drawText(dateRect, Qt::AlignCenter, index.data(TTaskItemModel::DateTimeRole).toString());
    const QString remarks = index.data(TTaskItemModel::RemarksRole).toString();
    QRect titleRect = text;
    if (!remarks.isEmpty())
        titleRect.setHeight(text.height() * 3 / 5);
    p->setFont(titleFont);
    p->setPen(titleColor);
    drawElided(titleRect, Qt::AlignVCenter | Qt::AlignLeft, index.data().toString());
    if (!remarks.isEmpty()) {
        QRect remarksRect = text;
        remarksRect.setTop(titleRect.bottom());
        p->setFont(otherFont);
        p->setPen(otherColor);
        drawElided(remarksRect, Qt::AlignTop | Qt::AlignLeft, remarks);
    }
    p->restore();
}

QSize TTaskItemDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex& index) const {
    return index.data(Qt::SizeHintRole).toSize();
}

bool TTaskItemDelegate::editorEvent(QEvent* event, QAbstractItemModel* model,
                                    const QStyleOptionViewItem& option, const QModelIndex& index) {
    if (event->type() != QEvent::MouseButtonRelease)
        return false;
    auto* me = static_cast<QMouseEvent*>(event);
    if (me->button() != Qt::LeftButton ||
        !CheckBoxRect(option.rect).contains(me->position().toPoint()))
        return false;
    const bool checked = index.data(Qt::CheckStateRole).toInt() == Qt::Checked;
    return model->setData(index, checked ? Qt::Unchecked : Qt::Checked, Qt::CheckStateRole);
}

// ---- rows of one page ------------------------------------------------------

TOtTaskListGUI::TOtTaskListGUI(QListView* ATreeView, TOtTaskItemList& ATaskList)
    : FTreeView(ATreeView), FTaskList(ATaskList), FModel(new TTaskItemModel(ATreeView)) {
    FTreeView->setModel(FModel);
}

TTaskRow TOtTaskListGUI::FillTreeViewItem(const TOtTaskItemPtr& ATaskItem) const {
    const TAppSettings& s = DesktopContext().Settings;
    const QString variant = QString::number(s.StyleVariant);
    const TOtTaskItem& item = *ATaskItem;
    TTaskRow row;
    row.Item = ATaskItem;
    row.Title = Q(item.Title());
    row.Checked = IsDone(item);
    row.StrikeOut = row.Checked;
    if (s.TaskListViewType != 1) {
        row.StyleName = (row.Checked ? QStringLiteral("TVTaskItemSimpleCompleted")
                                     : QStringLiteral("TVTaskItemSimpleNotCompleted")) +
                        variant;
        row.Height = kSimpleRowHeight;
        return row;
    }
    if (!item.Remarks().empty()) {
        row.StyleName = QStringLiteral("TVTaskItemDetailWithRemarks") + variant;
        row.Remarks = Q(item.Remarks()).replace(QLatin1Char('\n'), QLatin1Char(' '));
    } else {
        row.StyleName = QStringLiteral("TVTaskItemDetailNoRemarks") + variant;
    }
    if (item.ExpirationDate() != 0) {
        row.DateTime = ToQDateTime(item.ExpirationDate()).toString(QStringLiteral("yy-MM-dd"));
        if (item.AlertTime() != 0)
            row.DateTime += QStringLiteral("\r\n") +
                            ToQDateTime(item.AlertTime()).toString(QStringLiteral("hh:mm"));
    }
    row.Height = kDetailRowHeight;
    return row;
}

void TOtTaskListGUI::Load() {
    TOtTaskItemPtr selected;
    const QModelIndex cur = FTreeView->currentIndex();
    if (cur.isValid() && FTreeView->selectionModel()->isSelected(cur))
        selected = FModel->Row(cur.row()).Item;
    std::vector<TTaskRow> rows;
    rows.reserve(FTaskList.size());
    for (const auto& item : FTaskList)
        rows.push_back(FillTreeViewItem(item));
    FModel->Reset(std::move(rows));
    if (selected) {
        const int i = FModel->IndexOfItem(selected.get());
        if (i >= 0)
            FTreeView->setCurrentIndex(FModel->index(i));
    }
    FTreeView->scrollToTop();
}

int TOtTaskListGUI::GetRightIndex(const TOtTaskItemPtr& ATaskItem) const {
    return ot::GetRightIndex(FTaskList, *ATaskItem);
}

int TOtTaskListGUI::Add(const TOtTaskItemPtr& ATaskItem, int AIndex) {
    if (!ATaskItem)
        return -1;
    if (AIndex < 0 || AIndex > FModel->rowCount())
        AIndex = FModel->rowCount();
    FModel->Insert(AIndex, FillTreeViewItem(ATaskItem));
    return AIndex;
}

void TOtTaskListGUI::Update(int ARow) {
    if (ARow >= 0 && ARow < FModel->rowCount())
        FModel->Replace(ARow, FillTreeViewItem(FModel->Row(ARow).Item));
}

void TOtTaskListGUI::Update(const TOtTaskItemPtr& ATaskItem) {
    if (ATaskItem)
        Update(FModel->IndexOfID(ATaskItem->ID()));
}

void TOtTaskListGUI::Delete(int ARow) {
    if (ARow >= 0 && ARow < FModel->rowCount())
        FModel->Remove(ARow);
}

void TOtTaskListGUI::Delete(const TOtTaskItemPtr& ATaskItem) {
    if (ATaskItem)
        Delete(FModel->IndexOfID(ATaskItem->ID()));
}

// ---- one page -----------------------------------------------------------------

namespace {
struct TMenuEntry {
    const char* Name;
    const char* Key;
    int Tag;
};
constexpr TMenuEntry kPageMenu[] = {
    {"pmiAdd", "Add", 1},
    {"pmiEdit", "Edit", 2},
    {"pmiDelete", "Delete", 3},
    {"pmiBlk1", "-", 4},
    {"pmiCopyText", "Copy Text", 5},
    {"pmiCopy", "Copy", 6},
    {"pmiPaste", "Paste", 7},
    {"pmiBlk2", "-", 8},
    {"pmiRefresh", "Refresh", 9},
};
} // namespace

TOtTaskListItem::TOtTaskListItem(QWidget* AParent, TOtTaskItemList& ATaskList,
                                 const TOtTaskClassPtr& ATaskClass,
                                 TOtTaskClassList& ATaskClassList,
                                 std::vector<std::unique_ptr<TOtTaskListItem>>& ATaskListItems,
                                 const TOtTaskOperations& AOperations)
    : FLayout(new QWidget(AParent)), FTaskList(ATaskList), FTaskClass(ATaskClass),
      FTaskClassList(ATaskClassList), FTaskListItems(ATaskListItems), FOperations(AOperations) {
    FLayout->setObjectName(QStringLiteral("lytTaskListItem"));
    auto* box = new QVBoxLayout(FLayout);
    box->setContentsMargins(0, 0, 0, 0);
    box->setSpacing(0);
    FLayoutTop = new QWidget(FLayout);
    FLayoutTop->setObjectName(QStringLiteral("lytTop"));
    FLayoutTop->setFixedHeight(kHeaderHeight);
    auto* top = new QVBoxLayout(FLayoutTop);
    top->setContentsMargins(25, 0, 25, 0);

    FPopupMenu = new QMenu(FLayout);
    FPopupMenu->setObjectName(QStringLiteral("PopupMenu"));
    for (const TMenuEntry& e : kPageMenu) {
        QAction* a = FPopupMenu->addAction(QString());
        a->setObjectName(QLatin1String(e.Name));
        a->setData(e.Tag);
        if (std::string_view(e.Key) == "-")
            a->setSeparator(true);
        else
            SetLangText(a, QLatin1String(e.Key));
        const int tag = e.Tag;
        connect(a, &QAction::triggered, this, [this, tag] { PopupMenuItemClick(tag); });
    }

    // The class title is the user's own text: never translated.
    FLabel = new TOtElidedLabel(Qt::ElideRight, FLayoutTop);
    FLabel->setText(Q(ATaskClass->Title()));
    FLabel->setObjectName(QStringLiteral("lblTaskClassTitle"));
    FLabel->setAlignment(Qt::AlignCenter);
    top->addWidget(FLabel);

    FTreeView = new QListView(FLayout);
    FTreeView->setObjectName(QStringLiteral("TreeView"));
    FTreeView->setUniformItemSizes(true);
    FTreeView->setSelectionMode(QAbstractItemView::SingleSelection);
    FTreeView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    FTreeView->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    FTreeView->setItemDelegate(new TTaskItemDelegate(FTreeView));
    FTreeView->setContextMenuPolicy(Qt::CustomContextMenu);
    box->addWidget(FLayoutTop);
    box->addWidget(FTreeView);

    FTaskListGUI = std::make_unique<TOtTaskListGUI>(FTreeView, FTaskList);
    connect(&FTaskListGUI->Model(), &TTaskItemModel::CheckChanged, this,
            [this](int row, bool checked) {
                SelectRow(row);
                TreeViewChangeCheck(row, checked);
            });
    connect(FTreeView, &QListView::doubleClicked, this, [this] { TreeViewDblClick(); });
    connect(FTreeView, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& pos) { TreeViewMouseDown(pos); });
}

TOtTaskListItem::~TOtTaskListItem() {
    delete FLayout;
}

QString TOtTaskListItem::Title() const {
    return FLabel->text();
}

void TOtTaskListItem::ShowTitle() {
    FLabel->setText(Q(FTaskClass->Title()));
}

int TOtTaskListItem::TaskCount() const {
    return FTaskListGUI->Model().rowCount();
}

int TOtTaskListItem::SelectedRow() const {
    const QModelIndex cur = FTreeView->currentIndex();
    if (!cur.isValid() || !FTreeView->selectionModel()->isSelected(cur))
        return -1;
    return cur.row();
}

void TOtTaskListItem::SelectRow(int ARow) {
    if (ARow < 0)
        FTreeView->clearSelection();
    else
        FTreeView->setCurrentIndex(FTaskListGUI->Model().index(ARow));
}

void TOtTaskListItem::LoadTaskList(TTaskSortField AField, TSortOrder AOrder) {
    TOtTaskUtility::SortTaskItemList(FTaskList, AField, AOrder);
    FTaskListGUI->Load();
    FTag = 0;
    FIsLoaded = true;
}

void TOtTaskListItem::DoTaskItemCompleted(bool IsCompleted) {
    const int row = SelectedRow();
    if (row >= 0)
        DoTaskItemCompleted(row, IsCompleted);
}

void TOtTaskListItem::DoTaskItemCompleted(int ARow, bool IsCompleted) {
    if (ARow < 0 || ARow >= TaskCount())
        return;
    const TOtTaskItemPtr item = FTaskListGUI->Model().Row(ARow).Item;
    const TTaskValues before = TTaskValues::Of(*item);
    // A refused change leaves the item, and so the row, as it was.
    if (const TTaskOpResult r = FOperations.CompleteTaskItem(item, IsCompleted); !r)
        ShowRefusal(r);
    else if (TOtTaskUndo* undo = DesktopContext().Undo)
        undo->Changed(before, *item);
    FTaskListGUI->Update(ARow);
}

void TOtTaskListItem::AddRowAt(const TOtTaskItemPtr& ATaskItem, int AIndex) {
    FTaskListGUI->Add(ATaskItem, AIndex);
    FIsLoaded = true;
}

TOtTaskItemPtr TOtTaskListItem::NewTaskItem(const QString& ATitle) const {
    try {
        return FOperations.NewTaskItem(FTaskClass, ATitle.toStdString());
    } catch (const std::exception& e) {
        ShowMessageDialog(Q(e.what()), mtError, QMessageBox::Ok);
        return nullptr;
    }
}

bool TOtTaskListItem::DoAddTaskItemQuick(const QString& ATitle) {
    TOtTaskItemPtr item = NewTaskItem(ATitle);
    return item && DoAddTaskItem(item);
}

bool TOtTaskListItem::DoAddTaskItem(const QString& ATitle) {
    TfrmAddEditTaskItem* form = DesktopContext().frmAddEditTaskItem;
    if (!form)
        return false;
    TOtTaskItemPtr item = NewTaskItem(ATitle);
    if (!item)
        return false;
    form->LoadTaskItemForm(tfsAdd, item);
    form->move(MainFormPosSize.Left, MainFormPosSize.Top);
    if (ExecModal(*form) != QDialog::Accepted)
        return false;
    return DoAddTaskItem(item);
}

bool TOtTaskListItem::DoAddTaskItem(const TOtTaskItemPtr& ATaskItem) {
    if (!ATaskItem)
        return false;
    ATaskItem->SetTaskClass(FTaskClass);
    int index = -1;
    if (const TTaskOpResult r = FOperations.AddTaskItem(ATaskItem, &index); !r) {
        ShowRefusal(r);
        return false;
    }
    if (TOtTaskUndo* undo = DesktopContext().Undo)
        undo->Added(*ATaskItem);
    AddRowAt(ATaskItem, index);
    return true;
}

bool TOtTaskListItem::DoEditTaskItem() {
    const int row = SelectedRow();
    TfrmAddEditTaskItem* form = DesktopContext().frmAddEditTaskItem;
    if (row < 0 || !form)
        return false;
    const TOtTaskItemPtr item = FTaskListGUI->Model().Row(row).Item;
    const TTaskItemState before(*item);
    const TTaskValues values = TTaskValues::Of(*item);
    form->LoadTaskItemForm(tfsEdit, item);
    form->move(MainFormPosSize.Left, MainFormPosSize.Top);
    if (ExecModal(*form) != QDialog::Accepted || !item->IsDirty())
        return false;
    const bool classChanged = item->IsTaskClassChange();
    const bool priorityChanged = item->IsTaskPriorityChange();
    // The operation takes the item to the other class's list; the page
    // follows with its rows.
    if (const TTaskOpResult r = FOperations.StoreTaskItem(item, before); !r) {
        ShowRefusal(r);
        FTaskListGUI->Update(FTaskListGUI->Model().IndexOfItem(item.get()));
        return false;
    }
    if (TOtTaskUndo* undo = DesktopContext().Undo)
        undo->Changed(values, *item);
    if (classChanged) {
        FTaskListGUI->Delete(FTaskListGUI->Model().IndexOfItem(item.get()));
        if (TOtTaskClassPtr target = item->TaskClass())
            if (const int k = IndexOfPage(FTaskListItems, target->ID()); k >= 0)
                FTaskListItems[static_cast<std::size_t>(k)]->SetTag(1);
    } else {
        if (priorityChanged)
            MoveRowToItsPlace(item);
        else
            FTaskListGUI->Update(FTaskListGUI->Model().IndexOfItem(item.get()));
    }
    return true;
}

void TOtTaskListItem::MoveRowToItsPlace(const TOtTaskItemPtr& ATaskItem) {
    const auto at = std::find(FTaskList.begin(), FTaskList.end(), ATaskItem);
    const int row = FTaskListGUI->Model().IndexOfItem(ATaskItem.get());
    if (at == FTaskList.end() || row < 0) {
        FTaskListGUI->Update(ATaskItem);
        return;
    }
    FTaskList.erase(at);
    // The rest of the list is in the page's order: the place is found by
    // halving, after the items that sort before it or equal to it.
    const auto place = std::upper_bound(
        FTaskList.begin(), FTaskList.end(), ATaskItem,
        [](const TOtTaskItemPtr& a, const TOtTaskItemPtr& b) {
            return a && b && TOtTaskUtility::SortsBefore(*a, *b, TaskSortField, TaskSortOrder);
        });
    const int to = static_cast<int>(place - FTaskList.begin());
    FTaskList.insert(place, ATaskItem);
    FTaskListGUI->Delete(row);
    FTaskListGUI->Add(ATaskItem, to);
    SelectRow(to);
    FTreeView->scrollTo(FTaskListGUI->Model().index(to));
}

bool TOtTaskListItem::DoDeleteTaskItem() {
    const int row = SelectedRow();
    if (row < 0)
        return false;
    const TOtTaskItemPtr item = FTaskListGUI->Model().Row(row).Item;
    const QString question = LangTranslate(QStringLiteral("Delete the task item \"%s\"?"))
                                 .replace(QLatin1String("%s"), Q(item->Title()));
    if (ShowMessageDialogEx(question, mtConfirmation, QMessageBox::Yes | QMessageBox::No,
                            QMessageBox::No) != QMessageBox::Yes)
        return false;
    const TTaskOpResult r = FOperations.DeleteTaskItem(
        item, [&] { FTaskListGUI->Delete(FTaskListGUI->Model().IndexOfItem(item.get())); });
    if (!r)
        ShowRefusal(r);
    else if (TOtTaskUndo* undo = DesktopContext().Undo)
        undo->Deleted(*item);
    return r.Ok;
}

void TOtTaskListItem::DoCopyTaskItemText() {
    const int row = SelectedRow();
    if (row < 0)
        return;
    const TOtTaskItem& item = *FTaskListGUI->Model().Row(row).Item;
    QString text = Q(item.Title());
    if (!item.Remarks().empty())
        text += QStringLiteral("\r\n") + Q(item.Remarks());
    QGuiApplication::clipboard()->setText(text);
}

void TOtTaskListItem::DoCopyTaskItem() {
    const int row = SelectedRow();
    if (row < 0)
        return;
    const TOtTaskItem& item = *FTaskListGUI->Model().Row(row).Item;
    QGuiApplication::clipboard()->setText(kTaskFilePathPrefix +
                                          Q(FOperations.Paths().TaskDataPath + item.Path()));
}

void TOtTaskListItem::DoPasteTaskItem() {
    TOtTaskItemPtr item;
    try {
        item = FOperations.PastedTaskItem(FTaskClass,
                                          QGuiApplication::clipboard()->text().toStdString());
    } catch (const std::exception& e) {
        ShowMessageDialog(Q(e.what()), mtError, QMessageBox::Ok);
        return;
    }
    if (!item)
        return;
    const QString question = LangTranslate(QStringLiteral("Paste the task item \"%s\"?"))
                                 .replace(QLatin1String("%s"), Q(item->Title()));
    if (ShowMessageDialogEx(question, mtConfirmation, QMessageBox::Yes | QMessageBox::No,
                            QMessageBox::No) != QMessageBox::Yes)
        return;
    DoAddTaskItem(item);
}

void TOtTaskListItem::DoRefresh() {
    TOtTaskUtility::LoadTaskItemList(FOperations.Paths().TaskDataPath, FTaskClass, FTaskList);
    LoadTaskList(TaskSortField, TaskSortOrder);
}

int TOtTaskListItem::GetTreeViewItemByTaskItem(const TOtTaskItemPtr& ATaskItem) const {
    return FTaskListGUI->Model().IndexOfItem(ATaskItem.get());
}

void TOtTaskListItem::PreparePopupMenu(int ARow) {
    const bool pasteAllowed = QGuiApplication::clipboard()->text().startsWith(kTaskFilePathPrefix);
    for (QAction* a : FPopupMenu->actions()) {
        const QString name = a->objectName();
        const bool rowOnly =
            name == QLatin1String("pmiEdit") || name == QLatin1String("pmiDelete") ||
            name == QLatin1String("pmiCopyText") || name == QLatin1String("pmiCopy");
        bool enabled = ARow >= 0 ? name != QLatin1String("pmiAdd") : !rowOnly;
        if (name == QLatin1String("pmiPaste"))
            enabled = pasteAllowed;
        a->setEnabled(enabled);
        const QVariant key = a->property("otLangKey");
        if (key.isValid())
            a->setText(LangTranslate(key.toString()));
    }
}

void TOtTaskListItem::TreeViewChangeCheck(int ARow, bool AChecked) {
    if (SelectedRow() >= 0)
        DoTaskItemCompleted(ARow, AChecked);
}

void TOtTaskListItem::TreeViewDblClick() {
    DoEditTaskItem();
}

void TOtTaskListItem::TreeViewMouseDown(const QPoint& APos) {
    const QModelIndex at = FTreeView->indexAt(APos);
    if (at.isValid())
        SelectRow(at.row());
    PreparePopupMenu(at.isValid() ? at.row() : -1);
    FPopupMenu->popup(FTreeView->viewport()->mapToGlobal(APos));
}

void TOtTaskListItem::PopupMenuItemClick(int ATag) {
    switch (ATag) {
    case 1:
        DoAddTaskItem(QString());
        break;
    case 2:
        DoEditTaskItem();
        break;
    case 3:
        DoDeleteTaskItem();
        break;
    case 5:
        DoCopyTaskItemText();
        break;
    case 6:
        DoCopyTaskItem();
        break;
    case 7:
        DoPasteTaskItem();
        break;
    case 9:
        DoRefresh();
        break;
    default:
        break;
    }
}

// ---- the pager -------------------------------------------------------------------

TOtTaskClassGUI::TOtTaskClassGUI(QScrollArea* AScrollBox, TOtTaskClassList& ATaskClassList,
                                 const TOtTaskOperations& AOperations)
    : FScrollBox(AScrollBox), FTaskClassList(ATaskClassList), FOperations(AOperations),
      FGridLayout(new QWidget) {
    FGridLayout->setObjectName(QStringLiteral("GridLayout"));
    FScrollBox->setWidgetResizable(false);
    FScrollBox->setWidget(FGridLayout); // the scroll box owns the grid
    FScrollBox->viewport()->installEventFilter(this);
    // The range follows the grid's size only once the scroll box is laid
    // out; until then a position is cut to 0. Each new range puts the
    // current page back on screen (the start page is chosen while hidden).
    QScrollBar* bar = FScrollBox->horizontalScrollBar();
    connect(bar, &QScrollBar::rangeChanged, this,
            [this, bar] { bar->setValue(FScrollBox->viewport()->width() * FTaskClassIndex); });
    ArrangeCells();
}

TOtTaskClassGUI::~TOtTaskClassGUI() {
    FTaskListItems.clear();
    if (FScrollBox)
        FScrollBox->viewport()->removeEventFilter(this);
}

bool TOtTaskClassGUI::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Resize && watched == FScrollBox->viewport())
        ScrollBoxResize();
    return QObject::eventFilter(watched, event);
}

void TOtTaskClassGUI::ScrollBoxResize() {
    ArrangeCells();
    FScrollBox->horizontalScrollBar()->setValue(FScrollBox->viewport()->width() * FTaskClassIndex);
}

void TOtTaskClassGUI::ArrangeCells() {
    const QSize cell = FScrollBox->viewport()->size();
    const int n = TaskClassCount();
    FGridLayout->resize(cell.width() * std::max(n, 1), cell.height());
    for (int k = 0; k < n; ++k)
        FTaskListItems[static_cast<std::size_t>(k)]->Layout()->setGeometry(
            cell.width() * k, 0, cell.width(), cell.height());
}

TOtTaskListItem* TOtTaskClassGUI::CreatePage(const TOtTaskClassPtr& ATaskClass) {
    auto page = std::make_unique<TOtTaskListItem>(FGridLayout, ATaskClass->TaskList(), ATaskClass,
                                                  FTaskClassList, FTaskListItems, FOperations);
    if (PageMouseFilter) {
        page->Layout()->findChild<QLabel*>()->installEventFilter(PageMouseFilter);
        page->TreeView()->viewport()->installEventFilter(PageMouseFilter);
    }
    page->Layout()->show();
    FTaskListItems.push_back(std::move(page));
    return FTaskListItems.back().get();
}

void TOtTaskClassGUI::Load() {
    FTaskListItems.clear();
    for (const auto& c : FTaskClassList)
        CreatePage(c);
    ArrangeCells();
}

TOtTaskListItem* TOtTaskClassGUI::Add(const TOtTaskClassPtr& ATaskClass) {
    TOtTaskListItem* page = CreatePage(ATaskClass);
    ArrangeCells();
    if (OnSetMoveButtons)
        OnSetMoveButtons();
    return page;
}

void TOtTaskClassGUI::Delete(const TOtTaskClassPtr& ATaskClass) {
    const int k = IndexOfPage(FTaskListItems, ATaskClass->ID());
    if (k < 0)
        return;
    FTaskListItems.erase(FTaskListItems.begin() + k);
    ArrangeCells();
    if (k == FTaskClassIndex) {
        if (FTaskClassIndex >= TaskClassCount())
            FTaskClassIndex = TaskClassCount() - 1;
    } else if (k < FTaskClassIndex) {
        // The page on screen moved one place left; keep showing it.
        --FTaskClassIndex;
    }
    FScrollBox->horizontalScrollBar()->setValue(FScrollBox->viewport()->width() *
                                                std::max(FTaskClassIndex, 0));
    if (OnLoadTaskList)
        OnLoadTaskList();
    if (OnSetMoveButtons)
        OnSetMoveButtons();
}

TOtTaskListItem*
TOtTaskClassGUI::GetTaskListItemByTaskClass(const TOtTaskClassPtr& ATaskClass) const {
    if (!ATaskClass)
        return nullptr;
    const int k = IndexOfPage(FTaskListItems, ATaskClass->ID());
    return k < 0 ? nullptr : FTaskListItems[static_cast<std::size_t>(k)].get();
}

void TOtTaskClassGUI::SetTaskClassIndex(int Value) {
    if (Value < 0 || Value >= TaskClassCount())
        return;
    FTaskClassIndex = Value;
    QScrollBar* bar = FScrollBox->horizontalScrollBar();
    const int w = FScrollBox->viewport()->width();
    const int a = w * Value;
    const int s = w > 640 ? 100 : 20;
    int c = bar->value();
    // A hidden pager (start-up) has nothing to show moving.
    if (std::abs(c - a) <= w && FScrollBox->isVisible()) {
        auto step = [&](int pos) {
            bar->setValue(pos);
            QCoreApplication::processEvents();
            QThread::msleep(10);
        };
        if (c <= a) {
            for (c += s; c < a; c += s)
                step(c);
        } else {
            for (c -= s; c > a; c -= s)
                step(c);
        }
    }
    bar->setValue(a);
}

TOtTaskClassPtr TOtTaskClassGUI::CurrentTaskClass() const {
    const TOtTaskListItem* page = CurrentTaskListItem();
    return page ? page->TaskClass() : nullptr;
}

TOtTaskListItem* TOtTaskClassGUI::CurrentTaskListItem() const {
    if (FTaskClassIndex < 0 || FTaskClassIndex >= TaskClassCount())
        return nullptr;
    return FTaskListItems[static_cast<std::size_t>(FTaskClassIndex)].get();
}

void TOtTaskClassGUI::MarkAllPages() {
    for (auto& page : FTaskListItems)
        page->SetTag(1);
}

// ---- the engine's tree -----------------------------------------------------------

TOtQtLocalTaskTree::TOtQtLocalTaskTree(TOtTaskClassList& ATaskClassList,
                                       TOtTaskRepository ARepository,
                                       TOtTaskClassGUI& ATaskClassGUI)
    : TOtLocalTaskTree(ATaskClassList, std::move(ARepository)), FTaskClassGUI(ATaskClassGUI) {}

void TOtQtLocalTaskTree::Access(const std::function<void()>& fn) {
    if (QThread::currentThread() == thread()) {
        fn();
        return;
    }
    // The window's tear-down keeps processing events while it waits for the
    // sync thread, so this call is always answered.
    QMetaObject::invokeMethod(
        this, [&fn] { fn(); }, Qt::BlockingQueuedConnection);
}

TOtTaskListItem* TOtQtLocalTaskTree::LoadedPage(const TOtTaskClassPtr& ATaskClass) const {
    TOtTaskListItem* page = FTaskClassGUI.GetTaskListItemByTaskClass(ATaskClass);
    return page && page->IsLoaded() ? page : nullptr;
}

void TOtQtLocalTaskTree::TaskClassAdded(const TOtTaskClassPtr& ATaskClass) {
    FTaskClassGUI.Add(ATaskClass);
}

void TOtQtLocalTaskTree::TaskClassUpdated(const TOtTaskClassPtr& ATaskClass) {
    if (TOtTaskListItem* page = FTaskClassGUI.GetTaskListItemByTaskClass(ATaskClass))
        page->ShowTitle();
}

void TOtQtLocalTaskTree::TaskClassRemoving(const TOtTaskClassPtr& ATaskClass, int) {
    FTaskClassGUI.Delete(ATaskClass);
}

void TOtQtLocalTaskTree::TaskItemInserted(const TOtTaskClassPtr& ATaskClass,
                                          const TOtTaskItemPtr& ATaskItem, int AIndex) {
    if (TOtTaskListItem* page = LoadedPage(ATaskClass))
        page->TaskListGUI().Add(ATaskItem, AIndex);
}

void TOtQtLocalTaskTree::TaskItemUpdated(const TOtTaskClassPtr& ATaskClass,
                                         const TOtTaskItemPtr& ATaskItem) {
    if (TOtTaskListItem* page = LoadedPage(ATaskClass))
        page->TaskListGUI().Update(ATaskItem);
}

void TOtQtLocalTaskTree::TaskItemRemoving(const TOtTaskClassPtr& ATaskClass,
                                          const TOtTaskItemPtr& ATaskItem) {
    if (TOtTaskListItem* page = LoadedPage(ATaskClass))
        page->TaskListGUI().Delete(ATaskItem);
}

} // namespace ot
