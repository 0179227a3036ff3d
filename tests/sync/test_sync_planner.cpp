// The planner's rules as a table of (last synchronized state, local state,
// cloud state) -> action, and the field-by-field merge of a task changed on
// both sides.

#include "support/QueueTestDir.h"
#include "sync/OtSyncBase.h"
#include "sync/OtSyncPlanner.h"

#include "tasks/OtTaskUtility.h"

#include <gtest/gtest.h>

using namespace ot;

namespace {

TSyncTaskState S(const std::string& name, const std::string& hash, TDateTime modify = 0) {
    return {"C1-Home", name, hash, modify};
}

struct PlanCase {
    const char* What;
    std::optional<TSyncTaskState> Base, Local, Cloud;
    bool NamePending, ContentPending, DeletePending, Restored;
    TSyncAction Expected;
    bool DeletionWins = false;
};

} // namespace

TEST(SyncPlanner, DecidesFromBaseLocalAndCloud) {
    const auto base = S("a", "h0", 10);
    const PlanCase cases[] = {
        {"new here", std::nullopt, S("a", "h0"), std::nullopt, false, false, false, false,
         TSyncAction::PushNew},
        {"new in the cloud", std::nullopt, std::nullopt, S("a", "h0", 10), false, false, false,
         false, TSyncAction::PullNew},
        {"same on both, no base", std::nullopt, S("a", "h0"), S("a", "h0", 10), false, false, false,
         false, TSyncAction::Link},
        {"two tasks drew one ID", std::nullopt, S("a", "h0"), S("b", "h9", 10), false, false, false,
         false, TSyncAction::RenewLocalID},
        {"nothing changed", base, S("a", "h0"), S("a", "h0", 10), false, false, false, false,
         TSyncAction::Nothing},
        {"edited here", base, S("a", "h1"), S("a", "h0", 10), false, true, false, false,
         TSyncAction::Push},
        {"renamed here", base, S("b", "h0"), S("a", "h0", 10), true, false, false, false,
         TSyncAction::Push},
        {"edited there", base, S("a", "h0"), S("a", "h2", 20), false, false, false, false,
         TSyncAction::Pull},
        // A listing taken before another computer's pass: the cloud's name
        // moved on while this side edited the remarks (completed there).
        {"edited here, completed there", base, S("a", "h1"), S("a-done", "h0", 10), false, true,
         false, false, TSyncAction::Merge},
        {"edited on both sides", base, S("a", "h1"), S("a", "h2", 20), false, true, false, false,
         TSyncAction::Merge},
        {"both made the same change", base, S("b", "h1"), S("b", "h1", 20), true, true, false,
         false, TSyncAction::Link},
        // A backup restored here replays an old edit: the cloud moved on since
        // the base, so the replay is merged, not pushed over it.
        {"stale replay", base, S("a", "h1"), S("a", "h3", 30), false, true, false, false,
         TSyncAction::Merge},
        {"changed and changed back here", base, S("a", "h0"), S("a", "h2", 20), true, true, false,
         false, TSyncAction::Pull},
        {"deleted here", base, std::nullopt, S("a", "h0", 10), false, false, true, false,
         TSyncAction::DeleteCloud},
        {"deleted here, edited there", base, std::nullopt, S("a", "h2", 20), false, false, true,
         false, TSyncAction::DeleteCloud, true},
        {"deleted there", base, S("a", "h0"), std::nullopt, false, false, false, false,
         TSyncAction::DeleteLocal},
        {"deleted there, edited here", base, S("a", "h1"), std::nullopt, false, true, false, false,
         TSyncAction::UploadAgain},
        {"missing from a restored cloud", base, S("a", "h0"), std::nullopt, false, false, false,
         true, TSyncAction::UploadAgain},
        {"gone on both sides", base, std::nullopt, std::nullopt, false, false, true, false,
         TSyncAction::Forget},
        // A base written before hashes were kept: times and the queue decide.
        {"no hash, cloud newer", S("a", "", 10), S("a", "h0"), S("a", "", 20), false, false, false,
         false, TSyncAction::Pull},
        {"no hash, queue says edited here", S("a", "", 10), S("a", "h1"), S("a", "", 10), false,
         true, false, false, TSyncAction::Push},
        {"no hash, both", S("a", "", 10), S("a", "h1"), S("a", "", 20), false, true, false, false,
         TSyncAction::Merge},
    };
    for (const auto& c : cases) {
        TSyncPlanInput in;
        in.Base = c.Base;
        in.Local = c.Local;
        in.Cloud = c.Cloud;
        in.LocalNamePending = c.NamePending;
        in.LocalContentPending = c.ContentPending;
        in.LocalDeletePending = c.DeletePending;
        in.CloudRestored = c.Restored;
        const TSyncPlan plan = PlanTask(in);
        EXPECT_EQ(SyncActionName(plan.Action), std::string(SyncActionName(c.Expected))) << c.What;
        EXPECT_EQ(plan.DeletionWinsOverChange, c.DeletionWins) << c.What;
    }
}

namespace {

struct MergeFixture : ::testing::Test {
    TOtTaskClassPtr cls = std::make_shared<TOtTaskClass>("N20300101120000000001", "Home");

    TOtTaskItemPtr Item(const std::string& title, int priority, const std::string& remarks,
                        TTaskStatus status = tsNotCompleted, TDateTime finish = 0) {
        auto item = std::make_shared<TOtTaskItem>(title, cls);
        item->SetID("N20300101120000000002");
        item->SetCreateDateTime(47000.5);
        item->SetPriority(priority);
        item->SetRemarks(remarks);
        item->SetStatus(status);
        item->SetFinishDateTime(finish);
        return item;
    }
};

} // namespace

TEST_F(MergeFixture, EachFieldTakesTheSideThatChangedIt) {
    const auto base = Item("Buy milk", 5, "2 litres");
    // Here: completed. There: remarks and priority changed.
    const auto local = Item("Buy milk", 5, "2 litres", tsCompleted, 47001.25);
    const auto cloud = Item("Buy milk", 8, "2 litres, skimmed");
    const auto merged =
        MergeTaskItems(base.get(), cls->DirName(), {local, cls->DirName(), 47001.3, false},
                       {cloud, cls->DirName(), 47001.2, true});
    EXPECT_EQ(merged.Item->Status(), tsCompleted);
    EXPECT_DOUBLE_EQ(merged.Item->FinishDateTime(), 47001.25);
    EXPECT_EQ(merged.Item->Priority(), 8);
    EXPECT_EQ(merged.Item->Remarks(), "2 litres, skimmed");
    EXPECT_EQ(merged.Item->ID(), local->ID());
    EXPECT_TRUE(merged.Lost.empty());
    EXPECT_FALSE(merged.RemarksJoined);
}

TEST_F(MergeFixture, BothChangedTheSameFieldLaterWinsAndTheOtherIsKept) {
    const auto base = Item("Buy milk", 5, "2 litres");
    const auto local = Item("Buy oat milk", 3, "2 litres, oat");
    const auto cloud = Item("Buy soy milk", 3, "3 litres");
    // The cloud's change is the later one.
    const auto merged =
        MergeTaskItems(base.get(), cls->DirName(), {local, cls->DirName(), 47001.1, true},
                       {cloud, cls->DirName(), 47001.2, true});
    EXPECT_EQ(merged.Item->Title(), "Buy soy milk");
    EXPECT_EQ(merged.Item->Priority(), 3); // both made the same change
    EXPECT_EQ(merged.Item->Remarks(),
              std::string("3 litres\n") + MergedRemarksMarker + "\n2 litres, oat");
    EXPECT_TRUE(merged.RemarksJoined);
    ASSERT_EQ(merged.Lost.size(), 1u);
    EXPECT_EQ(merged.Lost[0], "title: \"Buy oat milk\"");

    // The same with the local change later: the local title wins.
    const auto later =
        MergeTaskItems(base.get(), cls->DirName(), {local, cls->DirName(), 47001.3, true},
                       {cloud, cls->DirName(), 47001.2, true});
    EXPECT_EQ(later.Item->Title(), "Buy oat milk");
    EXPECT_EQ(later.Lost, std::vector<std::string>{"title: \"Buy soy milk\""});
    EXPECT_EQ(later.Item->Remarks(),
              std::string("2 litres, oat\n") + MergedRemarksMarker + "\n3 litres");
}

TEST_F(MergeFixture, WithoutBaseEveryDifferenceIsAConflict) {
    const auto local = Item("Buy milk", 5, "here");
    const auto cloud = Item("Buy milk", 7, "there");
    const auto merged = MergeTaskItems(nullptr, cls->DirName(), {local, cls->DirName(), 1, false},
                                       {cloud, cls->DirName(), 2, false});
    EXPECT_EQ(merged.Item->Priority(), 7);
    EXPECT_TRUE(merged.RemarksJoined);
    EXPECT_EQ(merged.Lost, std::vector<std::string>{"priority: \"5\""});
}

TEST(SyncPlanner, ContentHashIsTheCloudsSha1) {
    EXPECT_EQ(ContentHash("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

// The bases a pass records are gathered and written in batches: whatever was
// recorded, forgotten or renamed is what the next pass reads, across a batch
// boundary and with the last batch written when the pass ends.
TEST(SyncBase, WhatAPassRecordsIsWhatTheNextOneReads) {
    test::TQueueTestDir dir("ot-sync-base");
    const std::string db = dir.Paths().DBFileName;
    auto record = [](const std::string& cls, const std::string& name) {
        return TSyncBaseRecord{{cls, name, "hash-" + name, 20300101.5}, "rev-" + name};
    };
    {
        TOtSyncBase base(db);
        ASSERT_TRUE(base.Available());
        for (int i = 0; i < 150; ++i)
            EXPECT_TRUE(base.Record("ID" + std::to_string(i), record("Old", std::to_string(i))));
        EXPECT_TRUE(base.Forget("ID7"));
        EXPECT_TRUE(base.Record("ID140", record("Other", "moved")));
        EXPECT_TRUE(base.RenameClassPath("Old", "New"));
        EXPECT_TRUE(base.Record("ID149", record("Old", "late")));
        EXPECT_TRUE(base.SetValue("DataFingerprint", "fp"));
    }
    TOtSyncBase again(db);
    const auto all = again.All();
    EXPECT_EQ(all.size(), 149u);
    EXPECT_FALSE(again.Find("ID7"));
    ASSERT_TRUE(again.Find("ID3"));
    EXPECT_EQ(again.Find("ID3")->State.ClassPath, "New");
    EXPECT_EQ(again.Find("ID3")->State.Hash, "hash-3");
    EXPECT_EQ(again.Find("ID3")->Rev, "rev-3");
    EXPECT_EQ(again.Find("ID3")->State.ModifyTime, 20300101.5);
    ASSERT_TRUE(again.Find("ID130")); // in the batch not yet written at the rename
    EXPECT_EQ(again.Find("ID130")->State.ClassPath, "New");
    EXPECT_EQ(again.Find("ID140")->State.ClassPath, "Other");
    EXPECT_EQ(again.Find("ID149")->State.ClassPath, "Old");
    EXPECT_EQ(again.Find("ID149")->State.FileName, "late");
    EXPECT_EQ(again.Value("DataFingerprint"), "fp");
}
