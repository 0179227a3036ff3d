#include "cli/CliTree.h"

#include "app/OtSettingFile.h"
#include "cli/CliCommands.h"
#include "repository/OtTaskRepository.h"
#include "tasks/OtTaskUtility.h"

#include <algorithm>

namespace ot::cli {

void TTaskTree::Load(TTaskLoadDepth ADepth) {
    FDepth = ADepth;
    TOtTaskUtility::LoadTaskClassList(Paths().TaskDataPath, FClasses, ADepth);
}

TOtTaskClassPtr TTaskTree::ResolveList(const std::string& idOrTitle) const {
    std::vector<TOtTaskClassPtr> matches;
    for (const auto& c : FClasses)
        if (c->ID() == idOrTitle)
            matches.push_back(c);
    // Directories copied by hand can share an ID; which one is meant only
    // the user can tell.
    if (matches.size() > 1) {
        std::string dirs;
        for (const auto& c : matches)
            dirs += "\n  " + Paths().TaskDataPath + c->DiskDirName();
        throw TCommandError("the task list ID \"" + idOrTitle +
                            "\" is held by several directories:" + dirs);
    }
    if (matches.size() == 1)
        return matches.front();
    for (const auto& c : FClasses)
        if (c->Title() == idOrTitle)
            matches.push_back(c);
    if (matches.empty())
        throw TCommandError("unknown task list \"" + idOrTitle + "\"");
    if (matches.size() > 1) {
        std::string ids;
        for (const auto& c : matches)
            ids += (ids.empty() ? "" : ", ") + c->ID();
        throw TCommandError("the task list title \"" + idOrTitle +
                            "\" is ambiguous; give one of the IDs " + ids);
    }
    return matches.front();
}

TOtTaskItemPtr TTaskTree::FindItem(const std::string& id) const {
    std::vector<TOtTaskItemPtr> matches;
    for (const auto& c : FClasses)
        for (const auto& i : c->TaskList())
            if (i->ID() == id)
                matches.push_back(i);
    // The start of an ID names the one task whose ID begins so.
    if (matches.empty() && id.size() >= MinIDPrefix) {
        for (const auto& c : FClasses)
            for (const auto& i : c->TaskList())
                if (i->ID().starts_with(id))
                    matches.push_back(i);
        if (matches.size() > 1) {
            std::string which;
            for (const auto& i : matches)
                which += "\n  " + i->ID() + "  " + i->Title();
            throw TCommandError("the task item ID prefix \"" + id + "\" is ambiguous; it begins " +
                                std::to_string(matches.size()) + " IDs:" + which);
        }
    }
    if (matches.empty())
        throw TCommandError("unknown task item ID \"" + id + "\"" +
                            (id.size() < MinIDPrefix
                                 ? " (give the whole ID, or at least its first " +
                                       std::to_string(MinIDPrefix) + " characters)"
                                 : std::string()));
    if (matches.size() > 1) {
        std::string files;
        for (const auto& i : matches)
            files += "\n  " + Paths().TaskDataPath + i->DiskPath();
        throw TCommandError("the task item ID \"" + id + "\" is held by several files:" + files);
    }
    // Only the item a command touches is read; an edit writes its remarks
    // back.
    if (FDepth != TTaskLoadDepth::tldItems)
        TOtTaskUtility::LoadTaskItemRemarks(matches.front(), Paths().TaskDataPath);
    return matches.front();
}

std::string TTaskTree::FreshID() const {
    return FRepository.NewUniqueTaskID();
}

void TTaskTree::EnsureDefaultList() {
    if (!FClasses.empty())
        return;
    if (const TTaskOpResult r = FOperations.AddTaskClass(FClasses, DefaultListTitle); !r)
        throw TCommandError(
            "Create default task list failed! The application will be terminated.\n" + r.Message);
}

TOtTaskClassPtr TTaskTree::DefaultList() const {
    TOtSettingFile settings(Paths().SettingFileName);
    int index = settings.ReadInt("DefaultTaskClassIndex", 0);
    if (index < 0 || index >= static_cast<int>(FClasses.size()))
        index = 0;
    return FClasses.at(static_cast<std::size_t>(index));
}

} // namespace ot::cli
