#pragma once
// The pages of the main window: TOtTaskClassGUI (the pager, one page per task
// class side by side in the scroll box), TOtTaskListItem (one page: header,
// list, context menu, and the user operations on its items) and
// TOtTaskListGUI (the rows of one page).
//
// A page is a QListView over a TTaskItemModel painted by TTaskItemDelegate,
// so a class of ten thousand items costs one model entry per item, not one
// widget per row.

#include "sync/OtLocalTaskTree.h"
#include "tasks/OtTask.h"

#include <QAbstractListModel>
#include <QPointer>
#include <QStyledItemDelegate>
#include <QWidget>

#include <functional>
#include <memory>
#include <vector>

class QLabel;
class QListView;
class QMenu;
class QScrollArea;

namespace ot {

// What one row shows, as FillTreeViewItem computed it.
struct TTaskRow {
    TOtTaskItemPtr Item;
    QString StyleName; // e.g. "TVTaskItemSimpleCompleted1"
    QString Title;
    QString Remarks;  // detail view only
    QString DateTime; // detail view only
    bool Checked = false;
    bool StrikeOut = false;
    int Height = 23;
};

class TTaskItemModel : public QAbstractListModel {
    Q_OBJECT
public:
    enum Roles { StyleNameRole = Qt::UserRole + 1, RemarksRole, DateTimeRole, StrikeOutRole };
    using QAbstractListModel::QAbstractListModel;

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    void Reset(std::vector<TTaskRow> rows);
    void Insert(int AIndex, TTaskRow row);
    void Remove(int AIndex);
    void Replace(int AIndex, TTaskRow row);
    const TTaskRow& Row(int AIndex) const { return FRows[static_cast<std::size_t>(AIndex)]; }
    int IndexOfItem(const TOtTaskItem* AItem) const;
    int IndexOfID(const std::string& AID) const;

signals:
    // The user ticked or cleared a row's check box.
    void CheckChanged(int ARow, bool AChecked);

private:
    std::vector<TTaskRow> FRows;
};

// Paints a row in its named style.
class TTaskItemDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                     const QModelIndex& index) override;
    static QRect CheckBoxRect(const QRect& ARowRect);
};

// The colours and fonts of a named row style, plain and selected. With a
// style sheet loaded they are the sheet's: a QFrame carrying the name as its
// StyleLookup (and selected="true"), with QLabel children #title, #remarks
// and #datetime. The built-in looks follow the variant digit: 1 suits light
// windows, 0 dark ones.
struct TRowLook {
    QColor Background, Title, Other;
    QColor SelectedBackground, SelectedTitle, SelectedOther;
    QColor Line;
    QFont TitleFont, OtherFont;
};
TRowLook RowLook(const QString& AStyleName);

class TOtTaskListGUI {
public:
    TOtTaskListGUI(QListView* ATreeView, TOtTaskItemList& ATaskList);

    void Load();
    void Refresh() { Load(); }
    int GetRightIndex(const TOtTaskItemPtr& ATaskItem) const;
    // Adds a row for the item at AIndex (< 0 appends); answers its index, or
    // -1 for no item.
    int Add(const TOtTaskItemPtr& ATaskItem, int AIndex);
    // Refills row ARow from its own item / the row whose item has this ID.
    void Update(int ARow);
    void Update(const TOtTaskItemPtr& ATaskItem);
    void Delete(int ARow);
    void Delete(const TOtTaskItemPtr& ATaskItem);

    TTaskItemModel& Model() { return *FModel; }
    QListView* TreeView() const { return FTreeView; }

private:
    TTaskRow FillTreeViewItem(const TOtTaskItemPtr& ATaskItem) const;

    QListView* FTreeView;
    TOtTaskItemList& FTaskList;
    TTaskItemModel* FModel; // owned by the view
};

class TOtTaskListItem : public QObject {
    Q_OBJECT
public:
    // AOperations make the page's changes; they outlive the page.
    TOtTaskListItem(QWidget* AParent, TOtTaskItemList& ATaskList, const TOtTaskClassPtr& ATaskClass,
                    TOtTaskClassList& ATaskClassList,
                    std::vector<std::unique_ptr<TOtTaskListItem>>& ATaskListItems,
                    const TOtTaskOperations& AOperations);
    ~TOtTaskListItem() override;

    QString Title() const;
    // Shows the class's title again (renamed on another computer).
    void ShowTitle();
    int TaskCount() const;
    int Tag() const { return FTag; }
    void SetTag(int v) { FTag = v; }
    TOtTaskListGUI& TaskListGUI() { return *FTaskListGUI; }
    const TOtTaskClassPtr& TaskClass() const { return FTaskClass; }
    QWidget* Layout() const { return FLayout; }
    QListView* TreeView() const { return FTreeView; }
    QMenu* PopupMenu() const { return FPopupMenu; }
    // True once the rows were built; an unbuilt page has no rows to keep.
    bool IsLoaded() const { return FIsLoaded; }

    void LoadTaskList(TTaskSortField AField, TSortOrder AOrder);
    void DoTaskItemCompleted(bool IsCompleted);
    void DoTaskItemCompleted(int ARow, bool IsCompleted);
    bool DoAddTaskItemQuick(const QString& ATitle);
    bool DoAddTaskItem(const QString& ATitle);
    bool DoAddTaskItem(const TOtTaskItemPtr& ATaskItem);
    bool DoEditTaskItem();
    bool DoDeleteTaskItem();
    void DoCopyTaskItemText();
    void DoCopyTaskItem();
    void DoPasteTaskItem();
    void DoRefresh();
    // The row of that very item object, or -1.
    int GetTreeViewItemByTaskItem(const TOtTaskItemPtr& ATaskItem) const;
    int SelectedRow() const;
    void SelectRow(int ARow);

    // Enables the context menu's entries for a click on ARow (-1: empty
    // space) and translates them.
    void PreparePopupMenu(int ARow);

    void TreeViewChangeCheck(int ARow, bool AChecked);
    void TreeViewDblClick();
    void TreeViewMouseDown(const QPoint& APos);
    void PopupMenuItemClick(int ATag);

    // After a change of the item's sort key (its priority): the item and its
    // row move to their place by the page's order; no other row is touched.
    void MoveRowToItsPlace(const TOtTaskItemPtr& ATaskItem);

private:
    void AddRowAt(const TOtTaskItemPtr& ATaskItem, int AIndex);
    // A new item of the page's class; nullptr (and the reason shown) when
    // no ID can be drawn.
    TOtTaskItemPtr NewTaskItem(const QString& ATitle) const;

    QWidget* FLayout;
    QWidget* FLayoutTop;
    QLabel* FLabel;
    QListView* FTreeView;
    QMenu* FPopupMenu;
    TOtTaskItemList& FTaskList;
    TOtTaskClassPtr FTaskClass;
    std::unique_ptr<TOtTaskListGUI> FTaskListGUI;
    TOtTaskClassList& FTaskClassList;
    std::vector<std::unique_ptr<TOtTaskListItem>>& FTaskListItems;
    const TOtTaskOperations& FOperations;
    int FTag = 0;
    bool FIsLoaded = false;
};

class TOtTaskClassGUI : public QObject {
    Q_OBJECT
public:
    // The pages make their changes through AOperations, which outlive them.
    TOtTaskClassGUI(QScrollArea* AScrollBox, TOtTaskClassList& ATaskClassList,
                    const TOtTaskOperations& AOperations);
    ~TOtTaskClassGUI() override;

    // The main window's SetMoveButtons and LoadTaskList, run after pages come
    // and go; and an event filter every page's surfaces get (the swipe).
    std::function<void()> OnSetMoveButtons;
    std::function<void()> OnLoadTaskList;
    QPointer<QObject> PageMouseFilter;

    void Load();
    void Refresh() { Load(); }
    TOtTaskListItem* Add(const TOtTaskClassPtr& ATaskClass);
    void Delete(const TOtTaskClassPtr& ATaskClass);
    TOtTaskListItem* GetTaskListItemByTaskClass(const TOtTaskClassPtr& ATaskClass) const;

    int TaskClassIndex() const { return FTaskClassIndex; }
    void SetTaskClassIndex(int Value);
    int TaskClassCount() const { return static_cast<int>(FTaskListItems.size()); }
    TOtTaskClassPtr CurrentTaskClass() const;
    TOtTaskListItem* CurrentTaskListItem() const;
    const std::vector<std::unique_ptr<TOtTaskListItem>>& TaskListItems() const {
        return FTaskListItems;
    }
    // Sets the reload mark of every page.
    void MarkAllPages();
    QWidget* GridLayout() const { return FGridLayout; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void ScrollBoxResize();
    void ArrangeCells();
    TOtTaskListItem* CreatePage(const TOtTaskClassPtr& ATaskClass);

    QScrollArea* FScrollBox;
    TOtTaskClassList& FTaskClassList;
    const TOtTaskOperations& FOperations;
    std::vector<std::unique_ptr<TOtTaskListItem>> FTaskListItems;
    QWidget* FGridLayout;
    int FTaskClassIndex = 0;
};

// The engine's view of the tree: each call runs on the user-interface thread
// (and waits there), and what it changes shows on the pages at once.
class TOtQtLocalTaskTree : public QObject, public TOtLocalTaskTree {
    Q_OBJECT
public:
    TOtQtLocalTaskTree(TOtTaskClassList& ATaskClassList, TOtTaskRepository ARepository,
                       TOtTaskClassGUI& ATaskClassGUI);

protected:
    void Access(const std::function<void()>& fn) override;
    void TaskClassAdded(const TOtTaskClassPtr& ATaskClass) override;
    void TaskClassUpdated(const TOtTaskClassPtr& ATaskClass) override;
    void TaskClassRemoving(const TOtTaskClassPtr& ATaskClass, int AIndex) override;
    void TaskItemInserted(const TOtTaskClassPtr& ATaskClass, const TOtTaskItemPtr& ATaskItem,
                          int AIndex) override;
    void TaskItemUpdated(const TOtTaskClassPtr& ATaskClass,
                         const TOtTaskItemPtr& ATaskItem) override;
    void TaskItemRemoving(const TOtTaskClassPtr& ATaskClass,
                          const TOtTaskItemPtr& ATaskItem) override;

private:
    // The page of a class whose rows are built, else null.
    TOtTaskListItem* LoadedPage(const TOtTaskClassPtr& ATaskClass) const;
    TOtTaskClassGUI& FTaskClassGUI;
};

} // namespace ot
