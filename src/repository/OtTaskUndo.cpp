#include "repository/OtTaskUndo.h"

#include "common/DateTime.h"
#include "repository/OtTaskTrash.h"

#include <utility>

namespace ot {

namespace {

TOtTaskItemPtr FindItem(const TOtTaskClassList& ALists, const std::string& AID) {
    for (const auto& c : ALists)
        if (c)
            for (const auto& i : c->TaskList())
                if (i && i->ID() == AID)
                    return i;
    return nullptr;
}

TOtTaskClassPtr FindClass(const TOtTaskClassList& ALists, const std::string& AID) {
    for (const auto& c : ALists)
        if (c && c->ID() == AID)
            return c;
    return nullptr;
}

TUndoResult NotUndone(const std::string& AKey, const std::string& ATitle, TUndoKind AKind) {
    TUndoResult r;
    r.Key = AKey;
    r.Title = ATitle;
    r.Kind = AKind;
    return r;
}

} // namespace

TTaskValues TTaskValues::Of(const TOtTaskItem& AItem) {
    TTaskValues v;
    v.ID = AItem.ID();
    const TOtTaskClassPtr cls = AItem.TaskClass();
    v.ClassID = cls ? cls->ID() : std::string();
    v.Title = AItem.Title();
    v.Remarks = AItem.Remarks();
    v.Status = AItem.Status();
    v.ExpirationDate = AItem.ExpirationDate();
    v.AlertTime = AItem.AlertTime();
    v.FinishDateTime = AItem.FinishDateTime();
    v.Priority = AItem.Priority();
    return v;
}

bool TTaskValues::Holds(const TOtTaskItem& AItem) const {
    return SameAsStored(Of(AItem), *this);
}

bool TTaskValues::SameAsStored(const TTaskValues& A, const TTaskValues& B) {
    // Times as the task's file name keeps them: a task read back from a
    // file (brought back, or changed by a pass) has no seconds.
    const auto at = [](const char* AFormat, TDateTime t) { return FormatDateTime(AFormat, t); };
    return A.ID == B.ID && A.ClassID == B.ClassID && A.Title == B.Title && A.Remarks == B.Remarks &&
           A.Status == B.Status && A.Priority == B.Priority &&
           at("yyyymmdd", A.ExpirationDate) == at("yyyymmdd", B.ExpirationDate) &&
           at("hhnn", A.AlertTime) == at("hhnn", B.AlertTime) &&
           at("yyyymmddhhnn", A.FinishDateTime) == at("yyyymmddhhnn", B.FinishDateTime);
}

TOtTaskUndo::TOtTaskUndo(const TOtTaskOperations& AOperations) : FOperations(AOperations) {}

void TOtTaskUndo::Push(TStep AStep) {
    FSteps.push_back(std::move(AStep));
    while (FSteps.size() > Depth)
        FSteps.pop_front();
}

void TOtTaskUndo::Added(const TOtTaskItem& AItem) {
    Push({TUndoKind::Added, {}, TTaskValues::Of(AItem)});
}

void TOtTaskUndo::Changed(const TTaskValues& ABefore, const TOtTaskItem& AAfter) {
    TTaskValues after = TTaskValues::Of(AAfter);
    // A change that changed nothing (the editor closed with OK) is no step.
    TTaskValues same = ABefore;
    same.ID = after.ID;
    if (TTaskValues::SameAsStored(same, after))
        return;
    Push({TUndoKind::Changed, ABefore, std::move(after)});
}

void TOtTaskUndo::Deleted(const TOtTaskItem& AItem) {
    Push({TUndoKind::Deleted, {}, TTaskValues::Of(AItem)});
}

TUndoResult TOtTaskUndo::Undo(TOtTaskClassList& ALists) {
    if (FSteps.empty())
        return NotUndone("There is nothing to undo.", {}, TUndoKind::Changed);
    const TStep step = std::move(FSteps.back());
    FSteps.pop_back();
    switch (step.Kind) {
    case TUndoKind::Added:
        return UndoAdded(ALists, step);
    case TUndoKind::Deleted:
        return Renamed(step.After, UndoDeleted(ALists, step));
    case TUndoKind::Changed:
        break;
    }
    return Renamed(step.Before, UndoChanged(ALists, step));
}

TUndoResult TOtTaskUndo::Renamed(const TTaskValues& AWas, TUndoResult AResult) {
    // Moved back or brought back, the task has a new ID (and a list made
    // anew has one too): the steps before this one name it by the new ones.
    const TOtTaskItemPtr& item = AResult.Item;
    if (!AResult || !item)
        return AResult;
    const std::string id = item->ID();
    const std::string cls = AResult.To ? AResult.To->ID() : AWas.ClassID;
    for (TStep& s : FSteps)
        for (TTaskValues* v : {&s.Before, &s.After}) {
            if (v->ID == AWas.ID)
                v->ID = id;
            if (v->ClassID == AWas.ClassID && AWas.ClassID != cls)
                v->ClassID = cls;
        }
    return AResult;
}

TOtTaskItemPtr TOtTaskUndo::AsLeft(const TOtTaskClassList& ALists, const TStep& AStep,
                                   TUndoResult& ARefusal) {
    const TOtTaskItemPtr item = FindItem(ALists, AStep.After.ID);
    if (!item)
        ARefusal = NotUndone("The task item \"%s\" is no longer there, so it was not undone.",
                             AStep.After.Title, AStep.Kind);
    else if (!AStep.After.Holds(*item))
        ARefusal = NotUndone("The task item \"%s\" was changed by a synchronization since, so it "
                             "was not undone.",
                             AStep.After.Title, AStep.Kind);
    else
        return item;
    return nullptr;
}

TUndoResult TOtTaskUndo::UndoAdded(TOtTaskClassList& ALists, const TStep& AStep) {
    TUndoResult refusal;
    const TOtTaskItemPtr item = AsLeft(ALists, AStep, refusal);
    if (!item)
        return refusal;
    TUndoResult r;
    r.Kind = AStep.Kind;
    r.Title = AStep.After.Title;
    r.From = item->TaskClass();
    r.Op = FOperations.DeleteTaskItem(item);
    r.Ok = r.Op.Ok;
    return r;
}

TUndoResult TOtTaskUndo::UndoChanged(TOtTaskClassList& ALists, const TStep& AStep) {
    TUndoResult refusal;
    const TOtTaskItemPtr item = AsLeft(ALists, AStep, refusal);
    if (!item)
        return refusal;
    const TOtTaskClassPtr back = FindClass(ALists, AStep.Before.ClassID);
    if (!back)
        return NotUndone("The task class of \"%s\" is no longer there, so it was not undone.",
                         AStep.After.Title, AStep.Kind);
    TUndoResult r;
    r.Kind = AStep.Kind;
    r.Title = AStep.Before.Title;
    r.From = item->TaskClass();
    const TTaskValues& v = AStep.Before;
    // Every value but the ID: a task moved back to its list gets a new one,
    // as any move does; the creation time never changed.
    r.Op = FOperations.EditTaskItem(item, [&](TOtTaskItem& i) {
        i.SetTitle(v.Title);
        i.SetRemarks(v.Remarks);
        i.SetStatus(v.Status);
        i.SetExpirationDate(v.ExpirationDate);
        i.SetAlertTime(v.AlertTime);
        i.SetFinishDateTime(v.FinishDateTime);
        i.SetPriority(v.Priority);
        if (back != i.TaskClass())
            i.SetTaskClass(back);
    });
    r.Ok = r.Op.Ok;
    r.Item = item;
    r.To = item->TaskClass();
    return r;
}

TUndoResult TOtTaskUndo::UndoDeleted(TOtTaskClassList& ALists, const TStep& AStep) {
    for (const TTrashedTask& kept : TOtTaskTrash(FOperations.Paths()).List()) {
        if (!kept.Item || kept.Item->ID() != AStep.After.ID)
            continue;
        TUndoResult r;
        r.Kind = AStep.Kind;
        r.Title = AStep.After.Title;
        r.Op = FOperations.RestoreTrashedTask(ALists, kept, &r.Item);
        r.Ok = r.Op.Ok;
        if (r.Item)
            r.To = r.Item->TaskClass();
        return r;
    }
    return NotUndone("The task item \"%s\" is no longer among the recently deleted, so it was not "
                     "brought back.",
                     AStep.After.Title, AStep.Kind);
}

} // namespace ot
