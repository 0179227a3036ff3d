// The end of step 2: local objects whose cloud copy is gone are deleted here.

#include "sync/OtKuaipanSyncSteps.h"

#include "cloud/KuaipanConsumer.h"
#include "cloud/KuaipanUtility.h"
#include "common/Clock.h"
#include "common/FileUtil.h"
#include "common/Text.h"
#include "syncqueue/OtSyncQueueDBModel.h"
#include "tasks/OtTaskUtility.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>
#include <unordered_map>

namespace ot {

namespace fs = std::filesystem;

void TKuaipanSyncUtility::PruneLocal(TPass& pass) {
    const auto tree = FLocalTree.Snapshot();

    // Linked objects may be deleted by the pull, but only those with
    // nothing pending here: a change still to push wins over the deletion.
    std::set<std::string> linked;
    std::set<std::string> settled;
    {
        TOtSyncQueueList rows;
        pass.DB->ListLinkedRows(rows);
        for (const auto& row : rows) {
            linked.insert(row.TaskItemID());
            if (IsSettled(row))
                settled.insert(row.TaskItemID());
        }
    }
    std::unordered_map<std::string, TOtTaskClassPtr> cloudByID;
    for (const auto& c : FKuaipanTaskClassList)
        cloudByID.emplace(c->ID(), c);

    // What the cloud listing asks to delete.
    struct TPlan {
        const TLocalTaskClassInfo* Class;
        bool DeleteClass = false;
        std::vector<const TLocalTaskItemInfo*> Items;
        // Items of a class deleted there that exist only here or changed
        // here: the class is kept for them and pushed again.
        std::vector<const TLocalTaskItemInfo*> Kept;
    };
    std::vector<TPlan> plan;
    int linkedItems = 0;
    int toDelete = 0;
    bool anyLinkedClass = false;
    for (const auto& local : tree) {
        for (const auto& item : local.Items)
            linkedItems += linked.count(item.ID) ? 1 : 0;
        const bool classLinked = linked.count(local.ID) > 0;
        anyLinkedClass = anyLinkedClass || classLinked;
        auto cloud = cloudByID.find(local.ID);
        if (cloud == cloudByID.end()) {
            if (classLinked) {
                TPlan entry{&local, true, {}, {}};
                for (const auto& item : local.Items)
                    (settled.count(item.ID) ? entry.Items : entry.Kept).push_back(&item);
                entry.DeleteClass = entry.Kept.empty();
                toDelete += static_cast<int>(entry.Items.size());
                plan.push_back(std::move(entry));
            }
            continue;
        }
        if (!cloud->second->IsLoadTaskList())
            continue; // its listing failed: nothing is known to be gone
        TPlan entry{&local, false, {}, {}};
        for (const auto& item : local.Items)
            if (settled.count(item.ID) &&
                TOtTaskUtility::IndexOfTaskItemList(item.ID, cloud->second->TaskList()) < 0)
                entry.Items.push_back(&item);
        toDelete += static_cast<int>(entry.Items.size());
        if (!entry.Items.empty())
            plan.push_back(std::move(entry));
    }

    // Keeping is no deletion: it happens whatever the guards below decide.
    for (const auto& entry : plan) {
        const auto& local = *entry.Class;
        if (!entry.Kept.empty()) {
            // Unlinked, the class and the kept items go up as new next pass.
            CheckStop();
            std::vector<std::string> ids{local.ID};
            for (const auto* item : entry.Kept) {
                ids.push_back(item->ID);
                FRowsLeft.erase(item->ID);
            }
            FRowsLeft.erase(local.ID);
            if (pass.DB->UnlinkRows(ids)) {
                _OutputSyncLog(Format("Task class \"%s\" was deleted in Kuaipan by another "
                                      "computer; it is kept for %d local task item(s) that are "
                                      "not synchronized and will be uploaded again.",
                                      local.Title.c_str(), static_cast<int>(entry.Kept.size())));
            } else {
                ++pass.Errors2;
                _OutputSyncLog(Format("Keep local task class \"%s\" failed!", local.Title.c_str()));
            }
        }
    }

    // A cloud restored from an older copy lacks what was made since; nobody
    // deleted it. Everything it lacks goes up again as new.
    if (pass.Restored && !plan.empty()) {
        std::vector<std::string> ids;
        for (const auto& entry : plan) {
            if (entry.DeleteClass)
                ids.push_back(entry.Class->ID);
            for (const auto* item : entry.Items)
                ids.push_back(item->ID);
        }
        for (const auto& id : ids)
            FRowsLeft.erase(id);
        if (pass.DB->UnlinkRows(ids)) {
            _OutputSyncLog(Format("%d task item(s) missing in the restored Kuaipan data are "
                                  "uploaded again.",
                                  toDelete));
            // Read again by the next pass: the watermark stays below them.
            pass.RowSkipped = true;
        } else {
            ++pass.Errors2;
            _OutputSyncLog(
                "Keep the local task items missing in the restored Kuaipan data failed!");
        }
        return;
    }

    // A wiped or swapped server must not empty the task tree.
    if (FKuaipanTaskClassList.empty() && anyLinkedClass) {
        ++pass.Errors2;
        _OutputSyncLog("Local deletions were not applied: the Kuaipan folder lists no task class.");
        return;
    }
    // Most of a large tree, or more than half of a small one (a few
    // deletions of a tree of a few tasks are ordinary work).
    if ((toDelete > MassDeletionThreshold || toDelete >= SmallTreeDeletionThreshold) &&
        toDelete * 2 > linkedItems) {
        THeldBackDeletions held;
        held.Count = toDelete;
        std::set<std::string> ids;
        for (const auto& entry : plan) {
            if (entry.Items.empty() && !entry.DeleteClass)
                continue;
            held.ListTitles.push_back(entry.Class->Title);
            if (entry.DeleteClass)
                ids.insert(entry.Class->ID);
            for (const auto* item : entry.Items)
                ids.insert(item->ID);
        }
        for (const auto& id : ids)
            held.Key += id + ";";
        if (!pass.AllowMassDeletions ||
            (!pass.AllowedDeletionsKey.empty() && pass.AllowedDeletionsKey != held.Key)) {
            ++pass.Errors2;
            _OutputSyncLog(Format("Local deletions were not applied: %d of %d synchronized local "
                                  "task items would be deleted.",
                                  toDelete, linkedItems));
            std::string lists;
            for (const auto& title : held.ListTitles)
                lists += (lists.empty() ? "\"" : ", \"") + title + "\"";
            _OutputSyncLog(Format("Held back: %d task item(s) in %s; confirm to apply them.",
                                  toDelete, lists.c_str()));
            pass.Summary.HeldBack = std::move(held);
            return;
        }
        _OutputSyncLog(Format("Local deletions confirmed: %d of %d synchronized local task items "
                              "are deleted.",
                              toDelete, linkedItems));
    }

    for (const auto& entry : plan) {
        const auto& local = *entry.Class;
        if (entry.DeleteClass) {
            CheckStop();
            if (FLocalTree.DeleteTaskClass(local.Class)) {
                for (const auto& item : local.Items)
                    FRowsLeft.erase(item.ID);
                FRowsLeft.erase(local.ID);
                pass.Summary.Deleted += 1 + static_cast<int>(local.Items.size());
                if (pass.DB->DeleteSyncQueue(local.ID)) {
                    _OutputSyncLog(Format("Delete local task class \"%s\" successfully!",
                                          local.Title.c_str()));
                } else {
                    ++pass.Errors2;
                    _OutputSyncLog(Format("Delete local task class \"%s\": its queue record "
                                          "could not be removed.",
                                          local.Title.c_str()));
                }
            } else {
                ++pass.Errors2;
                _OutputSyncLog(
                    Format("Delete local task class \"%s\" failed!", local.Title.c_str()));
            }
            continue;
        }
        for (const auto* item : entry.Items) {
            CheckStop();
            if (FLocalTree.DeleteTaskItem(local.Class, item->Item)) {
                FRowsLeft.erase(item->ID);
                ++pass.Summary.Deleted;
                if (pass.DB->DeleteSyncQueue(item->ID)) {
                    _OutputSyncLog(
                        Format("Delete local task item \"%s\" in class \"%s\" successfully!",
                               item->Title.c_str(), local.Title.c_str()));
                } else {
                    ++pass.Errors2;
                    _OutputSyncLog(Format("Delete local task item \"%s\" in class \"%s\": its "
                                          "queue record could not be removed.",
                                          item->Title.c_str(), local.Title.c_str()));
                }
            } else {
                ++pass.Errors2;
                _OutputSyncLog(Format("Delete local task item \"%s\" in class \"%s\" failed!",
                                      item->Title.c_str(), local.Title.c_str()));
            }
        }
    }
}

} // namespace ot
