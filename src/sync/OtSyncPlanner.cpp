#include "sync/OtSyncPlanner.h"

#include "common/Text.h"
#include "tasks/OtTaskUtility.h"

#include <openssl/evp.h>

#include <cmath>
#include <functional>

namespace ot {

namespace {

long long Seconds(TDateTime dt) {
    return std::llround(dt * 86400.0);
}

bool SameName(const TSyncTaskState& a, const TSyncTaskState& b) {
    return a.ClassPath == b.ClassPath && a.FileName == b.FileName;
}

bool SameContentKnown(const TSyncTaskState& a, const TSyncTaskState& b) {
    return !a.Hash.empty() && !b.Hash.empty() && a.Hash == b.Hash;
}

} // namespace

const char* SyncActionName(TSyncAction AAction) {
    switch (AAction) {
    case TSyncAction::Nothing:
        return "nothing";
    case TSyncAction::Link:
        return "link";
    case TSyncAction::PushNew:
        return "push new";
    case TSyncAction::Push:
        return "push";
    case TSyncAction::PullNew:
        return "pull new";
    case TSyncAction::Pull:
        return "pull";
    case TSyncAction::Merge:
        return "merge";
    case TSyncAction::DeleteCloud:
        return "delete in the cloud";
    case TSyncAction::DeleteLocal:
        return "delete here";
    case TSyncAction::UploadAgain:
        return "upload again";
    case TSyncAction::Forget:
        return "forget";
    case TSyncAction::RenewLocalID:
        return "renew the local ID";
    }
    return "?";
}

bool LocalChanged(const TSyncPlanInput& AIn) {
    if (!AIn.Base)
        return AIn.Local.has_value();
    if (!AIn.Local || AIn.LocalDeletePending)
        return true;
    const auto& base = *AIn.Base;
    const auto& local = *AIn.Local;
    if (!SameName(base, local))
        return true;
    if (!base.Hash.empty() && !local.Hash.empty())
        return base.Hash != local.Hash;
    return AIn.LocalContentPending;
}

bool CloudChanged(const TSyncPlanInput& AIn) {
    if (!AIn.Base)
        return AIn.Cloud.has_value();
    if (!AIn.Cloud)
        return true;
    const auto& base = *AIn.Base;
    const auto& cloud = *AIn.Cloud;
    if (!SameName(base, cloud))
        return true;
    if (!base.Hash.empty() && !cloud.Hash.empty())
        return base.Hash != cloud.Hash;
    return Seconds(cloud.ModifyTime) > Seconds(base.ModifyTime);
}

TSyncPlan PlanTask(const TSyncPlanInput& AIn) {
    if (!AIn.Base) {
        if (AIn.Local && !AIn.Cloud)
            return {TSyncAction::PushNew};
        if (!AIn.Local && AIn.Cloud)
            return {TSyncAction::PullNew};
        if (AIn.Local && AIn.Cloud)
            return {SameName(*AIn.Local, *AIn.Cloud) &&
                            (SameContentKnown(*AIn.Local, *AIn.Cloud) || AIn.Local->Hash.empty() ||
                             AIn.Cloud->Hash.empty())
                        ? TSyncAction::Link
                        : TSyncAction::RenewLocalID};
        return {TSyncAction::Nothing};
    }
    const bool localGone = !AIn.Local || AIn.LocalDeletePending;
    const bool cloudGone = !AIn.Cloud;
    if (localGone && cloudGone)
        return {TSyncAction::Forget};
    if (cloudGone)
        return {AIn.CloudRestored || LocalChanged(AIn) ? TSyncAction::UploadAgain
                                                       : TSyncAction::DeleteLocal};
    if (localGone)
        return {TSyncAction::DeleteCloud, CloudChanged(AIn)};
    const bool local = LocalChanged(AIn);
    const bool cloud = CloudChanged(AIn);
    if (!local && !cloud)
        return {TSyncAction::Nothing};
    if (local && !cloud)
        return {TSyncAction::Push};
    if (!local && cloud)
        return {TSyncAction::Pull};
    if (SameName(*AIn.Local, *AIn.Cloud) && SameContentKnown(*AIn.Local, *AIn.Cloud))
        return {TSyncAction::Link};
    return {TSyncAction::Merge};
}

// ---- merge ------------------------------------------------------------------

namespace {

std::string StatusText(const TOtTaskItem& item) {
    return item.Status() == tsCompleted ? "completed" : "not completed";
}

std::string DateText(TDateTime dt) {
    return dt == 0 ? std::string("none") : FormatDateTime("yyyy-mm-dd hh:nn", dt);
}

} // namespace

TMergeResult MergeTaskItems(const TOtTaskItem* ABase, const std::string& ABaseClassPath,
                            const TMergeSide& ALocal, const TMergeSide& ACloud) {
    const TOtTaskItem& local = *ALocal.Item;
    const TOtTaskItem& cloud = *ACloud.Item;
    // Times are to the second: on a tie the change made here wins, as it was
    // made after this computer last saw the task (the other side's pass had
    // already ended when this one listed the cloud, or it lands inside it).
    const bool localLater = ALocal.ChangeTime >= ACloud.ChangeTime;

    TMergeResult result;
    auto merged = std::make_shared<TOtTaskItem>(local.TaskClass());
    TOtTaskUtility::AssignTaskItem(ALocal.Item, merged, 3);
    merged->SetID(local.ID());
    merged->SetTaskClass(local.TaskClass());

    // Picks one field: from the side that changed it, or by time when both did.
    // Answers true when the cloud's value is taken.
    auto pick = [&](const char* field, auto get, auto show) {
        const auto l = get(local);
        const auto c = get(cloud);
        if (l == c)
            return false;
        const bool localChanged = !ABase || !(get(*ABase) == l);
        const bool cloudChanged = !ABase || !(get(*ABase) == c);
        if (localChanged && !cloudChanged)
            return false;
        if (cloudChanged && !localChanged)
            return true;
        const bool takeCloud = !localLater;
        result.Lost.push_back(std::string(field) + ": \"" + show(takeCloud ? local : cloud) + "\"");
        return takeCloud;
    };

    // The list travels in the class path, not in the item.
    {
        const bool l = ALocal.ClassPath != ABaseClassPath || !ABase;
        const bool c = ACloud.ClassPath != ABaseClassPath || !ABase;
        result.ClassPath = ALocal.ClassPath;
        if (ALocal.ClassPath != ACloud.ClassPath) {
            if (c && !l) {
                result.ClassPath = ACloud.ClassPath;
            } else if (c && l) {
                if (!localLater)
                    result.ClassPath = ACloud.ClassPath;
                result.Lost.push_back("list: \"" +
                                      (localLater ? ACloud.ClassPath : ALocal.ClassPath) + "\"");
            }
        }
    }
    if (pick(
            "title", [](const TOtTaskItem& i) { return i.Title(); },
            [](const TOtTaskItem& i) { return i.Title(); }))
        merged->SetTitle(cloud.Title());
    // A finish time belongs to its status: they travel together.
    if (pick(
            "status",
            [](const TOtTaskItem& i) {
                return std::make_pair(i.Status(), Seconds(i.FinishDateTime()));
            },
            [](const TOtTaskItem& i) { return StatusText(i); })) {
        merged->SetStatus(cloud.Status());
        merged->SetFinishDateTime(cloud.FinishDateTime());
    }
    if (pick(
            "priority", [](const TOtTaskItem& i) { return i.Priority(); },
            [](const TOtTaskItem& i) { return std::to_string(i.Priority()); }))
        merged->SetPriority(cloud.Priority());
    if (pick(
            "due date", [](const TOtTaskItem& i) { return Seconds(i.ExpirationDate()); },
            [](const TOtTaskItem& i) { return DateText(i.ExpirationDate()); }))
        merged->SetExpirationDate(cloud.ExpirationDate());
    if (pick(
            "alert time", [](const TOtTaskItem& i) { return Seconds(i.AlertTime()); },
            [](const TOtTaskItem& i) { return DateText(i.AlertTime()); }))
        merged->SetAlertTime(cloud.AlertTime());

    // Remarks: one side's rewrite is taken whole; rewrites on both sides are
    // both kept, so nothing typed is lost.
    const bool localRemarks = !ABase || ALocal.RemarksChanged;
    const bool cloudRemarks = !ABase || ACloud.RemarksChanged;
    if (local.Remarks() != cloud.Remarks()) {
        if (cloudRemarks && !localRemarks) {
            merged->SetRemarks(cloud.Remarks());
        } else if (cloudRemarks && localRemarks) {
            const std::string& first = localLater ? local.Remarks() : cloud.Remarks();
            const std::string& second = localLater ? cloud.Remarks() : local.Remarks();
            merged->SetRemarks(first + "\n" + MergedRemarksMarker + "\n" + second);
            result.RemarksJoined = true;
        }
    }
    result.Item = std::move(merged);
    return result;
}

std::string ContentHash(const std::string& ABytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(ABytes.data(), ABytes.size(), digest, &length, EVP_sha1(), nullptr);
    static const char* const hex = "0123456789abcdef";
    std::string out;
    out.reserve(length * 2);
    for (unsigned int i = 0; i < length; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 15];
    }
    return out;
}

} // namespace ot
