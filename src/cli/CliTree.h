#pragma once
// The task tree as ottodo sees it: every list loaded from the task data
// directory, looked up by the names people type.

#include "repository/OtTaskOperations.h"
#include "repository/OtTaskRepository.h"
#include "tasks/OtTask.h"
#include "tasks/OtTaskUtility.h"

#include <string>

namespace ot::cli {

// The title of the list the desktop program creates on a first start.
inline constexpr const char* DefaultListTitle = "Default List";

class TTaskTree {
public:
    // The tree of the repository's program directory.
    explicit TTaskTree(TOtTaskRepository ARepository)
        : FRepository(ARepository), FOperations(std::move(ARepository)) {}

    const TOtTaskRepository& Repository() const { return FRepository; }
    // Every change goes through these; the command already has the tree's
    // turn, so they never wait.
    const TOtTaskOperations& Operations() const { return FOperations; }
    const TAppPaths& Paths() const { return FRepository.Paths(); }

    // Loads every list, with as much of its items as ADepth says (the task
    // data directory is created when missing, as the desktop program's
    // start-up does). A command reads only what it needs: the names of the
    // lists to find one, the item names to find an item.
    void Load(TTaskLoadDepth ADepth = TTaskLoadDepth::tldItems);

    TOtTaskClassList& Classes() { return FClasses; }

    // A list by its ID, or else by its title. Raises TCommandError for a name
    // that matches no list, for an ID that several directories hold and for
    // a title that several lists share.
    TOtTaskClassPtr ResolveList(const std::string& idOrTitle) const;
    // The item with this ID, or else with the one ID that begins with it
    // (at least MinIDPrefix characters), its remarks read; raises
    // TCommandError when there is none, when a prefix begins several IDs
    // (naming them) or, for hand-copied files, when several files hold the
    // ID. Needs the item names loaded.
    TOtTaskItemPtr FindItem(const std::string& id) const;
    static constexpr std::size_t MinIDPrefix = 4;

    // Like the desktop program's start-up: with no list at all, creates the
    // default list through the repository (which records it in the queue).
    void EnsureDefaultList();
    // The list the desktop program shows first: the saved page index when it
    // names a list, otherwise the first list. Needs at least one list.
    TOtTaskClassPtr DefaultList() const;

    // A new ID that no list or item on disk and no queue row holds yet
    // (TOtTaskRepository::NewUniqueTaskID).
    std::string FreshID() const;

private:
    TOtTaskRepository FRepository;
    TOtTaskOperations FOperations;
    TOtTaskClassList FClasses;
    TTaskLoadDepth FDepth = TTaskLoadDepth::tldItems;
};

} // namespace ot::cli
