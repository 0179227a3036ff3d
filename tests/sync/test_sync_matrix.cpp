// Every pair of changes that two computers can make to one task and its list
// between two passes: after a few rounds both sides and the cloud agree, the
// task exists at most once (exactly once when a side changed rather than
// deleted it), and what a side added survives. Then the same for failing
// file operations during a pass.

#include "SyncSide.h"

#include "common/FileUtil.h"
#include "common/Text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <utility>

using namespace ot;
using namespace ot::test;

namespace {

enum class TChange { EditTitle, EditRemarks, Complete, Move, DeleteTask, DeleteList, AddToList };

const char* Name(TChange c) {
    switch (c) {
    case TChange::EditTitle:
        return "EditTitle";
    case TChange::EditRemarks:
        return "EditRemarks";
    case TChange::Complete:
        return "Complete";
    case TChange::Move:
        return "Move";
    case TChange::DeleteTask:
        return "DeleteTask";
    case TChange::DeleteList:
        return "DeleteList";
    case TChange::AddToList:
        return "AddToList";
    }
    return "?";
}

bool ChangesTask(TChange c) {
    return c == TChange::EditTitle || c == TChange::EditRemarks || c == TChange::Complete ||
           c == TChange::Move;
}
bool DeletesTask(TChange c) {
    return c == TChange::DeleteTask || c == TChange::DeleteList;
}

void Apply(TSyncSide& side, TChange change, const std::string& who) {
    auto task = side.FindItem("Task");
    switch (change) {
    case TChange::EditTitle:
        side.EditItem(task, [&](TOtTaskItem& i) { i.SetTitle("Task by " + who); });
        break;
    case TChange::EditRemarks:
        side.EditItem(task, [&](TOtTaskItem& i) { i.SetRemarks("remarks by " + who); });
        break;
    case TChange::Complete:
        side.EditItem(task, [](TOtTaskItem& i) { i.SetStatus(tsCompleted); });
        break;
    case TChange::Move:
        side.EditItem(task, [&](TOtTaskItem& i) { i.SetTaskClass(side.FindClass("Target")); });
        break;
    case TChange::DeleteTask:
        side.DeleteItem(task);
        break;
    case TChange::DeleteList:
        side.DeleteClass(side.FindClass("List"));
        break;
    case TChange::AddToList:
        side.AddItem(side.FindClass("List"), "New by " + who);
        break;
    }
}

// Lines of a user state whose task title starts with prefix.
int CountTasks(const std::string& userState, const std::string& prefix) {
    int n = 0;
    for (const auto& line : Split(userState, '\n')) {
        const auto slash = line.find('/');
        if (slash != std::string::npos && line.compare(slash + 1, prefix.size(), prefix) == 0)
            ++n;
    }
    return n;
}

struct Base {
    CloudServerProcess& server = SharedServer();
    std::string user = FreshUser();
    TSyncSide A{"ot-matrix-a", server, user};
    TSyncSide B{"ot-matrix-b", server, user};

    Base() {
        auto list = A.AddClass("List");
        A.AddItem(list, "Task", 5, "base");
        A.AddItem(A.AddClass("Target"), "Resident");
        EXPECT_TRUE(A.SyncClean());
        EXPECT_TRUE(B.SyncClean());
    }

    // Three rounds, A first, then one that must be clean.
    void Settle() {
        for (int round = 0; round < 3; ++round) {
            A.Sync();
            B.Sync();
        }
        EXPECT_TRUE(A.SyncClean());
        EXPECT_TRUE(B.SyncClean());
    }
};

// Whether A's pass runs between B's passes, or inside B's pass: after B
// listed the cloud, before B pushes.
struct Matrix : ::testing::TestWithParam<std::tuple<TChange, TChange, bool>>, Base {};

} // namespace

TEST_P(Matrix, ConcurrentChangesConvergeAndLoseNothing) {
    const auto [onA, onB, inside] = GetParam();
    Apply(A, onA, "A");
    Apply(B, onB, "B");
    if (inside) {
        bool ran = false;
        B.Engine().SetAfterListingHook([&] {
            if (!std::exchange(ran, true))
                A.Sync();
        });
        B.Sync();
        B.Engine().SetAfterListingHook(nullptr);
        EXPECT_TRUE(ran);
    }
    Settle();
    ExpectConverged(server, user, A, B);

    // A pushes first: what B pushes later wins, a move survives the deletion
    // of what it left, and a change overridden by a deletion is named in the
    // log of the side that deleted.
    const std::string state = A.UserState();
    int expected = 1;
    if (onA != TChange::Move && onB != TChange::Move) {
        if (DeletesTask(onB))
            expected = 0;
        else if (!ChangesTask(onB) && DeletesTask(onA))
            expected = 0;
    }
    EXPECT_EQ(CountTasks(state, "Task"), expected) << state;
    const auto lines = LogLines(*B.Observer);
    if (expected == 0 && ChangesTask(onA)) {
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
            return l.find("the local deletion wins") != std::string::npos ||
                   l.find("was deleted with its task class") != std::string::npos;
        })) << "a change made on A vanished without a word";
    }
    // A task added on A goes with the list B deletes afterwards, named in
    // B's log; one added on B keeps the list A deleted.
    if (onA == TChange::AddToList) {
        EXPECT_EQ(CountTasks(state, "New by A"), onB == TChange::DeleteList ? 0 : 1) << state;
    }
    if (onB == TChange::AddToList) {
        EXPECT_EQ(CountTasks(state, "New by B"), 1) << state;
    }
    if (onA == TChange::AddToList && onB == TChange::DeleteList) {
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
            return l.find("was deleted with its task class") != std::string::npos;
        }));
    }
    EXPECT_EQ(CountTasks(state, "Resident"), 1) << state;
}

INSTANTIATE_TEST_SUITE_P(
    EveryPair, Matrix,
    ::testing::Combine(::testing::Values(TChange::EditTitle, TChange::EditRemarks,
                                         TChange::Complete, TChange::Move, TChange::DeleteTask,
                                         TChange::DeleteList, TChange::AddToList),
                       ::testing::Values(TChange::EditTitle, TChange::EditRemarks,
                                         TChange::Complete, TChange::Move, TChange::DeleteTask,
                                         TChange::DeleteList, TChange::AddToList),
                       ::testing::Bool()),
    [](const auto& info) {
        return std::string(Name(std::get<0>(info.param))) + "_" + Name(std::get<1>(info.param)) +
               (std::get<2>(info.param) ? "_InsidePass" : "");
    });

// The N-th file operation of a kind fails during B's pass, which pulls a bit
// of everything; the next clean passes converge with every task once.
struct PassFileFaults : ::testing::TestWithParam<TFileOp> {};

TEST_P(PassFileFaults, EveryNthOperationFailsOnceAndNothingIsLost) {
    for (int n = 0;; ++n) {
        SCOPED_TRACE("operation " + std::to_string(n));
        CloudServerProcess& srv = SharedServer();
        const std::string u = FreshUser();
        TSyncSide a{"ot-fsfault-a", srv, u};
        TSyncSide b{"ot-fsfault-b", srv, u};
        auto list = a.AddClass("List");
        a.AddItem(list, "Stays", 5, "one");
        a.AddItem(list, "Renamed", 5);
        a.AddItem(list, "Rewritten", 5, "old");
        a.AddItem(list, "Deleted", 5);
        EXPECT_TRUE(a.SyncClean());
        EXPECT_TRUE(b.SyncClean());
        a.EditItem(a.FindItem("Renamed"), [](TOtTaskItem& i) { i.SetTitle("Renamed now"); });
        a.EditItem(a.FindItem("Rewritten"), [](TOtTaskItem& i) { i.SetRemarks("new"); });
        a.DeleteItem(a.FindItem("Deleted"));
        a.AddItem(a.AddClass("Fresh"), "Added", 5, "fresh");
        EXPECT_TRUE(a.SyncClean());

        bool fired = false;
        {
            TFileFaultInjector fault(GetParam(), n, ENOSPC);
            try {
                b.Engine().SyncToKuaipan();
            } catch (const std::exception&) {
                // A failed file operation may end the pass; the next one repairs it.
            }
            fired = fault.Fired();
        }
        for (int round = 0; round < 2; ++round) {
            b.SyncClean();
            a.SyncClean();
        }
        ExpectConverged(srv, u, a, b);
        EXPECT_EQ(b.UserState(), "Fresh/\nFresh/Added s0 p5 | fresh\nList/\n"
                                 "List/Renamed now s0 p5 | \nList/Rewritten s0 p5 | new\n"
                                 "List/Stays s0 p5 | one\n");
        if (!fired || HasFailure())
            break;
    }
}

INSTANTIATE_TEST_SUITE_P(EveryKind, PassFileFaults,
                         ::testing::Values(TFileOp::Create, TFileOp::Rename, TFileOp::Remove,
                                           TFileOp::MakeDir),
                         [](const auto& info) {
                             switch (info.param) {
                             case TFileOp::Create:
                                 return "Create";
                             case TFileOp::Rename:
                                 return "Rename";
                             case TFileOp::Remove:
                                 return "Remove";
                             case TFileOp::MakeDir:
                                 return "MakeDir";
                             }
                             return "Other";
                         });
