#include "sync/OtLocalTaskTree.h"

#include "common/FileUtil.h"
#include "tasks/OtTaskUtility.h"

#include <algorithm>
#include <exception>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace ot {

namespace fs = std::filesystem;

int DoAddTaskItem(const TOtTaskRepository& ARepository, TOtTaskItemList& ATaskList,
                  const TOtTaskItemPtr& ATaskItem) {
    const TOtTaskClassPtr cls = ATaskItem ? ATaskItem->TaskClass() : nullptr;
    int index = -1;
    if (!cls || &cls->TaskList() != &ATaskList ||
        !TOtTaskOperations(ARepository).AddTaskItem(ATaskItem, &index))
        return -1;
    return index;
}

// The pass that calls these holds the tree's turn already (within one
// process the lock is shared), so the operations never wait.
TOtLocalTaskTree::TOtLocalTaskTree(TOtTaskClassList& ATaskClassList, TOtTaskRepository ARepository)
    : FTaskClassList(ATaskClassList), FRepository(ARepository),
      FOperations(std::move(ARepository)) {}

void TOtLocalTaskTree::Access(const std::function<void()>& fn) {
    std::lock_guard lock(FMutex);
    fn();
}

template <class R> R TOtLocalTaskTree::Run(const std::function<R()>& fn) {
    std::optional<R> result;
    std::exception_ptr error;
    Access([&] {
        try {
            result = fn();
        } catch (...) {
            error = std::current_exception();
        }
    });
    if (error)
        std::rethrow_exception(error);
    if (!result)
        throw std::runtime_error("The task list is not available.");
    return std::move(*result);
}

int TOtLocalTaskTree::IndexOfClass(const TOtTaskClassPtr& ATaskClass) const {
    auto it = std::find(FTaskClassList.begin(), FTaskClassList.end(), ATaskClass);
    return it == FTaskClassList.end() ? -1 : static_cast<int>(it - FTaskClassList.begin());
}

namespace {
// An error the queue database raised reaches the engine as before.
bool Succeeded(const TTaskOpResult& AResult) {
    AResult.RethrowError();
    return AResult.Ok;
}

int IndexOfItem(const TOtTaskClassPtr& ATaskClass, const TOtTaskItemPtr& ATaskItem) {
    const auto& list = ATaskClass->TaskList();
    auto it = std::find(list.begin(), list.end(), ATaskItem);
    return it == list.end() ? -1 : static_cast<int>(it - list.begin());
}
} // namespace

std::vector<TLocalTaskClassInfo> TOtLocalTaskTree::Snapshot() {
    return Run<std::vector<TLocalTaskClassInfo>>([this] {
        std::vector<TLocalTaskClassInfo> classes;
        classes.reserve(FTaskClassList.size());
        for (const auto& c : FTaskClassList) {
            TLocalTaskClassInfo info{c, c->ID(), c->Title(), {}};
            info.Items.reserve(c->TaskList().size());
            for (const auto& item : c->TaskList())
                info.Items.push_back(
                    {item, item->ID(), item->Title(), item->FileName(), item->Path()});
            classes.push_back(std::move(info));
        }
        return classes;
    });
}

std::string TOtLocalTaskTree::DiskDirName(const std::string& ADirName) {
    return Run<std::string>([&] {
        for (const auto& c : FTaskClassList)
            if (c->DirName() == ADirName)
                return c->DiskDirName();
        return ADirName;
    });
}

void TOtLocalTaskTree::Inspect(const std::function<void()>& fn) {
    Run<bool>([&] {
        fn();
        return true;
    });
}

TOtTaskClassPtr TOtLocalTaskTree::AddTaskClass(const std::string& AID, const std::string& ATitle) {
    return Run<TOtTaskClassPtr>([&]() -> TOtTaskClassPtr {
        auto taskClass = std::make_shared<TOtTaskClass>(AID, ATitle);
        if (!Succeeded(FOperations.AddTaskClass(FTaskClassList, taskClass)))
            return nullptr;
        TaskClassAdded(taskClass);
        return taskClass;
    });
}

bool TOtLocalTaskTree::DeleteTaskClass(const TOtTaskClassPtr& ATaskClass) {
    return Run<bool>([&] {
        const int index = IndexOfClass(ATaskClass);
        return index >= 0 && FOperations
                                 .DeleteTaskClass(FTaskClassList, ATaskClass,
                                                  [&] { TaskClassRemoving(ATaskClass, index); })
                                 .Ok;
    });
}

bool TOtLocalTaskTree::RenameTaskClass(const TOtTaskClassPtr& ATaskClass,
                                       const std::string& ATitle) {
    return Run<bool>([&] {
        if (IndexOfClass(ATaskClass) < 0)
            return false;
        const std::string from = Paths().TaskDataPath + ATaskClass->DiskDirName();
        const std::string to =
            Paths().TaskDataPath + TOtTaskClass(ATaskClass->ID(), ATitle).DirName();
        std::error_code ec;
        if (fs::exists(to, ec) || !RenameFile(from, to))
            return false;
        ATaskClass->SetTitle(ATitle);
        ATaskClass->SetDiskDirName({});
        TaskClassUpdated(ATaskClass);
        return true;
    });
}

bool TOtLocalTaskTree::AddTaskItem(const TOtTaskClassPtr& ATaskClass,
                                   const TOtTaskItemPtr& ATaskItem) {
    return Run<bool>([&] {
        int index = -1;
        if (IndexOfClass(ATaskClass) < 0 || !ATaskItem || ATaskItem->TaskClass() != ATaskClass ||
            !Succeeded(FOperations.AddTaskItem(ATaskItem, &index)))
            return false;
        TaskItemInserted(ATaskClass, ATaskItem, index);
        return true;
    });
}

bool TOtLocalTaskTree::RenameTaskItem(const TOtTaskClassPtr& ATaskClass,
                                      const TOtTaskItemPtr& ATaskItem, const std::string& AFileName,
                                      const TOtTaskItemPtr& ASource) {
    return Run<bool>([&] {
        if (IndexOfClass(ATaskClass) < 0 || IndexOfItem(ATaskClass, ATaskItem) < 0 ||
            ATaskItem->FileName() != AFileName)
            return false;
        const std::string from = Paths().TaskDataPath + ATaskItem->Path();
        // The item stays in its own class directory under the new name.
        const std::string to =
            Paths().TaskDataPath + ATaskClass->Path() + ASource->FileName() + ".tsk";
        if (!RenameFile(from, to))
            return false;
        // The attributes come from the cloud copy, the class and the parent
        // stay the local ones: the cloud copy's class is the engine's mirror,
        // which is replaced at the next listing.
        const auto parent = ATaskItem->Parent();
        TOtTaskUtility::AssignTaskItem(ASource, ATaskItem, 0);
        ATaskItem->SetTaskClass(ATaskClass);
        ATaskItem->SetParent(parent);
        ATaskItem->ResetDirty();
        TaskItemUpdated(ATaskClass, ATaskItem);
        return true;
    });
}

bool TOtLocalTaskTree::ReplaceTaskItemFile(const TOtTaskClassPtr& ATaskClass,
                                           const TOtTaskItemPtr& ATaskItem,
                                           const std::string& AFileName, const std::string& AFile,
                                           const std::function<bool()>& AUnchanged) {
    return Run<bool>([&] {
        std::error_code ec;
        if (IndexOfClass(ATaskClass) < 0 || IndexOfItem(ATaskClass, ATaskItem) < 0 ||
            ATaskItem->FileName() != AFileName || (AUnchanged && !AUnchanged())) {
            fs::remove(AFile, ec);
            return false;
        }
        const std::string target = Paths().TaskDataPath + ATaskItem->Path();
        if (!ReplaceWithFlushedFile(AFile, target)) {
            fs::remove(AFile, ec);
            return false;
        }
        // The file now holds what the item was loaded from: nothing is left to store.
        ATaskItem->LoadFromFile(target);
        ATaskItem->ResetDirty();
        TaskItemUpdated(ATaskClass, ATaskItem);
        return true;
    });
}

bool TOtLocalTaskTree::DeleteTaskItem(const TOtTaskClassPtr& ATaskClass,
                                      const TOtTaskItemPtr& ATaskItem) {
    return Run<bool>([&] {
        if (IndexOfClass(ATaskClass) < 0 || IndexOfItem(ATaskClass, ATaskItem) < 0)
            return false;
        return Succeeded(FOperations.DeleteTaskItem(
            ATaskItem, [&] { TaskItemRemoving(ATaskClass, ATaskItem); }));
    });
}

bool TOtLocalTaskTree::RenewTaskItemID(const TOtTaskClassPtr& ATaskClass,
                                       const TOtTaskItemPtr& ATaskItem,
                                       const std::string& AFileName) {
    return Run<bool>([&] {
        if (IndexOfClass(ATaskClass) < 0 || IndexOfItem(ATaskClass, ATaskItem) < 0 ||
            ATaskItem->FileName() != AFileName || !FRepository.RenewTaskItemID(ATaskItem))
            return false;
        TaskItemUpdated(ATaskClass, ATaskItem);
        return true;
    });
}

} // namespace ot
