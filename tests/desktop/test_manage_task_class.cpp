// The task class manager: the title rules of a new class, deleting with the
// question and the page shown afterwards, jumping by double click, counts.

#include "desktop/DesktopTestSupport.h"

#include "desktop/OtManageTaskClassGUIUtility.h"
#include "desktop/OtMessageDialog.h"
#include "desktop/OtTaskGUIUtility.h"
#include "desktop/UnitManageTaskClass.h"
#include "syncqueue/OtSyncQueueDBModel.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <filesystem>

namespace ot::test {
namespace {

namespace fs = std::filesystem;

class DesktopManageTaskClass : public ::testing::Test {
protected:
    // Classes A, B, C, D; A holds two items, C one.
    void Open(int classes = 4) {
        const char* titles[] = {"A", "B", "C", "D"};
        for (int i = 0; i < classes; ++i)
            dir.AddClass("100000000" + std::to_string(i + 1) + "AA", titles[i],
                         i == 0   ? std::vector<std::pair<std::string, int>>{{"x", 0}, {"y", 1}}
                         : i == 2 ? std::vector<std::pair<std::string, int>>{{"z", 0}}
                                  : std::vector<std::pair<std::string, int>>{});
        w = std::make_unique<TWindow>(dir);
        ASSERT_TRUE(w->Created);
        manager = std::make_unique<TfrmManageTaskClass>(*w->Form);
    }
    std::vector<std::string> ClassTitles() const {
        std::vector<std::string> t;
        for (const auto& c : w->Form->TaskClassList())
            t.push_back(c->Title());
        return t;
    }
    QString Entry(int row, const char* element) const {
        QWidget* frame = manager->lbTaskClass->itemWidget(manager->lbTaskClass->item(row));
        return frame ? frame->findChild<QLabel*>(QLatin1String(element))->text() : QString();
    }
    QString CurrentPageTitle() const {
        TOtTaskListItem* page = w->Form->TaskClassGUI()->CurrentTaskListItem();
        return page ? page->Title() : QString();
    }

    TDesktopDir dir;
    std::unique_ptr<TWindow> w;
    std::unique_ptr<TfrmManageTaskClass> manager;
};

TEST_F(DesktopManageTaskClass, OpensWithOneStyledEntryPerClassShowingItsCount) {
    Open();
    EXPECT_EQ(manager->windowTitle(), QStringLiteral("Management Task Classification"));
    ASSERT_EQ(manager->lbTaskClass->count(), 4);
    const char* counts[] = {"2", "0", "1", "0"};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(Entry(i, "title").toStdString(), ClassTitles()[static_cast<std::size_t>(i)]);
        EXPECT_EQ(Entry(i, "count"), QLatin1String(counts[i]));
        QWidget* frame = manager->lbTaskClass->itemWidget(manager->lbTaskClass->item(i));
        EXPECT_EQ(frame->property("StyleLookup").toString(),
                  QStringLiteral("ListBoxTaskClassItemStyle1"));
    }
}

TEST_F(DesktopManageTaskClass, NewTitlesFollowTheEmptyLengthAndCharacterRules) {
    const QString fifty(50, QLatin1Char('t'));
    struct Case {
        const char* Name;
        QString Title;
        const char* Warning; // null: added
        bool ByEnter;
    } cases[] = {
        {"empty", QString(), "Task class title cannot be empty!", false},
        {"only blanks", QStringLiteral("   "), "Task class title cannot be empty!", true},
        {"50 characters", fifty, nullptr, false},
        {"51 characters", fifty + QLatin1Char('t'),
         "The length of task class title cannot be longer than 50!", true},
        // Titles are stored without the blanks around them, which do not
        // count towards the limit either.
        {"blanks do not count toward the length", QLatin1Char(' ') + fifty + QLatin1Char(' '),
         nullptr, false},
        {"blanks around the title go", QStringLiteral(" Trip "), nullptr, true},
        {"escaped characters are accepted", QStringLiteral("a/b #\"c\""), nullptr, false},
        {"a second class of the same title", QStringLiteral("A"), nullptr, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TDesktopDir d;
        d.AddClass("1000000001AA", "A");
        TWindow win(d);
        TfrmManageTaskClass m(*win.Form);
        TModalAnswers answers;
        if (c.Warning)
            answers.ThenButton(QMessageBox::Ok);
        const auto filesBefore = d.Tree();
        m.edtTaskClassName->setText(c.Title);
        if (c.ByEnter)
            QTest::keyClick(m.edtTaskClassName, Qt::Key_Return);
        else
            m.btnAddTaskClass->click();
        if (c.Warning) {
            ASSERT_EQ(answers.Shown().size(), 1u);
            EXPECT_EQ(answers.Shown()[0].Text.toStdString(), c.Warning);
            EXPECT_EQ(answers.Shown()[0].Caption, QStringLiteral("Warning"));
            EXPECT_EQ(m.edtTaskClassName->text(), c.Title) << "the text stays";
            EXPECT_EQ(win.Form->TaskClassList().size(), 1u);
            EXPECT_EQ(m.lbTaskClass->count(), 1);
            EXPECT_EQ(d.Tree(), filesBefore);
            continue;
        }
        EXPECT_TRUE(answers.Shown().empty());
        EXPECT_EQ(m.edtTaskClassName->text(), QString()) << "emptied after adding";
        ASSERT_EQ(win.Form->TaskClassList().size(), 2u);
        const TOtTaskClassPtr added = win.Form->TaskClassList()[1];
        EXPECT_EQ(QString::fromStdString(added->Title()), c.Title.trimmed());
        EXPECT_TRUE(fs::is_directory(d.TaskData() + added->DirName()));
        EXPECT_TRUE(TOtSyncQueueDBUtility(d.Database()).GetSyncQueueItem(added->ID()));
        ASSERT_EQ(win.Form->TaskClassGUI()->TaskClassCount(), 2) << "a last page";
        EXPECT_EQ(win.Form->TaskClassGUI()->TaskListItems()[1]->Title(), c.Title.trimmed());
        EXPECT_TRUE(win.Form->btnMoveRight->isVisibleTo(win.Form.get())) << "arrows follow";
        ASSERT_EQ(m.lbTaskClass->count(), 2);
        QWidget* frame = m.lbTaskClass->itemWidget(m.lbTaskClass->item(1));
        EXPECT_EQ(frame->findChild<QLabel*>(QStringLiteral("title"))->text(), c.Title.trimmed());
        EXPECT_EQ(frame->findChild<QLabel*>(QStringLiteral("count"))->text(), QStringLiteral("0"));
    }
}

TEST_F(DesktopManageTaskClass, DeleteAsksAndKeepsTheRightPageOnScreen) {
    struct Case {
        const char* Name;
        int Current, Selected;
        int Answer;
        std::vector<std::string> WantClasses;
        const char* WantPage;
    } cases[] = {
        {"No deletes nothing", 1, 1, QMessageBox::No, {"A", "B", "C", "D"}, "B"},
        {"the current page goes: the next takes its place",
         1,
         1,
         QMessageBox::Yes,
         {"A", "C", "D"},
         "C"},
        {"a page before the current one", 2, 0, QMessageBox::Yes, {"B", "C", "D"}, "C"},
        {"a page after the current one", 1, 3, QMessageBox::Yes, {"A", "B", "C"}, "B"},
        {"the current last page: the new last one", 3, 3, QMessageBox::Yes, {"A", "B", "C"}, "C"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TDesktopDir d;
        for (int i = 0; i < 4; ++i)
            d.AddClass("100000000" + std::to_string(i + 1) + "AA", std::string(1, 'A' + i),
                       {{"item", 0}});
        TWindow win(d);
        win.Form->TaskClassGUI()->SetTaskClassIndex(c.Current);
        TfrmManageTaskClass m(*win.Form);
        m.lbTaskClass->setCurrentRow(c.Selected);
        const TOtTaskClassPtr target =
            win.Form->TaskClassList()[static_cast<std::size_t>(c.Selected)];
        TModalAnswers answers;
        answers.ThenButton(c.Answer);
        m.btnDelTaskClass->click();
        ASSERT_EQ(answers.Shown().size(), 1u);
        EXPECT_EQ(answers.Shown()[0].Text.toStdString(),
                  "Delete the task class \"" + target->Title() + "\" and all of its tasks?");
        std::vector<std::string> titles;
        for (const auto& cls : win.Form->TaskClassList())
            titles.push_back(cls->Title());
        EXPECT_EQ(titles, c.WantClasses);
        EXPECT_EQ(m.lbTaskClass->count(), static_cast<int>(c.WantClasses.size()));
        EXPECT_EQ(win.Form->TaskClassGUI()->TaskClassCount(),
                  static_cast<int>(c.WantClasses.size()));
        const TOtTaskListItem* page = win.Form->TaskClassGUI()->CurrentTaskListItem();
        ASSERT_NE(page, nullptr);
        EXPECT_EQ(page->Title().toStdString(), c.WantPage);
        EXPECT_EQ(fs::exists(d.TaskData() + target->DirName()), c.Answer == QMessageBox::No);
    }
}

TEST_F(DesktopManageTaskClass, DeletingTheLastClassLeavesNoPage) {
    Open(1);
    manager->lbTaskClass->setCurrentRow(0);
    TModalAnswers answers;
    answers.ThenButton(QMessageBox::Yes);
    manager->btnDelTaskClassClick();
    EXPECT_TRUE(w->Form->TaskClassList().empty());
    EXPECT_EQ(w->Form->TaskClassGUI()->TaskClassCount(), 0);
    EXPECT_EQ(w->Form->TaskClassGUI()->CurrentTaskListItem(), nullptr);
    EXPECT_FALSE(w->Form->btnMoveLeft->isVisibleTo(w->Form.get()));
    EXPECT_FALSE(w->Form->btnMoveRight->isVisibleTo(w->Form.get()));
}

TEST_F(DesktopManageTaskClass, WithoutASelectionDeleteAndDoubleClickDoNothing) {
    Open();
    TModalAnswers none;
    manager->lbTaskClass->setCurrentRow(-1);
    manager->btnDelTaskClassClick();
    manager->lbTaskClassDblClick();
    EXPECT_EQ(w->Form->TaskClassList().size(), 4u);
    EXPECT_EQ(manager->result(), QDialog::Rejected);
}

TEST_F(DesktopManageTaskClass, DoubleClickJumpsToTheClassAndCloses) {
    Open();
    ASSERT_EQ(w->Form->TaskClassGUI()->TaskClassIndex(), 0);
    manager->lbTaskClass->setCurrentRow(3);
    manager->lbTaskClassDblClick();
    EXPECT_EQ(w->Form->TaskClassGUI()->TaskClassIndex(), 3);
    EXPECT_EQ(CurrentPageTitle(), QStringLiteral("D"));
    EXPECT_TRUE(w->Form->btnMoveLeft->isVisibleTo(w->Form.get()));
    EXPECT_FALSE(w->Form->btnMoveRight->isVisibleTo(w->Form.get()));
    EXPECT_EQ(manager->result(), QDialog::Accepted);
}

TEST_F(DesktopManageTaskClass, TheMainWindowButtonOpensTheManagerAtItsPlace) {
    Open();
    manager.reset();
    w->Form->move(40, 50);
    TModalAnswers answers;
    QPoint at;
    answers.Then([&](QDialog& d) {
        at = d.pos();
        auto& m = dynamic_cast<TfrmManageTaskClass&>(d);
        m.edtTaskClassName->setText(QStringLiteral("E"));
        m.btnAddTaskClassClick();
        return static_cast<int>(QDialog::Rejected);
    });
    w->Form->btnManageTaskClass->click();
    EXPECT_EQ(answers.Shown().size(), 1u);
    EXPECT_EQ(at, QPoint(MainFormPosSize.Left, MainFormPosSize.Top));
    EXPECT_EQ(w->Form->TaskClassList().size(), 5u);
}

} // namespace
} // namespace ot::test
