#include "SyncSide.h"

#include "cloud/KuaipanConsumer.h"
#include "cloud/KuaipanUtility.h"
#include "common/Text.h"
#include "repository/OtTaskRepository.h"
#include "tasks/OtTaskUtility.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>

namespace ot::test {

namespace fs = std::filesystem;

std::string UniqueTaskID() {
    static std::atomic<int> counter{0};
    return Format("%010dQA", 1300000000 + ++counter);
}

namespace {

std::string ItemLine(const std::string& dirName, const std::string& fileName,
                     const std::string& remarks) {
    return "I " + dirName + "/" + fileName + " | " + ReplaceAll(remarks, "\n", "\\n");
}

std::string UserLine(const std::string& classTitle, const TOtTaskItem& item) {
    return classTitle + "/" + item.Title() + " s" + std::to_string(item.Status()) + " p" +
           std::to_string(item.Priority()) + " | " + ReplaceAll(item.Remarks(), "\n", "\\n");
}

std::string Join(std::vector<std::string> lines) {
    std::sort(lines.begin(), lines.end());
    std::string out;
    for (const auto& l : lines)
        out += l + "\n";
    return out;
}

std::map<std::string, std::pair<std::string, std::string>>& TokenCache() {
    static std::map<std::string, std::pair<std::string, std::string>> cache;
    return cache;
}

std::pair<std::string, std::string> TokenOf(CloudServerProcess& server, const std::string& user) {
    // Per server: tests with a server of their own have the same user names.
    auto& cache = TokenCache();
    const std::string key = server.Dir().string() + "\n" + user;
    auto it = cache.find(key);
    if (it == cache.end())
        it = cache.emplace(key, server.IssueAccessToken(user)).first;
    return it->second;
}

} // namespace

TSyncSide::TSyncSide(const std::string& name, CloudServerProcess& server, const std::string& user)
    : FDir(name) {
    const auto token = TokenOf(server, user);
    if (!TKuaipanUtility::SaveAuthFile(TAccessToken(token.first, token.second),
                                       FDir.Paths().AuthFileName))
        throw std::runtime_error("cannot write the access-token file");
    FTree = std::make_unique<TTestTaskTree>(Classes, TOtTaskRepository(FDir.Paths()));
    FThread = std::make_unique<TKuaipanSyncThread>(Observer, Settings);
    FEngine =
        std::make_unique<TKuaipanSyncUtility>(FThread.get(), *FTree, server.Hosts(), Settings);
    FEngine->SetRowPause(std::chrono::milliseconds(0));
}

void TSyncSide::SaveCopy(const std::filesystem::path& ATo) const {
    namespace fs = std::filesystem;
    fs::remove_all(ATo);
    fs::copy(FDir.Root(), ATo, fs::copy_options::recursive);
}

void TSyncSide::RestoreCopy(const std::filesystem::path& AFrom, CloudServerProcess& server) {
    namespace fs = std::filesystem;
    FEngine.reset();
    for (const auto& entry : fs::directory_iterator(FDir.Root()))
        fs::remove_all(entry.path());
    fs::copy(AFrom, FDir.Root(),
             fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    Restart(server);
}

void TSyncSide::Restart(CloudServerProcess& server) {
    FEngine.reset();
    FTree->Locked([&] {
        Classes.clear();
        TOtTaskUtility::LoadTaskClassList(FDir.Paths().TaskDataPath, Classes);
    });
    FEngine =
        std::make_unique<TKuaipanSyncUtility>(FThread.get(), *FTree, server.Hosts(), Settings);
    FEngine->SetRowPause(std::chrono::milliseconds(0));
}

TSyncSide::~TSyncSide() {
    FEngine.reset();
    FThread.reset();
}

bool TSyncSide::Sync() {
    return FEngine->SyncToKuaipan();
}

bool TSyncSide::SyncClean() {
    bool result = false;
    EXPECT_NO_THROW(result = Sync()) << FDir.Root();
    return result;
}

TOtTaskClassPtr TSyncSide::AddClass(const std::string& title) {
    TOtTaskClassPtr cls;
    const TTaskOpResult r = FTree->Operations().AddTaskClass(Classes, title, &cls);
    EXPECT_TRUE(r) << title << ": " << r.Message;
    return cls;
}

TOtTaskItemPtr TSyncSide::AddItem(const TOtTaskClassPtr& cls, const std::string& title,
                                  int priority, const std::string& remarks) {
    auto item = FTree->Operations().NewTaskItem(cls, title);
    item->SetPriority(priority);
    item->SetRemarks(remarks);
    const TTaskOpResult r = FTree->Operations().AddTaskItem(item);
    EXPECT_TRUE(r) << title << ": " << r.Message;
    return item;
}

void TSyncSide::EditItem(const TOtTaskItemPtr& item,
                         const std::function<void(TOtTaskItem&)>& change) {
    FTree->Locked([&] {
        const TTaskOpResult r = FTree->Operations().EditTaskItem(item, change);
        EXPECT_TRUE(r) << item->Title() << ": " << r.Message;
    });
}

void TSyncSide::DeleteItem(const TOtTaskItemPtr& item) {
    const TTaskOpResult r = FTree->Operations().DeleteTaskItem(item);
    EXPECT_TRUE(r) << item->Title() << ": " << r.Message;
}

void TSyncSide::DeleteClass(const TOtTaskClassPtr& cls) {
    const TTaskOpResult r = FTree->Operations().DeleteTaskClass(Classes, cls);
    EXPECT_TRUE(r) << cls->Title() << ": " << r.Message;
}

TOtTaskClassPtr TSyncSide::FindClass(const std::string& title) const {
    for (const auto& c : Classes)
        if (c->Title() == title)
            return c;
    return nullptr;
}

TOtTaskItemPtr TSyncSide::FindItem(const std::string& title) const {
    for (const auto& c : Classes)
        for (const auto& i : c->TaskList())
            if (i->Title() == title)
                return i;
    return nullptr;
}

std::string TSyncSide::State() const {
    std::vector<std::string> lines;
    for (const auto& c : Classes) {
        lines.push_back("C " + c->DirName());
        for (const auto& i : c->TaskList())
            lines.push_back(ItemLine(c->DirName(), i->FileName(), i->Remarks()));
    }
    return Join(lines);
}

std::string TSyncSide::DiskState() const {
    TOtTaskClassList onDisk;
    TOtTaskUtility::LoadTaskClassList(FDir.Paths().TaskDataPath, onDisk);
    std::vector<std::string> lines;
    for (const auto& c : onDisk) {
        lines.push_back("C " + c->DirName());
        for (const auto& i : c->TaskList())
            lines.push_back(ItemLine(c->DirName(), i->FileName(), i->Remarks()));
    }
    // Nothing else may lie in the task data directory (temporary files).
    std::error_code ec;
    for (const auto& e : fs::recursive_directory_iterator(FDir.Paths().TaskDataPath, ec))
        if (e.is_regular_file() && e.path().extension() != ".tsk")
            lines.push_back("? " + e.path().filename().string());
    return Join(lines);
}

std::string TSyncSide::UserState() const {
    std::vector<std::string> lines;
    for (const auto& c : Classes) {
        lines.push_back(c->Title() + "/");
        for (const auto& i : c->TaskList())
            lines.push_back(UserLine(c->Title(), *i));
    }
    return Join(lines);
}

TOtSyncQueueList TSyncSide::Queue() const {
    TOtSyncQueueList rows;
    TOtSyncQueueDBUtility(FDir.Paths().DBFileName).ListSyncQueue(rows, "");
    return rows;
}

namespace {

struct TCloudTree {
    std::vector<std::string> Lines;
    std::vector<std::string> UserLines;
    std::map<std::string, TCloudEntry> Entries;
};

} // namespace

std::unique_ptr<TKuaipanAPI> CloudClient(CloudServerProcess& server, const std::string& user) {
    const auto token = TokenOf(server, user);
    auto session = std::make_shared<TOauthSession>(ConsumerKey, ConsumerSecret, server.Hosts());
    session->SetAuthToken(token.first, token.second);
    return std::make_unique<TKuaipanAPI>(session);
}

void WipeCloud(CloudServerProcess& server, const std::string& user) {
    auto api = CloudClient(server, user);
    for (const auto& entry : api->Metadata("/", true).files)
        EXPECT_EQ(api->Delete("/" + entry.name, false).Code, 200) << entry.name;
}

namespace {

TCloudTree ReadCloud(CloudServerProcess& server, const std::string& user) {
    auto client = CloudClient(server, user);
    TKuaipanAPI& api = *client;
    TCloudTree tree;
    const TKuaipanFile root = api.Metadata("/", true);
    EXPECT_FALSE(root.file_id.empty()) << "cannot list the cloud folder";
    for (const auto& folder : root.files) {
        if (folder.ftype != "folder")
            continue;
        tree.Lines.push_back("C " + folder.name);
        tree.Entries["/" + folder.name] = {folder.file_id, folder.modify_time};
        auto cls = TOtTaskUtility::ParseTaskClass(folder.name);
        if (cls)
            tree.UserLines.push_back(cls->Title() + "/");
        const TKuaipanFile list = api.Metadata("/" + folder.name, true);
        for (const auto& file : list.files) {
            const std::string path = "/" + folder.name + "/" + file.name;
            std::ostringstream body;
            EXPECT_EQ(api.DownloadFile(path, body).Code, 200) << path;
            std::string remarks;
            bool found = false;
            TOtTaskUtility::ParseTaskFileContent(body.str(), remarks, found);
            std::string stem = file.name;
            if (EndsWith(stem, ".tsk"))
                stem.resize(stem.size() - 4);
            tree.Lines.push_back(ItemLine(folder.name, stem, remarks));
            tree.Entries[path] = {file.file_id, file.modify_time};
            if (cls) {
                if (auto item = TOtTaskUtility::ParseTaskItem(cls, file.name)) {
                    item->SetRemarks(remarks);
                    tree.UserLines.push_back(UserLine(cls->Title(), *item));
                }
            }
        }
    }
    return tree;
}

} // namespace

std::string CloudState(CloudServerProcess& server, const std::string& user,
                       std::map<std::string, TCloudEntry>* entries) {
    auto tree = ReadCloud(server, user);
    if (entries)
        *entries = tree.Entries;
    return Join(tree.Lines);
}

std::string CloudUserState(CloudServerProcess& server, const std::string& user) {
    return Join(ReadCloud(server, user).UserLines);
}

void ExpectConverged(CloudServerProcess& server, const std::string& user, TSyncSide& a,
                     TSyncSide& b) {
    std::map<std::string, TCloudEntry> cloud;
    const std::string cloudState = CloudState(server, user, &cloud);
    EXPECT_EQ(a.State(), cloudState);
    EXPECT_EQ(b.State(), cloudState);
    EXPECT_EQ(a.DiskState(), cloudState);
    EXPECT_EQ(b.DiskState(), cloudState);
    ExpectQueueSettled(a, cloud);
    ExpectQueueSettled(b, cloud);
}

void ExpectQueueSettled(TSyncSide& side, const std::map<std::string, TCloudEntry>& cloud) {
    std::map<std::string, std::string> expected; // ID -> cloud path
    for (const auto& c : side.Classes) {
        expected[c->ID()] = "/" + c->DirName();
        for (const auto& i : c->TaskList())
            expected[i->ID()] = i->KuaipanPath();
    }
    std::set<std::string> seen;
    for (const auto& row : side.Queue()) {
        SCOPED_TRACE(row.TaskItemID() + " " + row.TaskItemPath());
        auto it = expected.find(row.TaskItemID());
        if (it == expected.end()) {
            ADD_FAILURE() << "a row without a local object";
            continue;
        }
        seen.insert(row.TaskItemID());
        EXPECT_EQ(row.SyncType(), 0);
        EXPECT_EQ(row.IsDelete(), 0);
        EXPECT_EQ(row.TaskItemPath_Old(), "");
        auto entry = cloud.find(it->second);
        if (entry == cloud.end()) {
            ADD_FAILURE() << "no cloud copy at " << it->second;
            continue;
        }
        EXPECT_EQ(row.KuaipanFileID(), entry->second.FileID);
    }
    EXPECT_EQ(seen.size(), expected.size()) << "local objects without a row";
}

std::vector<std::string> LogLines(TRecordingObserver& observer) {
    static const std::regex stamp(R"(^(>> .*)  \[[^\]]*\]$)");
    std::vector<std::string> lines;
    for (const auto& e : observer.Events())
        if (StartsWith(e, "log:"))
            lines.push_back(std::regex_replace(e.substr(4), stamp, "$1  [T]"));
    return lines;
}

CloudServerProcess& SharedServer() {
    static std::once_flag once;
    static std::unique_ptr<CloudServerProcess> server;
    std::call_once(once, [] { server = std::make_unique<CloudServerProcess>(); });
    return *server;
}

std::string FreshUser() {
    static std::atomic<int> counter{0};
    const std::string user = "user" + std::to_string(++counter);
    SharedServer().AddUser(user, "password " + user);
    return user;
}

} // namespace ot::test
