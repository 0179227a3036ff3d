#pragma once
// The window's way back: the last changes made there (a task added,
// completed or reopened, edited, moved to another list, deleted), each
// undone through the task operations, so an undo is stored, queued and
// synchronized like any change.
//
// A step names its task by the ID it had once the change was made, and
// keeps the values it had then. A task that is no longer there, or that a
// pass changed since (an edit made on another computer), is not touched:
// undoing would throw that edit away. The step is then dropped with a
// reason, and the ones before it stay.
//
// Undoing a deletion takes the task back from the recently deleted ones (a
// new task with a new ID, as a restore does). Undoing an addition deletes
// the task, so it can still be found among the recently deleted.

#include "repository/OtTaskOperations.h"
#include "tasks/OtTask.h"

#include <cstddef>
#include <deque>
#include <string>

namespace ot {

// The values of a task that a change and its undo are about.
struct TTaskValues {
    std::string ID, ClassID, Title, Remarks;
    TTaskStatus Status = tsNotCompleted;
    TDateTime ExpirationDate = 0, AlertTime = 0, FinishDateTime = 0;
    std::int32_t Priority = 5;

    static TTaskValues Of(const TOtTaskItem& AItem);
    // Whether the item holds these values (its ID and class included), as
    // far as its file keeps them.
    bool Holds(const TOtTaskItem& AItem) const;
    static bool SameAsStored(const TTaskValues& A, const TTaskValues& B);
};

enum class TUndoKind { Added, Changed, Deleted };

struct TUndoResult {
    // Key: why the step was not undone (a translation key, "%s" for the
    // task's title); empty when it was, or when Op says why.
    bool Ok = false;
    std::string Key;
    std::string Title;
    TTaskOpResult Op;
    TUndoKind Kind = TUndoKind::Changed;
    // The task as it is after the undo (nullptr when it was deleted), and
    // the lists whose items changed.
    TOtTaskItemPtr Item;
    TOtTaskClassPtr From, To;
    explicit operator bool() const { return Ok; }
};

class TOtTaskUndo {
public:
    // How many steps are kept; the oldest go first.
    static constexpr std::size_t Depth = 100;

    explicit TOtTaskUndo(const TOtTaskOperations& AOperations);

    // Called once a change was made (an addition or a deletion: with the
    // task as it was stored or just before it went).
    void Added(const TOtTaskItem& AItem);
    void Changed(const TTaskValues& ABefore, const TOtTaskItem& AAfter);
    void Deleted(const TOtTaskItem& AItem);

    bool CanUndo() const { return !FSteps.empty(); }
    std::size_t Size() const { return FSteps.size(); }
    void Clear() { FSteps.clear(); }

    // Undoes the last step on the lists (the window's). A step that cannot
    // be undone is dropped all the same.
    TUndoResult Undo(TOtTaskClassList& ALists);

private:
    struct TStep {
        TUndoKind Kind;
        TTaskValues Before; // Changed: the values to go back to
        TTaskValues After;  // the task as the change left it
    };
    void Push(TStep AStep);
    TUndoResult Renamed(const TTaskValues& AWas, TUndoResult AResult);
    // The task as the step left it, or nothing with the reason in ARefusal.
    static TOtTaskItemPtr AsLeft(const TOtTaskClassList& ALists, const TStep& AStep,
                                 TUndoResult& ARefusal);
    TUndoResult UndoAdded(TOtTaskClassList& ALists, const TStep& AStep);
    TUndoResult UndoChanged(TOtTaskClassList& ALists, const TStep& AStep);
    TUndoResult UndoDeleted(TOtTaskClassList& ALists, const TStep& AStep);

    const TOtTaskOperations& FOperations;
    std::deque<TStep> FSteps;
};

} // namespace ot
